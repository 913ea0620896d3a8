#include "config/station_groups.h"

#include <string>
#include <unordered_map>

#include "metrics/metrics_registry.h"
#include "platform/text.h"

namespace tarvell
{

std::vector<std::unique_ptr<CStationGroup>> g_groups;

namespace
{

// Where each station's channel lives, by "STATION\nCHANNEL" in upper case: the first group
// of the station that has the channel, as a walk of g_groups in order finds it. Built with
// g_groups and guarded like it; one lookup per packet costs the same whatever the number of
// channels.
std::unordered_map<std::string, ChannelLocation> g_channelIndex;

std::string IndexKey(std::string_view station, std::string_view channel)
{
    std::string key;
    key.reserve(station.size() + 1 + channel.size());
    key += ToUpperAscii(station);
    key += '\n';
    key += ToUpperAscii(channel);
    return key;
}

} // namespace

CChannelRecord::CChannelRecord(std::string_view channelName, double rate)
    : name(channelName), sampleRate(rate),
      counters(std::make_shared<CChannelCounters>("", channelName))
{
}

void CChannelRecord::ResetWritingState()
{
    EmptyBuffer();
    Written() = ChannelFileState{};
    committedFile = ChannelFileState{};
    pending.clear();
}

void CChannelRecord::EmptyBuffer()
{
    bufferStart = 0;
    bufferDuration = 0;
    bufferCount = 0;
}

CStationGroup::CStationGroup(std::string_view stationName, int sectionNumber)
    : section(sectionNumber), station(stationName),
      counters(std::make_shared<CStationCounters>(stationName))
{
}

std::size_t AddGroup(std::string_view station, int section)
{
    g_groups.push_back(std::make_unique<CStationGroup>(station, section));
    g_groups.back()->counters = Metrics().Station(station);
    return g_groups.size() - 1;
}

std::size_t AddChannel(std::size_t group, std::string_view name, double sampleRate)
{
    auto& channels = g_groups[group]->channels;
    for (std::size_t i = 0; i < channels.size(); ++i)
    {
        if (EqualsIgnoreCase(channels[i]->name, name))
            return i;
    }
    channels.push_back(std::make_unique<CChannelRecord>(name, sampleRate));
    // Counters are kept by name, so a channel that a reload makes anew counts on.
    auto counters = Metrics().Channel(g_groups[group]->station, name);
    counters->configured.store(true, std::memory_order_relaxed);
    channels.back()->counters = std::move(counters);
    g_channelIndex.try_emplace(
        IndexKey(g_groups[group]->station, name),
        ChannelLocation{group, channels.size() - 1, g_groups[group].get(), channels.back().get()});
    return channels.size() - 1;
}

void ClearGroups()
{
    for (const auto& group : g_groups)
    {
        for (const auto& channel : group->channels)
            channel->counters->configured.store(false, std::memory_order_relaxed);
    }
    g_groups.clear();
    g_channelIndex.clear();
}

ChannelLocation FindChannel(std::string_view station, std::string_view channel)
{
    auto found = g_channelIndex.find(IndexKey(station, channel));
    return found == g_channelIndex.end() ? ChannelLocation{} : found->second;
}

} // namespace tarvell
