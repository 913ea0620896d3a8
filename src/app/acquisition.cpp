#include "app/acquisition.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <map>
#include <utility>

#include <unistd.h>

#include "app/acquisition_gate.h"
#include "datafiles/channel_writer.h"
#include "datafiles/packet_screen.h"
#include "datafiles/resume_store.h"
#include "link/framed_transport.h"
#include "link/packet_decoding.h"
#include "link/transfer_error.h"
#include "link/transfer_request.h"
#include "link/transfer_session.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/fault_point.h"
#include "platform/ini_profile.h"
#include "platform/operator_view.h"
#include "platform/program_paths.h"
#include "platform/text.h"
#include "platform/text_format.h"
#include "platform/time_conversions.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

// [SYSTEM] RECEIVE_TIMEOUT, for the links started after it was read.
std::atomic<int> g_messageLimit{kDefaultMessageLimit};

// A connection that ends for a fault of its server's counts as working only after this long.
constexpr std::chrono::seconds kHealthyConnection{60};

// The last value shown in the wait display; process-wide like the display itself, so it
// shows whichever connection wrote last.
std::atomic<int> g_lastWaitShown{0};

// The request of one connection: the link's stations and channels, each channel asked from
// its current resume time, so that neither a restart nor a broken connection loses what the
// server still holds.
void FillRequest(const CRunningLink& link, TransferRequest& request)
{
    request = TransferRequest{};
    request.clientId = static_cast<int>(::getpid());
    request.stationCount = link.request.stationCount;
    for (int s = 0; s < link.request.stationCount; ++s)
    {
        const StationSlot& slot = link.request.stations[static_cast<std::size_t>(s)];
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
            const ChannelLocation where = link.archive.Find(
                FieldText(slot.name, sizeof slot.name), FieldText(source.name, sizeof source.name));
            if (where && where.channel->resumeTime != 0)
                channel.beginTime = where.channel->resumeTime;
        }
        station.channelCount = count;
    }
}

bool Running(const CRunningLink& link)
{
    return g_runFlag.load() != 0 && link.run.load() != 0;
}

// Waits the retry pause after a failed attempt, shown as such in the link's state.
void PauseAfterFailure(CRunningLink& link)
{
    CLinkCounters& counters = link.connection.Counters();
    counters.SetState(LinkState::Waiting);
    const auto pause = link.retry.AttemptFailed();
    (void)PauseUnlessStopped(link.connection, static_cast<int>(pause.count()));
    counters.SetState(LinkState::Connecting);
}

// Connects, or returns -1 after logging the first failure of a run of failures and waiting
// the retry pause.
int Connect(CRunningLink& link, TransferRequest& request, ServerConfig& config)
{
    CLinkCounters& counters = link.connection.Counters();
    counters.SetState(LinkState::Connecting);
    OperatorView().SetStatusLine("Connecting...");
    {
        CGatePass pass(AcquisitionGate(), &link.run);
        if (!pass)
            return -1;
        FillRequest(link, request);
    }
    const CServerLink& server = link.request;
    int socket = ConnectServer(link.connection, server.host, server.port, request, config, 1);
    if (socket >= 0)
    {
        if (counters.connections.fetch_add(1, std::memory_order_relaxed) > 0)
            counters.reconnects.fetch_add(1, std::memory_order_relaxed);
        counters.connectedSince.store(EpochSecondsNow(), std::memory_order_relaxed);
        counters.SetState(LinkState::Connected);
        return socket;
    }
    if (!Running(link))
        return socket;
    // -1 is a failed opening exchange, which leaves its code; -2 a name that does not
    // resolve (code 17); the others were refused or could not be made, and have no code.
    if (socket == -1 || socket == -2)
        counters.CountFailure(g_transferError);
    else
        counters.connectFailures.fetch_add(1, std::memory_order_relaxed);
    if (link.retry.Current().count() == 0)
    {
        LogEvent(FormatText(
            "Cannot connect to server: %s port %d (%s); retrying", server.host.c_str(), server.port,
            ConnectFailureText(socket, server.host, g_transferError, link.connection.systemError)
                .c_str()));
    }
    PauseAfterFailure(link);
    return -1;
}

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
void EndScreenRuns(const CLinkArchive& archive)
{
    for (const ChannelLocation& where : archive.Channels())
        EndResentRun(where);
}

