#pragma once
// The status snapshot as JSON, the body of /status and what tarvell --status reads. Any
// thread.

#include <string>

namespace tarvell
{

struct StatusSnapshot;

// One JSON object: version, start and current time, database, links, stations, channels.
std::string StatusJson(const StatusSnapshot& snapshot);

} // namespace tarvell
