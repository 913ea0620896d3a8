#include "config/config_check.h"

#include <map>

#include "config/group_section.h"
#include "config/load_groups.h"
#include "config/server_link.h"
#include "db/file_registry.h"
#include "platform/ini_profile.h"
#include "platform/text.h"
#include "platform/text_format.h"

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

void CheckPort(const std::string& iniPath, const std::string& section,
               std::vector<std::string>& problems)
{
    const std::string port = ReadProfileString(iniPath, section, "PORT", "", 255);
    if (!port.empty() && !IsWholeNumber(port))
        problems.push_back("[" + section + "] PORT '" + port + "' is not a number");
}

// Problems that only the INI text shows: sections that make no group, names that do not fit
// the request or cannot stand in a path, a CHAN value cut off, ports that are no numbers, a channel
// that two groups acquire, channels the database does not know.
void CheckSections(const std::string& iniPath, std::vector<std::string>& problems)
{
    CheckPort(iniPath, "SYSTEM", problems);
    const long long groups = ReadProfileInt(iniPath, "SYSTEM", "GROUPS", 0);
    if (groups <= 0)
        problems.push_back("[SYSTEM] GROUPS is missing or not positive: no station is acquired");
    std::map<std::string, std::string> acquiredBy; // "STATION CHANNEL" -> the first section
    for (long long n = 1; n <= groups && n <= kMaxGroupSections; ++n)
    {
        const std::string section = GroupSectionName(static_cast<int>(n));
        const std::string station =
            ToUpperAscii(ReadProfileString(iniPath, section, "STATION", "", 255));
        if (station.empty())
        {
            problems.push_back(section + " has no STATION: the section makes no group");
            continue;
        }
        CheckPort(iniPath, section, problems);
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
            ToUpperAscii(ReadProfileString(iniPath, section, "CHAN", "", 65535)), &cutOff));
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

// Problems of the servers: more servers, or more stations on one server, than the links
// hold. (The loader left out what does not fit; it is counted here from the groups.)
void CheckServers(const CConfiguration& config, std::vector<std::string>& problems)
{
    std::vector<LinkConfig> all;
    std::vector<std::size_t> stations;
    for (const CStationGroup& group : config.groups)
    {
        const LinkConfig wanted{group.server, group.port, group.serverType, {}, nullptr};
        std::size_t n = 0;
        while (n < all.size() && !all[n].SameServer(wanted))
            ++n;
        if (n == all.size())
        {
            all.push_back(wanted);
            stations.push_back(0);
        }
        ++stations[n];
    }
    for (std::size_t n = 0; n < all.size(); ++n)
    {
        if (stations[n] > kMaxPerGroup)
            problems.push_back("server " + all[n].Name() + " carries " +
                               std::to_string(stations[n]) + " groups; at most 64 fit");
    }
    if (all.size() > static_cast<std::size_t>(kMaxServerLinks))
        problems.push_back(std::to_string(all.size()) + " servers; at most 64 are served");
}

} // namespace

std::vector<std::string> ConfigurationProblems(const CConfiguration& config)
{
    std::vector<std::string> problems;
    CheckServers(config, problems);
    CheckSections(config.iniPath, problems);
    return problems;
}

} // namespace tarvell
