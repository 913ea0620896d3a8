#pragma once
// What the channel list marks on a channel's row: a channel whose server is connected but
// sends it nothing (silent), or one that is not archived for a fault of its own (held), read
// from the counters the stall watchdog and the writers keep. Any thread.

#include <string>

namespace tarvell
{

class CChannelCounters;

enum class TroubleKind
{
    None,
    Silent, // the stall watchdog found it silent
    Held,   // its samples are not archived for now (a hold outranks a silence)
};

struct ChannelTrouble
{
    TroubleKind kind = TroubleKind::None;
    std::string text; // the row's tooltip: since when, and why

    bool operator==(const ChannelTrouble&) const = default;
};

// The trouble of a channel now: held (since when and what the log said), else silent (since
// when), else none.
ChannelTrouble TroubleOf(const CChannelCounters& counters);

} // namespace tarvell
