#include "config/station_groups.h"

#include "metrics/metrics_registry.h"
#include "platform/text.h"

namespace tarvell
{

std::vector<std::unique_ptr<CStationGroup>> g_groups;

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
}

ChannelLocation FindChannel(std::string_view station, std::string_view channel)
{
    for (std::size_t g = 0; g < g_groups.size(); ++g)
    {
        CStationGroup& group = *g_groups[g];
        if (!EqualsIgnoreCase(group.station, station))
            continue;
        for (std::size_t c = 0; c < group.channels.size(); ++c)
        {
            if (EqualsIgnoreCase(group.channels[c]->name, channel))
                return ChannelLocation{g, c, &group, group.channels[c].get()};
        }
    }
    return {};
}

} // namespace tarvell
