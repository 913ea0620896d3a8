#pragma once
// What makes a configuration unfit to be applied: the problems --check-config reports, and
// that make a reload keep the running configuration. The main thread (--check-config) or the
// reload thread.

#include <string>
#include <vector>

#include "config/station_groups.h"

namespace tarvell
{

// The problems of config and of the INI text it was read from: sections that make no group,
// names that do not fit the request or a path, a CHAN value cut off, ports that are no
// numbers, a channel that two groups acquire, channels the database does not know, and more
// servers (host and port) or stations per server than the links hold. Empty: none.
std::vector<std::string> ConfigurationProblems(const CConfiguration& config);

} // namespace tarvell
