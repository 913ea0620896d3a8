#include "status/status_json.h"

#include <nlohmann/json.hpp>

#include "metrics/counters.h"
#include "status/status_snapshot.h"

namespace tarvell
{
namespace
{

using Json = nlohmann::ordered_json;

Json ChannelJson(const ChannelStatus& channel)
{
    Json out = {{"station", channel.station},
                {"channel", channel.channel},
                {"server", channel.server},
                {"file", channel.file},
                {"buffer_samples", channel.bufferSamples},
                {"stalled", channel.stalled},
                {"elsewhere", channel.elsewhere},
                {"availability", channel.availability}};
    for (std::size_t i = 0; i < kChannelCounts.size(); ++i)
        out[kChannelCounts[i].json] = channel.counts[i];
    out["last_sample_time"] = channel.hasData ? Json(channel.lastSampleTime) : Json(nullptr);
    out["latency_seconds"] = channel.hasData ? Json(channel.latency) : Json(nullptr);
    out["silent_since"] = channel.stalled ? Json(channel.silentSince) : Json(nullptr);
    out["held"] = channel.holdReason == 0 ? Json(nullptr)
                                          : Json({{"reason", HoldReasonText(channel.holdReason)},
                                                  {"since", channel.heldSince},
                                                  {"detail", channel.holdDetail}});
    Json dropped = Json::object();
    for (std::size_t i = 0; i < channel.samplesDropped.size(); ++i)
        dropped[DropReasonText(static_cast<DropReason>(i))] = channel.samplesDropped[i];
    out["samples_dropped"] = std::move(dropped);
    return out;
}

Json LinkJson(const LinkStatus& link)
{
    Json failures = Json::object();
    for (const auto& [code, count] : link.failures)
        failures[code] = count;
    Json out = {{"server", link.server},
                {"port", link.port},
                {"state", link.state},
                {"last_failure", link.lastFailure < 0 ? Json(nullptr) : Json(link.lastFailure)},
                {"held_here", link.heldHere},
                {"holder", link.holder.empty() ? Json(nullptr) : Json(link.holder)},
                {"failures", std::move(failures)}};
    for (std::size_t i = 0; i < kLinkCounts.size(); ++i)
        out[kLinkCounts[i].json] = link.counts[i];
    return out;
}

} // namespace

std::string StatusJson(const StatusSnapshot& snapshot)
{
    Json channels = Json::array();
    for (const ChannelStatus& channel : snapshot.channels)
        channels.push_back(ChannelJson(channel));
    Json links = Json::array();
    for (const LinkStatus& link : snapshot.links)
        links.push_back(LinkJson(link));
    Json stations = Json::array();
    for (const StationStatus& station : snapshot.stations)
    {
        stations.push_back({{"station", station.station},
                            {"disk_loop_bytes", station.diskLoopBytes},
                            {"disk_loop_limit_bytes", station.diskLoopLimit},
                            {"files_purged", station.filesPurged}});
    }
    const Json out = {
        {"version", snapshot.version},
        {"start_time", snapshot.startTime},
        {"now", snapshot.now},
        {"database",
         {{"reachable", snapshot.databaseReachable}, {"outages", snapshot.databaseOutages}}},
        {"data_root_missing", snapshot.dataRootMissing},
        {"not_acquired", snapshot.notAcquired},
        {"log_lines_lost", snapshot.logLinesLost},
        {"summary", StatusSummary(snapshot)},
        {"flowing_channels", snapshot.flowingChannels},
        {"stalled_channels", snapshot.stalledChannels},
        {"held_channels", snapshot.heldChannels},
        {"elsewhere_channels", snapshot.elsewhereChannels},
        {"instance", snapshot.instance},
        {"links", std::move(links)},
        {"stations", std::move(stations)},
        {"channels", std::move(channels)}};
    // Names come from the INI and the server as single bytes; a byte that is no UTF-8 is
    // replaced rather than failing the whole answer.
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace tarvell
