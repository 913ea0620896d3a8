#pragma once
// The rows of the operator window's channel list, made from a configuration. Any thread.

#include <vector>

#include "config/station_groups.h"
#include "platform/operator_view.h"

namespace tarvell
{

// One row per channel of the configuration's links, in the order of the INI (groups in order,
// channels in group order), the server column holding its server and, in brackets, its type
// ("host:port (xfer)").
std::vector<ChannelRow> ChannelRows(const CConfiguration& config);

} // namespace tarvell
