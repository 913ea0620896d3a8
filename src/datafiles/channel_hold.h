#pragma once
// Faults of one channel alone (its file or directory cannot be written, the database refuses
// its rows, its server's interval is not its SITECHAN rate): its samples are not archived
// while the fault lasts, its resume point stays where its archived data end, and every other
// channel of its server goes on. A write or row fault is checked again after a pause that
// grows while it stays; once a fault is gone, the channel's server is asked for a new
// connection, on which the channel is asked again from its resume point, so nothing is lost.
// The acquisition thread of the channel's server (or a thread that paused them all).

#include <cstdint>
#include <string>

#include "datafiles/channel_state.h"

namespace tarvell
{

// Puts the channel of station on hold for reason, saying once in the log and the status why
// (detail): its buffered samples are dropped and counted, its resume point goes back to the
// end of what it has written. A channel on hold already keeps its hold.
void HoldChannel(CChannelState& channel, const std::string& station, HoldReason reason,
                 const std::string& detail);

// True when the channel's write or row fault is due to be checked again: its pause has
// passed, and no chunk of it waits for its commit.
bool HoldCheckDue(const CChannelState& channel);

// The check found the fault still there: the pause before the next one doubles, up to five
// minutes.
void HoldCheckFailed(CChannelState& channel);

// The fault is gone: the hold ends (logged), the buffer is emptied, and the channel's server
// is asked for a new connection; what the current one (connection, the journal's number)
// still brings of the channel lies after a gap and is dropped.
void ReleaseHold(CChannelState& channel, const std::string& station, std::uint64_t connection);

// Drops the buffered samples of a channel on hold, counted as held.
void DropHeldBuffer(CChannelState& channel);

} // namespace tarvell
