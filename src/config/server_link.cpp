#include "config/server_link.h"

#include "config/station_groups.h"
#include "platform/text_format.h"
#include "log/event_log.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

void FillSlot(StationSlot& slot, const CStationGroup& group)
{
    if (group.channels.empty())
        return;
    CopyToField(slot.name, sizeof slot.name, group.station);
    std::size_t count = group.channels.size();
    if (count > kMaxSlotChannels)
    {
        LogEvent(FormatText("Station %s (GROUP%d) has %zu channels; only the first %d are "
                            "requested",
                            group.station.c_str(), group.section, count, kMaxSlotChannels));
        count = kMaxSlotChannels;
    }
    slot.channelCount = static_cast<int>(count);
    for (std::size_t k = 0; k < count; ++k)
    {
        const CChannelRecord& record = *group.channels[k];
        ChannelSlot& channel = slot.channels[k];
        CopyToField(channel.name, sizeof channel.name, record.name);
        channel.startTime = record.resumeTime != 0 ? record.resumeTime : kFromOldestData;
        channel.endTime = kOpenEnd;
    }
}

} // namespace

std::vector<std::unique_ptr<CServerLink>> BuildServerLinks()
{
    std::vector<std::unique_ptr<CServerLink>> links;
    for (const auto& groupPointer : g_groups)
    {
        const CStationGroup& group = *groupPointer;
        CServerLink* link = nullptr;
        for (auto& candidate : links)
        {
            if (EqualsIgnoreCase(candidate->host, group.server))
            {
                link = candidate.get();
                break;
            }
        }
        if (link == nullptr)
        {
            if (links.size() >= kMaxServerLinks)
            {
                LogEvent(FormatText("More than %d servers: station %s (GROUP%d) of server %s "
                                    "is not acquired",
                                    kMaxServerLinks, group.station.c_str(), group.section,
                                    group.server.c_str()));
                continue;
            }
            links.push_back(std::make_unique<CServerLink>());
            link = links.back().get();
            link->host = group.server;
            link->port = group.port;
            link->serverType = group.serverType;
        }
        if (link->stationCount >= kMaxLinkStations)
        {
            LogEvent(FormatText("More than %d stations for server %s: station %s (GROUP%d) is "
                                "not acquired",
                                kMaxLinkStations, link->host.c_str(), group.station.c_str(),
                                group.section));
            continue;
        }
        FillSlot(link->stations[static_cast<std::size_t>(link->stationCount)], group);
        ++link->stationCount;
    }
    return links;
}

} // namespace tarvell
