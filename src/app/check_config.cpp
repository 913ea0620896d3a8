#include "app/check_config.h"

#include <map>

#include "app/application.h"
#include "app/command_line.h"
#include "app/headless_view.h"
#include "config/group_section.h"
#include "config/load_groups.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "platform/text_format.h"
#include "datafiles/channel_ini.h"
#include "db/connection.h"
#include "db/db_settings.h"
#include "db/file_registry.h"
#include "link/time_conversions.h"
#include "link/transfer_request.h"
#include "platform/ini_profile.h"
#include "platform/operator_view.h"
#include "platform/program_paths.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

constexpr std::size_t kMaxPerGroup = 64;

// True when text (trimmed) is a whole number: an optional sign and digits, nothing else.
bool IsWholeNumber(std::string_view text)
{
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    if (i == text.size())
        return false;
    for (; i < text.size(); ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

void CheckPort(const std::string& section, std::vector<std::string>& problems)
{
    const std::string port = ReadProfileString(g_iniPath, section, "PORT", "", 255);
    if (!port.empty() && !IsWholeNumber(port))
        problems.push_back("[" + section + "] PORT '" + port + "' is not a number");
}

// Problems that only the INI text shows: sections that make no group, names that do not fit
// the request or cannot stand in a path, a CHAN value cut off, ports that are no numbers, a channel
// that two groups acquire, channels the database does not know.
void CheckSections(std::vector<std::string>& problems)
{
    CheckPort("SYSTEM", problems);
    const long long groups = ReadProfileInt(g_iniPath, "SYSTEM", "GROUPS", 0);
    if (groups <= 0)
        problems.push_back("[SYSTEM] GROUPS is missing or not positive: no station is acquired");
    std::map<std::string, std::string> acquiredBy; // "STATION CHANNEL" -> the first section
    for (long long n = 1; n <= groups && n <= kMaxGroupSections; ++n)
    {
        const std::string section = GroupSectionName(static_cast<int>(n));
        const std::string station =
            ToUpperAscii(ReadProfileString(g_iniPath, section, "STATION", "", 255));
        if (station.empty())
        {
            problems.push_back(section + " has no STATION: the section makes no group");
            continue;
        }
        CheckPort(section, problems);
        if (const std::string problem = NameProblem(station); !problem.empty())
        {
            problems.push_back(section + " STATION " + PrintableName(station) + " " + problem +
                               ": not acquired");
            continue;
        }
        if (station.size() > kMaxRequestName)
        {
            problems.push_back(section + " STATION " + station +
                               " is longer than 7 characters: not acquired");
            continue;
        }
        std::vector<std::string> cutOff;
        const std::vector<std::string> channels = ChannelTokens(ChanWithinLimit(
            ToUpperAscii(ReadProfileString(g_iniPath, section, "CHAN", "", 65535)), &cutOff));
        if (!cutOff.empty())
        {
            std::string list;
            for (const std::string& channel : cutOff)
                list += (list.empty() ? "" : ", ") + channel;
            problems.push_back(section + " CHAN is longer than 255 characters: " + list +
                               " not acquired");
        }
        if (channels.empty())
            problems.push_back(section + " (" + station + ") names no channel in CHAN");
        if (channels.size() > kMaxPerGroup)
            problems.push_back(section + " (" + station + ") has " +
                               std::to_string(channels.size()) + " channels; at most 64 fit");
        for (const std::string& channel : channels)
        {
            if (const std::string problem = NameProblem(channel); !problem.empty())
            {
                problems.push_back(section + " channel " + PrintableName(channel) + " " + problem +
                                   ": not acquired");
                continue;
            }
            if (channel.size() > kMaxRequestName)
            {
                problems.push_back(section + " channel " + channel +
                                   " is longer than 7 characters: not acquired");
                continue;
            }
            const auto [first, added] = acquiredBy.try_emplace(station + " " + channel, section);
            if (!added && first->second != section)
            {
                problems.push_back(section + " channel " + station + " " + channel +
                                   " is acquired by " + first->second +
                                   " already: not "
                                   "acquired here");
                continue;
            }
            if (LookupSampleRate(station, channel) <= 0)
                problems.push_back(section + " channel " + station + " " + channel +
                                   " has no positive sampling rate in SITECHAN: not acquired");
        }
    }
}

// Problems of the servers: more hosts, or more groups on one host, than the links hold.
void CheckServers(std::vector<std::string>& problems, std::FILE* out)
{
    std::map<std::string, std::vector<std::string>> stationsByHost;
    std::map<std::string, std::string> hostAsWritten;
    for (const auto& group : g_groups)
    {
        const std::string key = ToUpperAscii(group->server);
        if (hostAsWritten.find(key) == hostAsWritten.end())
            hostAsWritten[key] = FormatText("%s:%d (%s)", group->server.c_str(), group->port,
                                            group->serverType.c_str());
        stationsByHost[key].push_back(group->station);
    }
    std::fprintf(out, "Servers: %zu\n", stationsByHost.size());
    for (const auto& [key, stations] : stationsByHost)
    {
        std::string list;
        for (const std::string& station : stations)
            list += (list.empty() ? "" : ", ") + station;
        std::fprintf(out, "  %s: %s\n", hostAsWritten[key].c_str(), list.c_str());
        if (stations.size() > kMaxPerGroup)
            problems.push_back("server " + hostAsWritten[key] + " carries " +
                               std::to_string(stations.size()) + " groups; at most 64 fit");
    }
    if (stationsByHost.size() > kMaxPerGroup)
        problems.push_back(std::to_string(stationsByHost.size()) +
                           " server hosts; at most 64 are served");
}

void PrintGroups(std::FILE* out)
{
    std::fprintf(out, "Groups: %zu\n", g_groups.size());
    for (std::size_t g = 0; g < g_groups.size(); ++g)
    {
        const CStationGroup& group = *g_groups[g];
        std::fprintf(out,
                     "  GROUP%d station %s  server %s:%d (%s)  disk loop %lld bytes  "
                     "FILELENGTH(MIN) %d\n",
                     group.section, group.station.c_str(), group.server.c_str(), group.port,
                     group.serverType.c_str(), static_cast<long long>(group.loopSize),
                     group.fileLength);
        for (const auto& channel : group.channels)
        {
            std::string mode;
            switch (ChannelLoopMode(group.section, group.station, channel->name))
            {
            case LoopMode::TimeNamed:
                mode = "time-named files under " + g_waveRoot + "/" + group.station;
                break;
            case LoopMode::LoopFile:
                mode = "loop file " + g_waveRoot + "/" + group.station + "/" +
                       LoopFileName(group.section, group.station, channel->name);
                break;
            case LoopMode::MissingLoopFile:
                mode = "loop file " + g_waveRoot + "/" + group.station + "/" +
                       LoopFileName(group.section, group.station, channel->name) +
                       " (missing: made at start-up)";
                break;
            }
            // A channel without a resume time asks the server from its oldest data on.
            const std::int64_t resume = LoadResumeTime(g, channel->name);
            const double begin = resume > 0 ? static_cast<double>(resume) : kFromOldestData;
            std::fprintf(out, "    %-7s %12.6f sps  %s  resume %s\n", channel->name.c_str(),
                         channel->sampleRate, mode.c_str(),
                         begin != kFromOldestData
                             ? FormatText("%lld (%s)", static_cast<long long>(resume),
                                          util_dttostr(begin, 0))
                                   .c_str()
                             : "none (from the server's oldest data)");
        }
    }
}

} // namespace

int CheckConfig(const CommandLine& line, std::FILE* out)
{
    CHeadlessView view;
    SetOperatorView(&view);
    g_iniPath = ResolveIniPath(line);
    std::fprintf(out, "INI file: %s%s\n", g_iniPath.c_str(),
                 ReadProfileString(g_iniPath, "SYSTEM", "GROUPS", "", 16).empty()
                     ? " (no [SYSTEM] GROUPS)"
                     : "");

    CDbSettings settings(line.settingsArguments);
    if (!DbOpen(settings))
    {
        std::fprintf(out, "Database: cannot be opened (ODBC=%s USER=%s)\n", g_dsn.c_str(),
                     g_dbUser.c_str());
        SetOperatorView(nullptr);
        return 2;
    }
    std::fprintf(out, "Database: ODBC=%s USER=%s\nData root: %s\n", g_dsn.c_str(), g_dbUser.c_str(),
                 g_waveRoot.c_str());
    if (const std::string note = DataRootNote(); !note.empty())
        std::fprintf(out, "Note: %s\n", note.c_str());

    ClearGroups();
    LoadGroups();
    PrintGroups(out);
    std::vector<std::string> problems;
    CheckServers(problems, out);
    CheckSections(problems);

    if (problems.empty())
        std::fprintf(out, "No problem found.\n");
    else
        std::fprintf(out, "Problems: %zu\n", problems.size());
    for (const std::string& problem : problems)
        std::fprintf(out, "  %s\n", problem.c_str());
    SetOperatorView(nullptr);
    return problems.empty() ? 0 : 1;
}

} // namespace tarvell
