#pragma once
// The channel's current file in the operator view (the list's file column). Any thread.

#include <string_view>

namespace tarvell
{

// Shows text as the current file of the configured channel (station, channel) in the
// operator view, followed by " (DL)" when the channel writes into a loop file. A channel
// that is not configured is left alone.
void ShowChannelFile(std::string_view text, std::string_view station, std::string_view channel);

// The same when the caller knows whether the channel writes into a loop file.
void ShowChannelFile(std::string_view text, std::string_view station, std::string_view channel,
                     bool loopFile);

} // namespace tarvell
