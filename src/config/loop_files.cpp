#include "config/loop_files.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "config/group_section.h"
#include "config/load_groups.h"
#include "config/station_groups.h"
#include "platform/text_format.h"
#include "log/event_log.h"
#include "platform/file_system.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

// Makes the loop file at path of the given size. A file that cannot be written to its full
// size is removed again: a short loop file would pass for a prepared one.
void MakeLoopFile(const std::string& path, std::int64_t bytes)
{
    if (CreateFilledFile(path, bytes, '0'))
    {
        LogEvent(FormatText("File created (%s)", path.c_str()));
        return;
    }
    if (errno != EEXIST)
    {
        LogEvent(FormatText("Loop file not created '%s': %s", path.c_str(), std::strerror(errno)));
    }
}

} // namespace

void PrepareLoopFiles(const std::string& root)
{
    const std::string& ini = g_iniPath;
    const long long groups =
        std::min(ReadProfileInt(ini, "SYSTEM", "GROUPS", 0), kMaxGroupSections);
    bool reportedNoDirectory = false;
    for (long long g = 1; g <= groups; ++g)
    {
        const std::string section = GroupSectionName(static_cast<int>(g));
        // Station directories carry the upper-case name the data files are written under.
        const std::string station =
            ToUpperAscii(ReadProfileString(ini, section, "STATION", "", 1023));
        if (station.empty())
            continue; // a section without a station is no group; nothing writes for it
        // The same channel names the model takes, so "BHZ, BHN" prepares FILE_BHN as well.
        for (const std::string& token :
             ChannelTokens(ReadProfileString(ini, section, "CHAN", "", 127)))
        {
            const std::string name = ReadProfileString(ini, section, "FILE_" + token, "", 1023);
            if (name.empty())
                continue;
            if (root.empty())
            {
                if (!reportedNoDirectory)
                    LogEvent("Loop files not prepared: there is no data root");
                reportedNoDirectory = true;
                continue;
            }
            MakeDirectory(root);
            const std::string directory = root + "/" + station;
            MakeDirectory(directory);
            const std::string path = directory + "/" + name;
            if (PathExists(path))
                continue;
            MakeLoopFile(path, ReadSizeMbBytes(ini, static_cast<int>(g)).value_or(0));
        }
    }
}

} // namespace tarvell
