#include "app/acquisition.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <exception>
#include <set>
#include <thread>
#include <utility>

#include <unistd.h>

#include "app/acquisition_gate.h"
#include "app/run_control.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "platform/text_format.h"
#include "datafiles/channel_ini.h"
#include "datafiles/channel_writer.h"
#include "datafiles/chunk_journal.h"
#include "datafiles/packet_screen.h"
#include "link/packet_decoding.h"
#include "link/time_conversions.h"
#include "link/transfer_error.h"
#include "link/transfer_request.h"
#include "link/transfer_session.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/fault_point.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "platform/operator_view.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

std::vector<std::unique_ptr<CServerLink>> g_links;
std::vector<std::thread> g_threads;

// [SYSTEM] RECEIVE_TIMEOUT, for the links started after it was read.
std::atomic<int> g_messageLimit{kDefaultMessageLimit};

// The request of one connection: the link's stations and channels, each channel asked from
// its current resume time, so that neither a restart nor a broken connection loses what the
// server still holds. A channel unknown to the model (removed by a reload) keeps the time the
// link was built with.
void FillRequest(const CServerLink& link, TransferRequest& request)
{
    request = TransferRequest{};
    request.clientId = static_cast<int>(::getpid());
    request.stationCount = link.stationCount;
    for (int s = 0; s < link.stationCount; ++s)
    {
        const StationSlot& slot = link.stations[static_cast<std::size_t>(s)];
        RequestStation& station = request.stations[s];
        std::memcpy(station.name, slot.name, sizeof station.name);
        int count = 0;
        // Stop at the first empty name, and never run past the slot's own 64 channels.
        for (; count < kMaxSlotChannels && slot.channels[static_cast<std::size_t>(count)].name[0];
             ++count)
        {
            const ChannelSlot& source = slot.channels[static_cast<std::size_t>(count)];
            RequestChannel& channel = station.channels[count];
            std::memcpy(channel.name, source.name, sizeof channel.name);
            channel.beginTime = source.startTime;
            channel.endTime = source.endTime;
            ChannelLocation where = FindChannel(FieldText(slot.name, sizeof slot.name),
                                                FieldText(source.name, sizeof source.name));
            if (where && where.channel->resumeTime != 0)
                channel.beginTime = where.channel->resumeTime;
        }
        station.channelCount = count;
    }
}

// Waits the retry pause after a failed attempt, shown as such in the link's state.
void PauseAfterFailure(AcquisitionThreadState& state)
{
    CLinkCounters& counters = state.connection.Counters();
    counters.SetState(LinkState::Waiting);
    WaitUnlessStopped(state.retry.AttemptFailed());
    counters.SetState(LinkState::Connecting);
}

// Connects, or returns -1 after logging the first failure of a run of failures and waiting
// the retry pause.
int Connect(CServerLink& link, AcquisitionThreadState& state, TransferRequest& request,
            ServerConfig& config)
{
    CLinkCounters& counters = state.connection.Counters();
    counters.SetState(LinkState::Connecting);
    OperatorView().SetStatusLine("Connecting...");
    {
        CGatePass pass(AcquisitionGate());
        if (!pass)
            return -1;
        FillRequest(link, request);
    }
    int socket = ConnectServer(state.connection, link.host, link.port, request, config, 1);
    if (socket >= 0)
    {
        if (counters.connections.fetch_add(1, std::memory_order_relaxed) > 0)
            counters.reconnects.fetch_add(1, std::memory_order_relaxed);
        counters.connectedSince.store(EpochSecondsNow(), std::memory_order_relaxed);
        counters.SetState(LinkState::Connected);
        return socket;
    }
    if (g_runFlag.load() == 0)
        return socket;
    // -1 is a failed opening exchange, which leaves its code; -2 a name that does not
    // resolve (code 17); the others were refused or could not be made, and have no code.
    if (socket == -1 || socket == -2)
        counters.CountFailure(g_transferError);
    else
        counters.connectFailures.fetch_add(1, std::memory_order_relaxed);
    if (state.retry.Current().count() == 0)
    {
        LogEvent(FormatText(
            "Cannot connect to server: %s port %d (%s); retrying", link.host.c_str(), link.port,
            ConnectFailureText(socket, link.host, g_transferError, state.connection.systemError)
                .c_str()));
    }
    PauseAfterFailure(state);
    return -1;
}

