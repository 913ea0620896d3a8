#include "config/held_configuration.h"

#include <algorithm>

namespace tarvell
{

std::shared_ptr<const CConfiguration>
HeldConfiguration(const CConfiguration& config,
                  const std::map<std::string, std::shared_ptr<CLinkLease>>& held,
                  const std::set<std::string>& excluded)
{
    auto part = std::make_shared<CConfiguration>(config);
    std::map<std::string, std::string> firstLink; // station -> least LeaseName carrying it
    for (const LinkConfig& link : config.links)
    {
        for (std::size_t g : link.groups)
        {
            auto [known, first] = firstLink.try_emplace(config.groups[g].station, link.LeaseName());
            if (!first)
                known->second = std::min(known->second, link.LeaseName());
        }
    }
    for (CStationGroup& group : part->groups)
    {
        std::erase_if(group.channels, [&](const CChannelRecord& channel)
                      { return excluded.count(ChannelKey(group.station, channel.name)) != 0; });
        group.purgesStation = held.count(firstLink[group.station]) != 0;
    }
    part->links.clear();
    for (const LinkConfig& link : config.links)
    {
        auto lease = held.find(link.LeaseName());
        if (lease == held.end())
            continue;
        part->links.push_back(link);
        part->links.back().lease = lease->second;
    }
    part->Index();
    return part;
}

} // namespace tarvell
