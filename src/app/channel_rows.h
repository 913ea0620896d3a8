#pragma once
// The rows of the operator window's channel list, made from g_groups. Main thread, or a
// thread that holds acquisition paused (the groups must not change meanwhile).

#include <vector>

#include "platform/operator_view.h"

namespace tarvell
{

// One row per channel of g_groups, groups in order, channels in group order. withServer
// fills the server column with the group's server and, in brackets, its type ("host (xfer)");
// without it the column stays empty (so after a reload: the running links were built from
// the configuration of the start, and may no longer be what the INI file says).
std::vector<ChannelRow> ChannelRows(bool withServer);

} // namespace tarvell
