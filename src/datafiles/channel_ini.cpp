#include "datafiles/channel_ini.h"

#include <algorithm>

#include "config/group_section.h"
#include "platform/file_system.h"
#include "platform/ini_profile.h"
#include "platform/text.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

constexpr std::size_t kIniText = 255;

bool SectionNames(const std::string& iniPath, int section, std::string_view station)
{
    return EqualsIgnoreCase(
        ReadProfileString(iniPath, GroupSectionName(section), "STATION", "", kIniText), station);
}

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

int SectionNamingStation(const std::string& iniPath, int section, std::string_view station)
{
    if (section > 0 && SectionNames(iniPath, section, station))
        return section;
    // The INI was edited since the configuration was read: the station's keys are where the
    // station is named now, never in a section that may belong to another station.
    const long long sections =
        std::min(ReadProfileInt(iniPath, "SYSTEM", "GROUPS", 0), kMaxGroupSections);
    for (int n = 1; n <= sections; ++n)
    {
        if (SectionNames(iniPath, n, station))
            return n;
    }
    return 0;
}

std::string LoopFilePath(const std::string& dataRoot, const CStationGroup& group,
                         std::string_view loopFile)
{
    if (loopFile.empty())
        return {};
    return dataRoot + "/" + group.station + "/" + std::string(loopFile);
}

LoopMode ChannelLoopMode(const std::string& dataRoot, const CStationGroup& group,
                         std::string_view loopFile)
{
    if (loopFile.empty())
        return LoopMode::TimeNamed;
    return PathExists(LoopFilePath(dataRoot, group, loopFile)) ? LoopMode::LoopFile
                                                               : LoopMode::MissingLoopFile;
}

void SaveResumeTime(const std::string& iniPath, const CStationGroup& group,
                    std::string_view channel, std::int64_t seconds)
{
    const int section = SectionNamingStation(iniPath, group.section, group.station);
    if (section == 0)
        return;
    (void)WriteProfileString(iniPath, GroupSectionName(section), channel,
                             FormatText("%lld", static_cast<long long>(seconds)));
}

std::int64_t LoadResumeTime(const std::string& iniPath, const CStationGroup& group,
                            std::string_view channel)
{
    const int section = SectionNamingStation(iniPath, group.section, group.station);
    if (section == 0)
        return 0;
    return ParseLeadingInteger(
        ReadProfileString(iniPath, GroupSectionName(section), channel, "0", kIniText));
}

std::string DataRootNote(const CConfiguration& config)
{
    const std::string dir =
        WithoutTrailingSlashes(ReadProfileString(config.iniPath, "DATA", "DIR", "", 1023));
    if (dir.empty() || dir == WithoutTrailingSlashes(config.dataRoot))
        return {};
    return "The program INI's [DATA] DIR '" + dir + "' is not the data root '" + config.dataRoot +
           "' (the command line's DATA= or KDX.ini decide): data files and loop files are made, "
           "looked for and written under the data root";
}

} // namespace tarvell