void ShowLastCountTime(const ChannelLocation& where, double time)
{
    OperatorView().SetChannelText(where.group->station, where.channel->name,
                                  ChannelColumn::LastCountTime, util_dttostr(time, 0));
}

// Handles one converted packet inside the gate: the channel is looked up once and handed
// down. False when a chunk could not be written and the connection must end.
bool HandlePacket(WaveformPacket& packet, CLinkArchive& archive)
{
    FaultPoint("packet-handling");
    // A lease that lapsed may be another instance's by now: not a byte more is written.
    if (!archive.MayWrite())
        return false;
    const ChannelLocation where = archive.Find(packet.station, packet.channel);
    if (where)
    {
        if (!MergePacket(packet, where, archive.Journal()) || !archive.WriteIfLate(where))
            return false;
        where.channel->counters->PacketReceived(packet.beginTime, packet.endTime,
                                                packet.sampleInterval, packet.count,
                                                where.channel->bufferCount, EpochSecondsCoarse());
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
// quiet must not leave its last chunks unregistered), and buffers past the latency bound are
// written. False ends the wait when a chunk could not be written or committed, so that the
// connection ends and the server is asked again.
bool CommitWhileWaiting(CLinkArchive& archive)
{
    CGatePass pass(AcquisitionGate(), std::try_to_lock);
    if (!pass)
        return !archive.Journal().Failed();
    if (!archive.WriteLateBuffers())
        return false;
    archive.Journal().CommitIfDue();
    return !archive.Journal().Failed();
}

// After an exception ended a connection of link: logs it, unless the connection before ended
// in one too (a fault that comes back on every connection is logged once), and waits the
// retry pause, so that the thread neither spins nor floods the log. Runs where the exception
// has been caught, so nothing may escape from here.
void RecoverFromFault(CRunningLink& link, const char* what, bool repeated) noexcept
{
    const std::chrono::milliseconds pause = link.retry.AttemptFailed();
    try
    {
        if (!repeated)
            LogEvent(FormatText("Acquisition failed on server: %s port %d (%s); retrying",
                                link.request.host.c_str(), link.request.port, what));
    }
    catch (...)
    {
        // Short even of the memory for the line: the pause still keeps the thread calm.
    }
    (void)PauseUnlessStopped(link.connection, static_cast<int>(pause.count()));
}

// The body of a link's thread: RunConnection while the link runs. An exception out of a
// connection is logged (once while it keeps coming back) and followed by the retry pause.
void AcquisitionThread(CRunningLink& link)
{
    // An exception (memory running short, a fault nothing expects) ends the connection, not
    // the program with every other server's acquisition: the socket and the gate are let go
    // on the way out, and the link is tried again after its pause.
    bool faulted = false;
    while (Running(link))
    {
        try
        {
            RunConnection(link);
            faulted = false;
        }
        catch (const std::exception& error)
        {
            RecoverFromFault(link, error.what(), faulted);
            faulted = true;
        }
        catch (...)
        {
            RecoverFromFault(link, "unknown exception", faulted);
            faulted = true;
        }
    }
    link.connection.idleWork = {};
    link.connection.Counters().SetState(LinkState::Idle);
}

// What a reload changes of a link, for its log line.
std::string LinkChange(const CConfiguration& before, const LinkConfig& old,
                       const CConfiguration& after, const LinkConfig& now)
{
    std::map<std::string, std::string> was;
    for (std::size_t g : old.groups)
    {
        for (const CChannelRecord& channel : before.groups[g].channels)
            was[ChannelKey(before.groups[g].station, channel.name)] = channel.name;
    }
    int added = 0;
    for (std::size_t g : now.groups)
    {
        for (const CChannelRecord& channel : after.groups[g].channels)
            added += was.erase(ChannelKey(after.groups[g].station, channel.name)) == 0 ? 1 : 0;
    }
    return FormatText("%d channels added, %zu removed", added, was.size());
}

} // namespace

CRunningLink::CRunningLink(std::shared_ptr<const CConfiguration> config, std::size_t link,
                           ChannelStates& spare)
    : request(MakeServerLink(*config, config->links[link])),
      connection(Metrics().Link(config->links[link].host, config->links[link].port)),
      progress(RegisterThreadProgress())
{
    archive.Configure(std::move(config), link, spare);
    connection.runFlag = &run;
    connection.messageLimit = g_messageLimit.load(std::memory_order_relaxed);
    connection.onWait = ShowWaitTime;
}

void CRunningLink::Start()
{
    run.store(1);
    m_thread = std::thread([this] { AcquisitionThread(*this); });
}

void CRunningLink::Stop()
{
    run.store(0);
    AcquisitionGate().WakeForStop();
    if (m_thread.joinable())
        m_thread.join();
    archive.FlushAndCommit();
}

CAcquisition::~CAcquisition()
{
    Stop();
}

void CAcquisition::Attach(const CConfiguration& config)
{
    for (std::size_t l = 0; l < config.links.size(); ++l)
    {
        const CLinkCounters* counters =
            Metrics().Link(config.links[l].host, config.links[l].port).get();
        for (const ChannelLocation& where : m_links[l]->archive.Channels())
        {
            where.channel->counters->link.store(counters, std::memory_order_relaxed);
            where.channel->counters->configured.store(true, std::memory_order_relaxed);
        }
    }
}

void CAcquisition::Start(std::shared_ptr<const CConfiguration> config)
{
    ChannelStates none;
    for (std::size_t l = 0; l < config->links.size(); ++l)
        m_links.push_back(std::make_unique<CRunningLink>(config, l, none));
    m_config = std::move(config);
    Attach(*m_config);
    for (auto& link : m_links)
        link->Start();
}

void CAcquisition::Apply(std::shared_ptr<const CConfiguration> config, ApplyCause cause)
{
    const std::shared_ptr<const CConfiguration> before = m_config;
    std::vector<std::unique_ptr<CRunningLink>> kept(config->links.size());
    std::vector<bool> requestChanged(config->links.size(), false);
    ChannelStates spare;
    ChannelStates ended; // of links whose lease changed: their states go with it
    const std::string prefix = cause == ApplyCause::Reload ? "Reload: server " : "Fleet: server ";

    // Links the new configuration has no more are stopped; a link whose request changes is
    // stopped too and started again below, so that it asks with its new request.
    for (std::size_t l = 0; l < m_links.size(); ++l)
    {
        const LinkConfig& old = before->links[l];
        std::size_t match = config->links.size();
        for (std::size_t n = 0; n < config->links.size(); ++n)
        {
            if (config->links[n].SameServer(old))
                match = n;
        }
        std::unique_ptr<CRunningLink> link = std::move(m_links[l]);
        const CServerLink wanted = match < config->links.size()
                                       ? MakeServerLink(*config, config->links[match])
                                       : CServerLink{};
        const bool same =
            match < config->links.size() &&
            std::memcmp(&wanted.stations, &link->request.stations, sizeof wanted.stations) == 0 &&
            wanted.stationCount == link->request.stationCount;
        if (match == config->links.size() || config->links[match].lease != old.lease)
        {
            // A link archived under another lease starts afresh from the archive's rows: what
            // its states knew may have been changed by the instance that held it meanwhile.
            link->Stop();
            link->archive.Release(match == config->links.size() ? spare : ended);
            LogEvent(prefix + old.Name() + " stopped");
            continue;
        }
        if (!same)
        {
            link->Stop();
            requestChanged[match] = true;
            LogEvent(prefix + old.Name() + " asked again with its new request (" +
                     LinkChange(*before, old, *config, config->links[match]) + ")");
        }
        kept[match] = std::move(link);
    }

    // Between two packets, the links that go on take the new settings (SIZEMB, FILELENGTH,
    // loop files, rates) and the states of the channels they keep.
    // Every kept state is released before any is taken, so that a channel whose station moves
    // to a server configured earlier finds its state.
    AcquisitionGate().Pause();
    for (const std::unique_ptr<CRunningLink>& link : kept)
    {
        if (link)
            link->archive.Release(spare);
    }
    for (std::size_t n = 0; n < kept.size(); ++n)
    {
        if (!kept[n])
            continue;
        kept[n]->archive.Configure(config, n, spare);
        if (requestChanged[n])
            kept[n]->request = MakeServerLink(*config, config->links[n]);
        else if (cause == ApplyCause::Reload)
            LogEvent(prefix + config->links[n].Name() + " unchanged");
    }
    AcquisitionGate().Resume();

    for (std::size_t n = 0; n < kept.size(); ++n)
    {
        if (kept[n])
            continue;
        kept[n] = std::make_unique<CRunningLink>(config, n, spare);
        LogEvent(prefix + config->links[n].Name() + " started");
        requestChanged[n] = true;
    }
    // Channels no link carries any more: their counters say so; their states go.
    for (auto& [key, left] : spare)
        left.state->counters->configured.store(false, std::memory_order_relaxed);
    spare.clear();
    m_links = std::move(kept);
    m_config = std::move(config);
    Attach(*m_config);
    for (std::size_t n = 0; n < m_links.size(); ++n)
    {
        if (requestChanged[n])
            m_links[n]->Start();
    }
}

void CAcquisition::Stop()
{
    RequestStop();
    AcquisitionGate().WakeForStop();
    for (auto& link : m_links)
        link->run.store(0);
    for (auto& link : m_links)
        link->Stop();
    m_links.clear();
    (void)WriteResumeTimes();
}

void ShowWaitTime(int seconds)
{
    IOperatorView& view = OperatorView();
    if (!view.IsWindowVisible())
        return;
    if (g_lastWaitShown.exchange(seconds, std::memory_order_relaxed) == seconds)
        return;
    view.SetWaitDisplay(FormatText("%02d:%02d", seconds / 60, seconds % 60));
}

std::string StatusLine(const WaveformPacket& packet)
{
    return FormatText(" %-5s  %-4s  %s  %-6s ", packet.station, packet.channel,
                      util_dttostr(packet.beginTime, 0), packet.auxName);
}

void ReadAcquisitionSettings()
{
    const long long limit = ReadProfileInt(g_iniPath, "SYSTEM", "RECEIVE_TIMEOUT", 0);
    g_messageLimit.store(limit > 0 && limit <= 86400 ? static_cast<int>(limit)
                                                     : kDefaultMessageLimit,
                         std::memory_order_relaxed);
    SetFutureLimit(static_cast<double>(ReadProfileInt(g_iniPath, "SYSTEM", "FUTURE_LIMIT", 0)));
}

void RunConnection(CRunningLink& link)
{
    auto request = std::make_unique<TransferRequest>();
    auto config = std::make_unique<ServerConfig>();
    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    CLinkConnection& connection = link.connection;
    CLinkCounters& counters = connection.Counters();

    // Under a lease that lapsed nothing is asked: the fleet renews it or stops the link. The
    // archive's configuration is read inside the gate, which a reload closes to change it.
    bool mayWrite = false;
    {
        CGatePass pass(AcquisitionGate(), &link.run);
        mayWrite = pass && link.archive.MayWrite();
    }
    if (!mayWrite)
    {
        (void)PauseUnlessStopped(connection, 500);
        return;
    }
    UniqueFd socket(Connect(link, *request, *config));
    if (!socket)
        return;

    std::string connected = "Connected to server: " + link.request.host;
    OperatorView().SetStatusLine(connected);
    LogEvent(connected);

    long long packets = 0;
    int result = 0;
    CChunkJournal& journal = link.archive.Journal();
    journal.BeginConnection();
    const auto connectedAt = std::chrono::steady_clock::now();
    connection.idleWork = [&link] { return CommitWhileWaiting(link.archive); };
    while (Running(link) && (result = RecvPacket(connection, socket.Get(), *config, *raw)) == 0)
    {
        ++packets;
        if (ConvertPacket(*config, *raw, *packet).Failed())
            continue; // format 3, or a packet the configuration cannot describe
        // Busy from here until the packet is merged and any chunk it caused is written: a
        // thread that hangs in a write or a statement stops the service watchdog's pings.
        CBusyScope busy(*link.progress);
        CGatePass pass(AcquisitionGate(), &link.run);
        if (!pass || !HandlePacket(*packet, link.archive) || !link.archive.WriteLateBuffers())
            break;
        journal.CommitIfDue();
        if (journal.Failed())
            break;
    }
    connection.idleWork = {};

    socket.Reset();
    counters.connectedSince.store(0, std::memory_order_relaxed);
    counters.SetState(LinkState::Connecting);
    if (result != 0 && Running(link))
        counters.CountFailure(result == 1 ? kTransferEndOfStream : g_transferError);
    // A new connection asks every channel again, the silent one included.
    counters.reconnectRequested.store(false, std::memory_order_relaxed);
    OperatorView().SetStatusLine("Connection closed");
    LogEvent("Connection closed");
    {
        CGatePass pass(AcquisitionGate(), &link.run);
        if (pass)
        {
            EndScreenRuns(link.archive);
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
    if (journal.TakeFailure() && Running(link))
        PauseAfterFailure(link);
    else if (carriedData)
        link.retry.ConnectionWorked();
    else if (Running(link))
        PauseAfterFailure(link);
}

} // namespace tarvell