// A connection that ends for a fault of its server's counts as working only after this long.
constexpr std::chrono::seconds kHealthyConnection{60};

// True when a connection ended with code for a fault of the server's: a message or packet it
// should not have sent, one that came too slowly, or a status only a server sends. A closed
// or broken connection, the end of the data, a stop and a reconnect asked for are not.
bool IsServerFault(int code)
{
    switch (code)
    {
    case kTransferEndOfStream:
    case kTransferRetryStatus:
    case kTransferBroken:
    case kTransferSocketError:
    case kTransferStopped:
    case kTransferReconnectAsked:
        return false;
    default:
        return true;
    }
}

// The end of a connection ends every run of samples sent again that the screen is dropping
// for the link's channels: each is logged now, with its span.
void EndScreenRuns(const CServerLink& link)
{
    for (int s = 0; s < link.stationCount; ++s)
    {
        const StationSlot& slot = link.stations[static_cast<std::size_t>(s)];
        for (int c = 0; c < kMaxSlotChannels && slot.channels[static_cast<std::size_t>(c)].name[0];
             ++c)
        {
            const ChannelSlot& channel = slot.channels[static_cast<std::size_t>(c)];
            if (ChannelLocation where = FindChannel(FieldText(slot.name, sizeof slot.name),
                                                    FieldText(channel.name, sizeof channel.name)))
                EndResentRun(where);
        }
    }
}

void ShowLastCountTime(const ChannelLocation& where, double time)
{
    OperatorView().SetChannelText(where.group->station, where.channel->name,
                                  ChannelColumn::LastCountTime, util_dttostr(time, 0));
}

// Handles one converted packet inside the gate: the channel is looked up once and handed
// down. False when a chunk could not be written and the connection must end.
bool HandlePacket(WaveformPacket& packet, CChunkJournal& journal)
{
    FaultPoint("packet-handling");
    ChannelLocation where = FindChannel(packet.station, packet.channel);
    if (where)
    {
        if (!MergePacket(packet, where, journal))
            return false;
        where.channel->counters->PacketReceived(packet.beginTime, packet.endTime,
                                                packet.sampleInterval, packet.count,
                                                where.channel->bufferCount, EpochSecondsNow());
    }
    if (g_silent.load() == 0)
    {
        OperatorView().SetStatusLine(StatusLine(packet));
        if (where)
            ShowLastCountTime(where, packet.beginTime);
    }
    return true;
}

// While the thread waits for data, what it wrote is committed on time (a server that goes
// quiet must not leave its last chunks unregistered). False ends the wait when a chunk could
// not be committed, so that the connection ends and the server is asked again.
bool CommitWhileWaiting(CChunkJournal& journal)
{
    CGatePass pass(AcquisitionGate(), std::try_to_lock);
    if (pass)
        journal.CommitIfDue();
    return !journal.Failed();
}

// After an exception ended a connection of link: logs it, unless the connection before ended
// in one too (a fault that comes back on every connection is logged once), and waits the
// retry pause, so that the thread neither spins nor floods the log. Runs where the exception
// has been caught, so nothing may escape from here.
void RecoverFromFault(const CServerLink& link, CRetryPause& retry, const char* what,
                      bool repeated) noexcept
{
    const std::chrono::milliseconds pause = retry.AttemptFailed();
    try
    {
        if (!repeated)
            LogEvent(FormatText("Acquisition failed on server: %s port %d (%s); retrying",
                                link.host.c_str(), link.port, what));
    }
    catch (...)
    {
        // Short even of the memory for the line: the pause still keeps the thread calm.
    }
    WaitUnlessStopped(pause);
}

} // namespace

std::string StatusLine(const WaveformPacket& packet)
{
    return FormatText(" %-5s  %-4s  %s  %-6s ", packet.station, packet.channel,
                      util_dttostr(packet.beginTime, 0), packet.auxName);
}

