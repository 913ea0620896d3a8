#pragma once
// The status snapshot in the Prometheus text exposition format (version 0.0.4): one family
// per counter, with HELP and TYPE lines, labels station, channel and server. Any thread.

#include <string>

namespace tarvell
{

struct StatusSnapshot;

// The body of /metrics.
std::string PrometheusText(const StatusSnapshot& snapshot);

// The same into out (replacing what it held), keeping out's room: a server thread that
// answers every second reuses one buffer instead of a fresh megabyte each time.
void WritePrometheusText(const StatusSnapshot& snapshot, std::string& out);

} // namespace tarvell
