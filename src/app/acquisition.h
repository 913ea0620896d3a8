#pragma once
// The acquisition threads: one per server host, each owning the connection to its server,
// reconnecting after every failure, and handing every packet to the channel buffering.
// StartAcquisition and StopAcquisition run on the main thread; the rest on acquisition
// threads unless said otherwise.

#include <array>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_control.h"
#include "datafiles/chunk_journal.h"
#include "link/link_connection.h"
#include "metrics/thread_progress.h"

namespace tarvell
{

class CServerLink;
struct WaveformPacket;

// What one acquisition thread keeps across the connections to its server: the connection
// object with the link's counters, the pause before the next attempt, and the mark that
// tells the service watchdog whether the thread makes progress.
struct AcquisitionThreadState
{
    explicit AcquisitionThreadState(const CServerLink& link);

    CLinkConnection connection;
    CRetryPause retry;
    std::shared_ptr<CThreadProgress> progress;
    CChunkJournal journal; // the chunks written and not yet committed
};

// The status line of a packet: station " %-5s", channel " %-4s", begin time (code 0) " %s"
// and auxiliary name " %-6s", each piece followed by one blank.
std::string StatusLine(const WaveformPacket& packet);

// Shows time (code 0) as the last count time of the configured channel (station, channel);
// a channel that is not configured is left alone.
void UpdateListRow(std::string_view station, std::string_view channel, double time);

// Empties every channel's buffer, forgets its current file, and loads its resume time from
// the program INI. Main thread, before the acquisition threads start (or while paused).
void ResetChannelState();

// Loads the resume time of every channel that has none yet (after a reload of the groups).
void LoadMissingResumeTimes();

// Where each channel's data end (resume time, committed and written end) and its hold, by
// station and channel: kept across a reload, which makes every record anew. Same threads as
// ResetChannelState.
struct ChannelEnd
{
    double resumeTime = 0;
    double committedEnd = 0;
    double writtenEnd = 0;
    ChannelHold hold;
};
using ChannelEnds = std::map<std::pair<std::string, std::string>, ChannelEnd>;
ChannelEnds KeepChannelEnds();
void RestoreChannelEnds(const ChannelEnds& ends);

// One connection to the link's server: connects (asking every channel from its current
// resume time), receives and merges packets until the connection fails, the server ends the
// stream, a chunk cannot be written or committed, the stall watchdog asks for a new
// connection or the stop command comes, and closes it, committing what state.journal holds. A
// failed attempt, and a connection whose chunks failed, return after the pause that
// state.retry prescribes (interrupted by the stop command).
void RunConnection(CServerLink& link, AcquisitionThreadState& state);

// The body of an acquisition thread: RunConnection while g_runFlag is set. An exception out of
// a connection is logged (once while it keeps coming back) and followed by the retry pause.
void AcquisitionThread(CServerLink& link);

// Reads [SYSTEM] RECEIVE_TIMEOUT (the seconds a whole message may take, for the links started
// afterwards) and FUTURE_LIMIT (how far ahead of the clock a packet may be dated, at once);
// a value that is not a positive number gives the default (60 s, a day). Main thread, at
// start and at every reload.
void ReadAcquisitionSettings();

// Builds the server links from g_groups and starts one thread per link. Main thread.
void StartAcquisition();

// Clears g_runFlag, waits for every acquisition thread to end (a thread waiting for data or
// for a connection notices within about half a second), then writes and commits every
// channel's buffered samples and writes the resume times. Main thread.
void StopAcquisition();

// Writes the buffered samples of every channel of g_groups, commits every journal and writes
// the resume times. Main thread, with no acquisition thread inside a packet (stopped or
// paused).
void FlushAllChannels();

// The server links the running threads use (empty before StartAcquisition).
const std::vector<std::unique_ptr<CServerLink>>& ServerLinks();

} // namespace tarvell
