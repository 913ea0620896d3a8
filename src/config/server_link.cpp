#include "config/server_link.h"

#include "config/station_groups.h"
#include "log/event_log.h"
#include "platform/text.h"
#include "platform/text_format.h"

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
        ChannelSlot& channel = slot.channels[k];
        CopyToField(channel.name, sizeof channel.name, group.channels[k].name);
        channel.startTime = kFromOldestData;
        channel.endTime = kOpenEnd;
    }
}

} // namespace

std::vector<LinkConfig> BuildServerLinks(const std::vector<CStationGroup>& groups)
{
    std::vector<LinkConfig> links;
    for (std::size_t g = 0; g < groups.size(); ++g)
    {
        const CStationGroup& group = groups[g];
        LinkConfig wanted{group.server, group.port, group.serverType, {}, nullptr};
        LinkConfig* link = nullptr;
        for (LinkConfig& candidate : links)
        {
            if (candidate.SameServer(wanted))
            {
                link = &candidate;
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
                                    wanted.Name().c_str()));
                continue;
            }
            link = &links.emplace_back(std::move(wanted));
        }
        if (link->groups.size() >= static_cast<std::size_t>(kMaxLinkStations))
        {
            LogEvent(FormatText("More than %d stations for server %s: station %s (GROUP%d) is "
                                "not acquired",
                                kMaxLinkStations, link->Name().c_str(), group.station.c_str(),
                                group.section));
            continue;
        }
        link->groups.push_back(g);
    }
    return links;
}

CServerLink MakeServerLink(const CConfiguration& config, const LinkConfig& link)
{
    CServerLink server;
    server.host = link.host;
    server.port = link.port;
    server.serverType = link.serverType;
    for (std::size_t g : link.groups)
    {
        FillSlot(server.stations[static_cast<std::size_t>(server.stationCount)], config.groups[g]);
        ++server.stationCount;
    }
    return server;
}

} // namespace tarvell
