#pragma once
// The channels' entries in the program INI that the data files depend on, and where a
// channel writes: its resume time (the whole second up to which its data are written), the
// section that names its station now, and its loop file under the data root. The resume time
// is read when a channel's state is made, never on the chunk path. Any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/station_groups.h"

namespace tarvell
{

class CChannelState;

// The number n of the section GROUP<n> of the INI at iniPath that names station now:
// section while it still names it (without regard to case); when the INI was edited since,
// the first section 1 ... GROUPS that names it; 0 when none does.
int SectionNamingStation(const std::string& iniPath, int section, std::string_view station);

enum class LoopMode
{
    TimeNamed,       // no FILE_<channel> entry: time-named files
    LoopFile,        // FILE_<channel> names a file that exists under <data root>/<STATION>/
    MissingLoopFile, // FILE_<channel> names a file that is not there: time-named files
};

// The loop file of the channel of group: <dataRoot>/<STATION>/<FILE_ value>; empty for a
// time-named channel.
std::string LoopFilePath(const std::string& dataRoot, const CStationGroup& group,
                         std::string_view loopFile);

// How the channel of group with the loop file name loopFile (empty: none) writes now: whether
// its loop file exists is looked at on every call.
LoopMode ChannelLoopMode(const std::string& dataRoot, const CStationGroup& group,
                         std::string_view loopFile);

// Stores seconds (formed with "%lld") as the resume time of channel of group in the section
// that names the group's station now, at once. Nothing is written when no section names it.
// (The running program stores resume times through the resume store, about once a second.)
void SaveResumeTime(const std::string& iniPath, const CStationGroup& group,
                    std::string_view channel, std::int64_t seconds);

// The resume time of channel of group: whole epoch seconds, 0 when none is stored, the text
// is no number, or no section names the station.
std::int64_t LoadResumeTime(const std::string& iniPath, const CStationGroup& group,
                            std::string_view channel);

// A line for the log and --check-config when the program INI's [DATA] DIR names another
// directory than the data root of config (the command line's DATA= or KDX.ini overrule it):
// data files and loop files are all under the data root. Empty when they agree or [DATA] DIR
// is empty.
std::string DataRootNote(const CConfiguration& config);

} // namespace tarvell