void UpdateListRow(std::string_view station, std::string_view channel, double time)
{
    ChannelLocation where = FindChannel(station, channel);
    if (where)
        ShowLastCountTime(where, time);
}

void ResetChannelState()
{
    for (std::size_t g = 0; g < g_groups.size(); ++g)
    {
        for (auto& channel : g_groups[g]->channels)
        {
            channel->ResetWritingState();
            channel->resumeTime = static_cast<double>(LoadResumeTime(g, channel->name));
            channel->committedEnd = channel->writtenEnd = channel->resumeTime;
        }
    }
}

void LoadMissingResumeTimes()
{
    for (std::size_t g = 0; g < g_groups.size(); ++g)
    {
        for (auto& channel : g_groups[g]->channels)
        {
            if (channel->resumeTime == 0)
            {
                channel->resumeTime = static_cast<double>(LoadResumeTime(g, channel->name));
                channel->committedEnd = channel->writtenEnd = channel->resumeTime;
            }
        }
    }
}

ChannelEnds KeepChannelEnds()
{
    ChannelEnds ends;
    for (const auto& group : g_groups)
    {
        for (const auto& channel : group->channels)
        {
            ends[{group->station, channel->name}] = {channel->resumeTime, channel->committedEnd,
                                                     channel->writtenEnd, channel->hold};
        }
    }
    return ends;
}

void RestoreChannelEnds(const ChannelEnds& ends)
{
    for (const auto& group : g_groups)
    {
        for (const auto& channel : group->channels)
        {
            auto kept = ends.find({group->station, channel->name});
            if (kept == ends.end())
                continue;
            channel->resumeTime = kept->second.resumeTime;
            channel->committedEnd = kept->second.committedEnd;
            channel->writtenEnd = kept->second.writtenEnd;
            // A hold goes on: a channel whose rates agree now is asked again at its next
            // packet, one with a write fault is checked again.
            channel->hold = kept->second.hold;
        }
    }
}

AcquisitionThreadState::AcquisitionThreadState(const CServerLink& link)
    : connection(Metrics().Link(link.host, link.port)), progress(RegisterThreadProgress())
{
    connection.runFlag = &g_runFlag;
    connection.messageLimit = g_messageLimit.load(std::memory_order_relaxed);
}

void ReadAcquisitionSettings()
{
    const long long limit = ReadProfileInt(g_iniPath, "SYSTEM", "RECEIVE_TIMEOUT", 0);
    g_messageLimit.store(limit > 0 && limit <= 86400 ? static_cast<int>(limit)
                                                     : kDefaultMessageLimit,
                         std::memory_order_relaxed);
    SetFutureLimit(static_cast<double>(ReadProfileInt(g_iniPath, "SYSTEM", "FUTURE_LIMIT", 0)));
}

