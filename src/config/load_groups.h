#pragma once
// Reading the configuration from the program INI and checking every channel against
// SITECHAN, into an immutable snapshot (config/station_groups.h). The main thread at start-up
// and --check-config, the reload thread at a reload.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/station_groups.h"

namespace tarvell
{

// Reads [SYSTEM] GROUPS and the sections GROUP1 ... GROUP<GROUPS> of the INI file at iniPath
// into a new snapshot with dataRoot: one group per section with a STATION, remembering its
// section number, and one server link per host and port (at most 64 links of 64 stations).
// Checks every CHAN token in SITECHAN, logging "Not Found. Station: %s  Channel: %s" for each
// one without a row and "Number of channels: %d" with the number found; channels left out for
// a sampling rate that is not above 0, names too long to be requested or unsafe in a path (a
// station of such a name makes no group), a station's channel that an earlier group acquires
// already, channels beyond the 255 characters of CHAN, SIZEMB values that are not a positive
// number, and links or stations beyond the limits are logged too. Never fails: what cannot be
// acquired is left out.
std::shared_ptr<const CConfiguration> LoadGroups(const std::string& iniPath,
                                                 const std::string& dataRoot);

// The channel names of a CHAN value as the model takes them: tokens separated by "," or
// ";", blanks dropped wherever they stand, at most 15 characters each, empty ones skipped.
std::vector<std::string> ChannelTokens(std::string_view text);

// Station and channel names travel to the server in 8-byte fields with their terminator: a
// longer name cannot be requested. A CHAN value is read up to 255 characters.
inline constexpr std::size_t kMaxRequestName = 7;
inline constexpr std::size_t kMaxChanText = 255;

// The part of a CHAN value that is read: all of it up to 255 characters; of a longer one the
// first 255 characters, cut back to the last separator when the limit falls inside a name.
// The channels beyond go to cutOff when it is given.
std::string ChanWithinLimit(std::string_view text, std::vector<std::string>* cutOff);

// Why a station or channel name cannot become part of a path under the data root, or
// empty when it can: a name must not hold "/", "\" or "..", must not be ".", and must be
// printable ASCII (a control character or a byte above 0x7E would reach the file names, the
// event log and the metrics' labels).
std::string NameProblem(std::string_view name);

// name with every byte outside printable ASCII written as \xHH, for messages.
std::string PrintableName(std::string_view name);

enum class LeftOutReason
{
    NoSampleRate,      // SITECHAN gives no sampling rate above 0
    NameTooLong,       // more than 7 characters: it cannot be requested
    UnsafeName,        // NameProblem: it cannot name a directory or file
    AcquiredElsewhere, // an earlier group acquires the same station and channel
    BeyondChanLimit,   // it stands beyond the 255 characters of CHAN that are read
};

struct LeftOutChannel
{
    std::string token;
    LeftOutReason reason = LeftOutReason::NoSampleRate;
    int otherSection = 0; // AcquiredElsewhere: the section of the group that keeps it
    std::string problem;  // UnsafeName: what is wrong with the name
};

} // namespace tarvell
