#pragma once
// What the channel list marks on a channel's row: a channel whose server is connected but
// sends it nothing (silent), one that is not archived for a fault of its own (held), or one
// that another instance of the fleet archives (elsewhere), read from the counters the stall
// watchdog, the writers and the fleet keep. Any thread.

#include <string>

namespace tarvell
{

class CChannelCounters;

enum class TroubleKind
{
    None,
    Silent,    // the stall watchdog found it silent
    Held,      // its samples are not archived for now (a hold outranks a silence)
    Elsewhere, // another instance holds its server (outranks both: they are from before)
};

struct ChannelTrouble
{
    TroubleKind kind = TroubleKind::None;
    std::string text; // the row's tooltip: since when, and why

    bool operator==(const ChannelTrouble&) const = default;
};

// The trouble of a channel now: archived elsewhere (by whom), else held (since when and what
// the log said), else silent (since when), else none.
ChannelTrouble TroubleOf(const CChannelCounters& counters);

} // namespace tarvell
