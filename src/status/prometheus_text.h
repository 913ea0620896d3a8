#pragma once
// The status snapshot in the Prometheus text exposition format (version 0.0.4): one family
// per counter, with HELP and TYPE lines, labels station, channel and server. Any thread.

#include <string>

namespace tarvell
{

struct StatusSnapshot;

// The body of /metrics.
std::string PrometheusText(const StatusSnapshot& snapshot);

} // namespace tarvell
