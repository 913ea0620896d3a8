#pragma once
// The channels' entries in the program INI (g_iniPath) that the data files depend on: the
// section a group is described by now, which channels write into a loop file and under which
// name, how large a loop file's ring is, and up to which second each channel's data are
// written (its resume time). Any thread: the acquisition threads call these for their own
// channels while g_groups stays as it is.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvell
{

class CStationGroup;

// The number n of the section GROUP<n> that describes group now: the section it was loaded
// from while that still names its station (without regard to case); when the INI was edited
// since, the first section 1 ... GROUPS that names the station; 0 when none does. A moved or
// vanished station is logged once.
int GroupSection(const CStationGroup& group);

enum class LoopMode
{
    TimeNamed,       // no FILE_<channel> entry: time-named files
    LoopFile,        // FILE_<channel> names a file that exists under <data root>/<STATION>/
    MissingLoopFile, // FILE_<channel> names a file that is not there: time-named files
};

// A line for the log and --check-config when the program INI's [DATA] DIR names another
// directory than the data root the settings search chose (the command line's DATA= or
// KDX.ini overrule it): data files and loop files are all under the data root. Empty when
// they agree or [DATA] DIR is empty.
std::string DataRootNote();

// How the channel of station in section GROUP<section> writes now (section 0: time-named).
LoopMode ChannelLoopMode(int section, std::string_view station, std::string_view channel);

// True when the configured channel (station, channel) writes into its loop file now.
bool IsLoopFileChannel(std::string_view station, std::string_view channel);

// The name of the channel's loop file: [GROUP<section>] FILE_<channel>, by default
// "<STATION>_<CHANNEL>.DAT", at most 127 characters; empty for section 0.
std::string LoopFileName(int section, std::string_view station, std::string_view channel);

// The ring size of the loop files of section GROUP<section>: SIZEMB (default 1) x 1048576
// bytes, 0 when SIZEMB is not a positive number; nothing for section 0.
std::optional<std::int64_t> LoopRingSize(int section);

// Stores seconds (formed with "%lld") as the resume time of channel of the group at index
// group in g_groups, under the key named by the channel in the group's section, at once.
// Nothing is written when no section names the group's station any more. (The running
// program stores resume times through the resume store, about once a second.)
void SaveResumeTime(std::size_t group, std::string_view channel, std::int64_t seconds);

// The resume time of channel of the group at index group: whole epoch seconds, 0 when none
// is stored, the text is no number, or no section names the station.
std::int64_t LoadResumeTime(std::size_t group, std::string_view channel);

} // namespace tarvell
