#include "app/channel_rows.h"

namespace tarvell
{

std::vector<ChannelRow> ChannelRows(const CConfiguration& config)
{
    std::vector<ChannelRow> rows;
    for (const CStationGroup& group : config.groups)
    {
        const ConfiguredChannel first =
            group.channels.empty() ? ConfiguredChannel{}
                                   : config.Find(group.station, group.channels.front().name);
        if (!first || first.group != &group)
            continue; // a group that no link carries
        const LinkConfig& link = config.links[first.link];
        const std::string server = link.Name() + " (" + link.serverType + ")";
        for (const CChannelRecord& channel : group.channels)
            rows.push_back({group.station, channel.name, server});
    }
    return rows;
}

} // namespace tarvell
