#pragma once
// The acquisition: one thread per server link (a host and a port), each owning the connection
// to its server and the link's archive (the writing state of the link's channels), and
// reconnecting after every failure. CAcquisition starts the links, applies a new
// configuration to them (a reload) and stops them; its operations run on the main thread or
// the reload thread, one at a time. The rest runs on the acquisition threads.

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/run_control.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "datafiles/link_archive.h"
#include "link/link_connection.h"
#include "metrics/thread_progress.h"

namespace tarvell
{

struct WaveformPacket;

// One running link: its request, its archive, its connection and the thread that runs them.
// The thread owns everything but run while it runs.
class CRunningLink
{
public:
    CRunningLink(std::shared_ptr<const CConfiguration> config, std::size_t link,
                 ChannelStates& spare);
    CRunningLink(const CRunningLink&) = delete;
    CRunningLink& operator=(const CRunningLink&) = delete;

    // Starts the thread.
    void Start();
    // Asks the thread to leave its connection (within about half a second) and waits for it;
    // then writes and commits what the link's channels buffered.
    void Stop();

    CServerLink request; // the stations and channels asked for (the times at each connection)
    CLinkArchive archive;
    CLinkConnection connection;
    CRetryPause retry;
    std::shared_ptr<CThreadProgress> progress;
    std::atomic<int> run{1}; // the link's own run flag: 0 stops it

private:
    std::thread m_thread;
};

// Why a configuration is applied to running links.
enum class ApplyCause
{
    Reload, // the operator's: the configuration changed
    Fleet,  // the fleet's: the links held here changed
};

class CAcquisition
{
public:
    CAcquisition() = default;
    ~CAcquisition();
    CAcquisition(const CAcquisition&) = delete;
    CAcquisition& operator=(const CAcquisition&) = delete;

    // Makes every link of config (the channels resumed from the archive, what a crash left
    // repaired) and starts one thread per link.
    void Start(std::shared_ptr<const CConfiguration> config);

    // Applies config, a reload: a link config no longer has is stopped (its channels'
    // buffered samples committed first); a new one is started; a link whose stations or
    // channels changed ends its connection and asks again with the new request; the others
    // go on, taking the new settings between two packets. A channel that stays keeps its
    // state wherever it goes: it loses nothing and repeats nothing. Logs one line per link.
    // The fleet applies the links it holds the same way, logging only the links that change.
    // A link whose lease changed (held again after it was lost) is stopped and started
    // afresh, its channels resumed from the archive.
    void Apply(std::shared_ptr<const CConfiguration> config, ApplyCause cause = ApplyCause::Reload);

    // Clears g_runFlag, stops every link (a thread waiting for data or for a connection
    // notices within about half a second), writing and committing every channel's buffered
    // samples, and writes the resume times.
    void Stop();

    // The configuration the links run with (nullptr before Start).
    std::shared_ptr<const CConfiguration> Configuration() const { return m_config; }

private:
    void Attach(const CConfiguration& config);

    std::shared_ptr<const CConfiguration> m_config;
    std::vector<std::unique_ptr<CRunningLink>> m_links; // in the order of m_config's links
};

// Shows seconds as "%02d:%02d" in the wait display of the operator view, when the window
// is visible and the value differs from the last one shown (process-wide). What every link
// reports of its waits for data. Any thread.
void ShowWaitTime(int seconds);

// The status line of a packet: station " %-5s", channel " %-4s", begin time (code 0) " %s"
// and auxiliary name " %-6s", each piece followed by one blank.
std::string StatusLine(const WaveformPacket& packet);

// Reads [SYSTEM] RECEIVE_TIMEOUT (the seconds a whole message may take, for the links started
// afterwards) and FUTURE_LIMIT (how far ahead of the clock a packet may be dated, at once);
// a value that is not a positive number gives the default (60 s, a day). Main thread, at
// start and at every reload.
void ReadAcquisitionSettings();

// One connection of link to its server: connects (asking every channel from its current
// resume time), receives and merges packets until the connection fails, the server ends the
// stream, a chunk cannot be written or committed, a new connection is asked for (the stall
// watchdog, a channel whose hold ended) or the link is stopped, and closes it, committing
// what the archive's journal holds. A failed attempt, and a connection whose chunks failed,
// return after the pause that the link's retry prescribes (interrupted by a stop).
void RunConnection(CRunningLink& link);

} // namespace tarvell
