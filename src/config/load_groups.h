#pragma once
// Reading the configuration model from the program INI (g_iniPath) and checking every channel
// against SITECHAN. Main thread at start-up, or the reload thread while acquisition is paused.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tarvell
{

// Reads [SYSTEM] GROUPS and the sections GROUP1 ... GROUP<GROUPS> into g_groups (which must
// be empty): one group per section with a STATION, remembering its section number. Checks
// every CHAN token in SITECHAN, logging "Not Found. Station: %s  Channel: %s" for each one
// without a row and "Number of channels: %d" with the number found; channels left out for
// a sampling rate that is not above 0, names too long to be requested and SIZEMB values that
// are not a positive number are logged too. Always returns true.
bool LoadGroups();

// The channel names of a CHAN value as the model takes them: tokens separated by "," or
// ";", blanks dropped wherever they stand, at most 15 characters each, empty ones skipped.
std::vector<std::string> ChannelTokens(std::string_view text);

// Adds to group the channels of text (ChannelTokens); a token is added only when SITECHAN
// gives it a sampling rate above 0. Tokens left out are appended to leftOut when it is given.
// Returns the number of channels the group has afterwards.
std::size_t AddChannels(std::size_t group, std::string_view text,
                        std::vector<std::string>* leftOut = nullptr);

} // namespace tarvell
