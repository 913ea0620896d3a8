#include "status/status_snapshot.h"

#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/text_format.h"

#ifndef TARVELL_VERSION
#define TARVELL_VERSION "unknown"
#endif

namespace tarvell
{
namespace
{
constexpr auto kRelaxed = std::memory_order_relaxed;

ChannelStatus ReadChannel(const CChannelCounters& counters, double now, bool texts)
{
    ChannelStatus status;
    status.station = counters.station;
    status.channel = counters.channel;
    if (const CLinkCounters* link = counters.link.load(kRelaxed))
        status.server = link->host;
    if (texts)
        status.file = counters.file.Load();
    status.counts = ReadCounts(counters, kChannelCounts);
    status.lastArrival = counters.lastArrival.load(kRelaxed);
    status.hasData = status.lastArrival > 0;
    status.lastSampleTime = counters.lastSampleTime.load(kRelaxed);
    status.latency = status.hasData ? now - status.lastSampleTime : 0;
    status.bufferSamples = counters.bufferSamples.load(kRelaxed);
    status.stalled = counters.stalled.load(kRelaxed);
    status.silentSince = status.stalled ? counters.silentSince.load(kRelaxed) : 0;
    status.holdReason = counters.holdReason.load(kRelaxed);
    status.heldSince = status.holdReason != 0 ? counters.heldSince.load(kRelaxed) : 0;
    if (texts && status.holdReason != 0)
        status.holdDetail = counters.holdDetail.Load();
    for (std::size_t i = 0; i < status.samplesDropped.size(); ++i)
        status.samplesDropped[i] = counters.samplesDropped[i].load(kRelaxed);
    if (texts)
        status.availability = counters.Availability(now);
    return status;
}

LinkStatus ReadLink(const CLinkCounters& counters)
{
    LinkStatus status;
    status.server = counters.host;
    status.port = counters.port;
    const LinkState state = counters.State();
    status.state = LinkStateText(state);
    status.connected = state == LinkState::Connected;
    status.counts = ReadCounts(counters, kLinkCounts);
    status.heldHere = !counters.heldElsewhere.load(kRelaxed);
    status.holder = counters.holder.Load();
    status.delayBuckets = counters.archiveDelay.Counts();
    status.delaySum = counters.archiveDelay.Sum();
    status.lastFailure = counters.lastFailure.load(kRelaxed);
    for (int code = 0; code < kCountedFailureCodes; ++code)
    {
        const std::int64_t count = counters.Failures(code);
        if (count == 0 || CLinkCounters::Slot(code) != code)
            continue;
        status.failures.emplace_back(
            code == kCountedFailureCodes - 1 ? "other" : std::to_string(code), count);
    }
    return status;
}

} // namespace

const char* HoldReasonText(int reason)
{
    switch (reason)
    {
    case 1:
        return "write";
    case 2:
        return "rows";
    case 3:
        return "rate";
    default:
        return "";
    }
}

const char* BuildVersion()
{
    return TARVELL_VERSION;
}

StatusSnapshot TakeStatusSnapshot(double now, SnapshotDepth depth)
{
    const CMetricsRegistry& registry = Metrics();
    StatusSnapshot snapshot;
    snapshot.now = now;
    snapshot.startTime = registry.process.startTime.load(kRelaxed);
    snapshot.version = BuildVersion();
    snapshot.databaseReachable = registry.process.databaseReachable.load(kRelaxed);
    snapshot.databaseOutages = registry.process.databaseOutages.load(kRelaxed);
    snapshot.dataRootMissing = registry.process.dataRootMissing.load(kRelaxed);
    snapshot.notAcquired = registry.process.channelsNotAcquired.load(kRelaxed);
    snapshot.logLinesLost = LogLinesLost();
    snapshot.instance = registry.process.instanceName.Load();
    const StatusServerCounters& server = registry.process.statusServer;
    snapshot.statusServer.connectionsOpen = server.connectionsOpen.load(kRelaxed);
    snapshot.statusServer.connectionLimit = server.connectionLimit.load(kRelaxed);
    for (std::size_t i = 0; i < server.refused.size(); ++i)
        snapshot.statusServer.refused[i] = server.refused[i].load(kRelaxed);
    const bool full = depth != SnapshotDepth::Summary;
    if (full)
    {
        for (const auto& link : registry.Links())
            snapshot.links.push_back(ReadLink(*link));
        for (const auto& station : registry.Stations())
        {
            snapshot.stations.push_back({station->station, station->diskLoopBytes.load(kRelaxed),
                                         station->diskLoopLimit.load(kRelaxed),
                                         station->filesPurged.load(kRelaxed)});
        }
    }
    const auto channels = registry.Channels();
    snapshot.channels.reserve(channels.size());
    for (const auto& counters : channels)
    {
        if (!counters->configured.load(kRelaxed))
            continue;
        ChannelStatus channel;
        if (full)
        {
            channel = ReadChannel(*counters, now, depth == SnapshotDepth::Full);
        }
        else
        {
            channel.stalled = counters->stalled.load(kRelaxed);
            channel.hasData = counters->lastArrival.load(kRelaxed) > 0;
            channel.holdReason = counters->holdReason.load(kRelaxed);
        }
        const CLinkCounters* link = counters->link.load(kRelaxed);
        // A channel another instance archives is that instance's to report: what this one
        // knew of it (a hold, a stall) is from before.
        if (link && link->heldElsewhere.load(kRelaxed))
        {
            channel.elsewhere = true;
            channel.stalled = false;
            channel.holdReason = 0;
            ++snapshot.elsewhereChannels;
        }
        else if (channel.holdReason != 0)
            ++snapshot.heldChannels;
        else if (channel.stalled)
            ++snapshot.stalledChannels;
        else if (channel.hasData && link && link->State() == LinkState::Connected)
            ++snapshot.flowingChannels;
        snapshot.channels.push_back(std::move(channel));
    }
    return snapshot;
}

std::string StatusSummary(const StatusSnapshot& snapshot)
{
    const std::size_t channels = snapshot.channels.size();
    std::string summary =
        FormatText("%zu %s, %d flowing", channels, channels == 1 ? "channel" : "channels",
                   snapshot.flowingChannels);
    if (snapshot.stalledChannels > 0)
        summary += FormatText(", %d stalled", snapshot.stalledChannels);
    if (snapshot.heldChannels > 0)
        summary += FormatText(", %d held", snapshot.heldChannels);
    if (snapshot.elsewhereChannels > 0)
        summary += FormatText(", %d archived by other instances", snapshot.elsewhereChannels);
    summary += snapshot.databaseReachable ? ", database up" : ", database down";
    if (snapshot.dataRootMissing)
        summary += ", data root missing";
    if (snapshot.notAcquired > 0)
        summary += FormatText(", %lld configured not acquired",
                              static_cast<long long>(snapshot.notAcquired));
    return summary;
}

} // namespace tarvell
