#include "app/channel_rows.h"

#include "config/station_groups.h"

namespace tarvell
{

std::vector<ChannelRow> ChannelRows(bool withServer)
{
    std::vector<ChannelRow> rows;
    for (const auto& group : g_groups)
    {
        std::string server;
        if (withServer)
            server = group->server + " (" + group->serverType + ")";
        for (const auto& channel : group->channels)
            rows.push_back({group->station, channel->name, server});
    }
    return rows;
}

} // namespace tarvell
