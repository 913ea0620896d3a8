#include "datafiles/channel_ini.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "config/group_section.h"
#include "config/station_groups.h"
#include "db/connection.h"
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

constexpr std::size_t kIniText = 255;
constexpr std::size_t kFileNameText = 127;

bool SectionNamesStation(int section, std::string_view station)
{
    return EqualsIgnoreCase(
        ReadProfileString(g_iniPath, GroupSectionName(section), "STATION", "", kIniText), station);
}

} // namespace

int GroupSection(const CStationGroup& group)
{
    if (SectionNamesStation(group.section, group.station))
    {
        if (group.reportedSection.load(std::memory_order_relaxed) != 0)
            group.reportedSection.store(0, std::memory_order_relaxed);
        return group.section;
    }

    // The INI was edited since the groups were loaded: the station's keys are where the
    // station is named now, never in a section that may belong to another station.
    const long long sections =
        std::min(ReadProfileInt(g_iniPath, "SYSTEM", "GROUPS", 0), kMaxGroupSections);
    int found = 0;
    for (int n = 1; n <= sections && found == 0; ++n)
    {
        if (SectionNamesStation(n, group.station))
            found = n;
    }
    const int report = found != 0 ? found : -1;
    if (group.reportedSection.exchange(report, std::memory_order_relaxed) != report)
    {
        if (found != 0)
        {
            LogEvent(FormatText("Station %s was moved from GROUP%d to GROUP%d of the program INI",
                                group.station.c_str(), group.section, found));
        }
        else
        {
            LogEvent(FormatText("Station %s is no longer in the program INI (was GROUP%d): "
                                "its resume times are not stored",
                                group.station.c_str(), group.section));
        }
    }
    return found;
}

std::string DataRootNote()
{
    std::string dir = ReadProfileString(g_iniPath, "DATA", "DIR", "", 1023);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::string root = g_waveRoot;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    if (dir.empty() || dir == root)
        return {};
    return "The program INI's [DATA] DIR '" + dir + "' is not the data root '" + g_waveRoot +
           "' (the command line's DATA= or KDX.ini decide): data files and loop files are made, "
           "looked for and written under the data root";
}

LoopMode ChannelLoopMode(int section, std::string_view station, std::string_view channel)
{
    if (section == 0)
        return LoopMode::TimeNamed;
    const std::string name = ReadProfileString(g_iniPath, GroupSectionName(section),
                                               "FILE_" + ToUpperAscii(channel), "", kFileNameText);
    if (name.empty())
        return LoopMode::TimeNamed;
    // Under the one data root the writer writes into (not the INI's [DATA] DIR, which the
    // command line or KDX.ini may have overruled).
    const std::string path = g_waveRoot + "/" + std::string(station) + "/" + name;
    return PathExists(path) ? LoopMode::LoopFile : LoopMode::MissingLoopFile;
}

bool IsLoopFileChannel(std::string_view station, std::string_view channel)
{
    ChannelLocation where = FindChannel(station, channel);
    if (!where)
        return false;
    return ChannelLoopMode(GroupSection(*where.group), where.group->station, channel) ==
           LoopMode::LoopFile;
}

std::string LoopFileName(int section, std::string_view station, std::string_view channel)
{
    if (section == 0)
        return {};
    const std::string fallback = std::string(station) + "_" + std::string(channel) + ".DAT";
    return ReadProfileString(g_iniPath, GroupSectionName(section), "FILE_" + std::string(channel),
                             fallback, kFileNameText);
}

std::optional<std::int64_t> LoopRingSize(int section)
{
    if (section == 0)
        return std::nullopt;
    return ReadSizeMbBytes(g_iniPath, section).value_or(0);
}

void SaveResumeTime(std::size_t group, std::string_view channel, std::int64_t seconds)
{
    if (group >= g_groups.size())
        return;
    const int section = GroupSection(*g_groups[group]);
    if (section == 0)
        return;
    (void)WriteProfileString(g_iniPath, GroupSectionName(section), channel,
                             FormatText("%lld", static_cast<long long>(seconds)));
}

std::int64_t LoadResumeTime(std::size_t group, std::string_view channel)
{
    if (group >= g_groups.size())
        return 0;
    const int section = GroupSection(*g_groups[group]);
    if (section == 0)
        return 0;
    return ParseLeadingInteger(
        ReadProfileString(g_iniPath, GroupSectionName(section), channel, "0", kFileNameText));
}

} // namespace tarvell