void RunConnection(CServerLink& link, AcquisitionThreadState& state)
{
    auto request = std::make_unique<TransferRequest>();
    auto config = std::make_unique<ServerConfig>();
    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    CLinkConnection& connection = state.connection;
    CLinkCounters& counters = connection.Counters();

    UniqueFd socket(Connect(link, state, *request, *config));
    if (!socket)
        return;

    std::string connected = "Connected to server: " + link.host;
    OperatorView().SetStatusLine(connected);
    LogEvent(connected);

    long long packets = 0;
    int result = 0;
    CChunkJournal& journal = state.journal;
    journal.BeginConnection();
    const auto connectedAt = std::chrono::steady_clock::now();
    connection.idleWork = [&journal] { return CommitWhileWaiting(journal); };
    while (g_runFlag.load() != 0 &&
           (result = RecvPacket(connection, socket.Get(), *config, *raw)) == 0)
    {
        ++packets;
        if (ConvertPacket(*config, *raw, *packet).Failed())
            continue; // format 3, or a packet the configuration cannot describe
        // Busy from here until the packet is merged and any chunk it caused is written: a
        // thread that hangs in a write or a statement stops the service watchdog's pings.
        CBusyScope busy(*state.progress);
        CGatePass pass(AcquisitionGate());
        if (!pass || !HandlePacket(*packet, journal))
            break;
        journal.CommitIfDue();
        if (journal.Failed())
            break;
    }
    connection.idleWork = {};

    socket.Reset();
    counters.connectedSince.store(0, std::memory_order_relaxed);
    counters.SetState(LinkState::Connecting);
    if (result != 0 && g_runFlag.load() != 0)
        counters.CountFailure(result == 1 ? kTransferEndOfStream : g_transferError);
    // A new connection asks every channel again, the silent one included.
    counters.reconnectRequested.store(false, std::memory_order_relaxed);
    OperatorView().SetStatusLine("Connection closed");
    LogEvent("Connection closed");
    {
        CGatePass pass(AcquisitionGate());
        if (pass)
        {
            EndScreenRuns(link);
            journal.Commit();
        }
    }

    // A connection that brought data is followed at once by the next. One that ended before
    // its first packet (a server that has nothing for us and says so, or drops every new
    // connection) counts as a failed attempt, so that its thread pauses instead of spinning;
    // so does one whose chunks could not be written or committed: the disk or the database
    // gets the time to come back before the server is asked again. One the server ended
    // with a fault of its own counts as working only once it carried data for a while: a
    // server that sends a bad packet after ten good ones is not asked again at once, forever.
    const bool serverFault = result != 0 && result != 1 && IsServerFault(g_transferError);
    const bool carriedData =
        packets > 0 &&
        (!serverFault || std::chrono::steady_clock::now() - connectedAt >= kHealthyConnection);
    if (journal.TakeFailure() && g_runFlag.load() != 0)
        PauseAfterFailure(state);
    else if (carriedData)
        state.retry.ConnectionWorked();
    else if (g_runFlag.load() != 0)
        PauseAfterFailure(state);
}

void AcquisitionThread(CServerLink& link)
{
    AcquisitionThreadState state(link);
    // An exception (memory running short, a fault nothing expects) ends the connection, not
    // the program with every other server's acquisition: the socket and the gate are let go
    // on the way out, and the link is tried again after its pause.
    bool faulted = false;
    while (g_runFlag.load() != 0)
    {
        try
        {
            RunConnection(link, state);
            faulted = false;
        }
        catch (const std::exception& error)
        {
            RecoverFromFault(link, state.retry, error.what(), faulted);
            faulted = true;
        }
        catch (...)
        {
            RecoverFromFault(link, state.retry, "unknown exception", faulted);
            faulted = true;
        }
    }
    state.connection.idleWork = {};
    state.connection.Counters().SetState(LinkState::Idle);
    // What is left is committed by the thread that stopped acquisition
    // (CChunkJournal::CommitEveryJournal), after the buffers are written.
}

// Tells every channel's counters which link carries it, before the threads start.
static void AttachChannelsToLinks()
{
    for (const auto& group : g_groups)
    {
        for (const auto& link : g_links)
        {
            if (!EqualsIgnoreCase(link->host, group->server))
                continue;
            const CLinkCounters* counters = Metrics().Link(link->host, link->port).get();
            for (const auto& channel : group->channels)
                channel->counters->link.store(counters, std::memory_order_relaxed);
        }
    }
}

void StartAcquisition()
{
    g_links = BuildServerLinks();
    AttachChannelsToLinks();
    for (auto& link : g_links)
    {
        CServerLink* target = link.get();
        g_threads.emplace_back([target] { AcquisitionThread(*target); });
    }
}

void StopAcquisition()
{
    RequestStop();
    AcquisitionGate().WakeForStop();
    for (std::thread& thread : g_threads)
        thread.join();
    g_threads.clear();
    FlushAllChannels();
}

void FlushAllChannels()
{
    CChunkJournal journal;
    for (std::size_t g = 0; g < g_groups.size(); ++g)
    {
        for (std::size_t c = 0; c < g_groups[g]->channels.size(); ++c)
        {
            CStationGroup* group = g_groups[g].get();
            (void)FlushChannel({g, c, group, group->channels[c].get()}, journal);
        }
    }
    CChunkJournal::CommitEveryJournal();
}

const std::vector<std::unique_ptr<CServerLink>>& ServerLinks()
{
    return g_links;
}

} // namespace tarvell
