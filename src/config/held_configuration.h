#pragma once
// What one instance of a fleet archives of its configuration: the links whose leases it holds,
// each with its lease, less the channels another link archives. Any thread.

#include <map>
#include <memory>
#include <set>
#include <string>

#include "config/link_lease.h"
#include "config/station_groups.h"

namespace tarvell
{

// config with only the links held (by LeaseName, with their leases), without the excluded
// channels (ChannelKeys); the groups stay, so that every configured channel keeps its place.
// A group purges its station's disk loop only where the station's first link (by LeaseName)
// is held, so that one instance purges each station.
std::shared_ptr<const CConfiguration>
HeldConfiguration(const CConfiguration& config,
                  const std::map<std::string, std::shared_ptr<CLinkLease>>& held,
                  const std::set<std::string>& excluded);

} // namespace tarvell
