#pragma once
// The channel's current file in the operator view (the list's file column). Any thread.

#include <string_view>

namespace tarvell
{

// Shows text as the current file of the configured channel (station, channel, as the
// configuration names them) in the operator view, followed by " (DL)" for a loop file.
void ShowChannelFile(std::string_view text, std::string_view station, std::string_view channel,
                     bool loopFile);

} // namespace tarvell
