#include "config/load_groups.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <optional>
#include <set>

#include "config/group_section.h"
#include "config/server_link.h"
#include "config/station_groups.h"
#include "metrics/metrics_registry.h"
#include "platform/text_format.h"
#include "db/connection.h"
#include "db/db_access.h"
#include "db/file_registry.h"
#include "db/schema_names.h"
#include "log/event_log.h"
#include "platform/ini_profile.h"
#include "platform/program_paths.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

// Text values of the INI are read into buffers of 256 bytes; a CHAN value is read further, so
// that what lies beyond the limit can be reported.
constexpr std::size_t kIniText = 255;
constexpr std::size_t kLongestIniText = 65535;
constexpr std::size_t kMaxChannelName = 15;
constexpr std::size_t kLoopFileNameText = 127;

int ClampToInt(long long value)
{
    return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// The disk-loop size of a group from its SIZEMB text. Text that is not a positive number
// reads as 0, as it always has; a loop of 0 bytes makes every write delete the station's
// older files, so the operator is told.
std::int64_t LoopSizeOf(const std::string& text, const std::string& station, int section)
{
    if (std::optional<std::int64_t> bytes = SizeMbBytes(text))
        return *bytes;
    LogEvent(FormatText("GROUP%d SIZEMB '%s' is not a positive number of megabytes: the "
                        "disk loop of station %s is 0 bytes and keeps no older file",
                        section, text.c_str(), station.c_str()));
    return 0;
}

// The CHAN tokens of the database check: split at ",", runs of commas counting as one
// separator, blanks kept as part of a token.
std::vector<std::string> CheckTokens(std::string_view chan)
{
    std::vector<std::string> tokens;
    std::size_t start = 0;
    while (start <= chan.size())
    {
        std::size_t comma = chan.find(',', start);
        std::size_t end = comma == std::string_view::npos ? chan.size() : comma;
        if (end > start)
            tokens.emplace_back(chan.substr(start, end - start));
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    return tokens;
}

enum class CheckResult
{
    Found,
    NotFound,
    Failed, // the statement failed: neither logged nor counted
};

CheckResult CheckChannel(const std::string& station, const std::string& token)
{
    std::string sql = FormatText(
        "select %s from %s where %s='%s' and %s='%s'",
        g_dbNames.Column(SchemaTable::SiteChan, "SPS"), g_dbNames.Table(SchemaTable::SiteChan),
        g_dbNames.Column(SchemaTable::SiteChan, "STA"), SqlText(station).c_str(),
        g_dbNames.Column(SchemaTable::SiteChan, "CHAN"), SqlText(token).c_str());
    DbOutcome outcome = DbQuery(sql, {DbType::Double}, 1);
    if (!outcome.ok)
        return CheckResult::Failed;
    return outcome.rows.empty() ? CheckResult::NotFound : CheckResult::Found;
}

std::string WithoutBlanks(std::string_view text)
{
    std::string result;
    for (char c : text)
    {
        if (c != ' ')
            result += c;
    }
    return result;
}

// The earlier group of groups that acquires channel of station already, or nullptr.
const CStationGroup* EarlierGroupWith(const std::vector<CStationGroup>& groups,
                                      std::string_view station, std::string_view channel,
                                      const CStationGroup& self)
{
    for (const CStationGroup& group : groups)
    {
        if (&group == &self || !EqualsIgnoreCase(group.station, station))
            continue;
        for (const CChannelRecord& record : group.channels)
        {
            if (EqualsIgnoreCase(record.name, channel))
                return &group;
        }
    }
    return nullptr;
}

void ReportLeftOut(const CStationGroup& group, const LeftOutChannel& left)
{
    switch (left.reason)
    {
    case LeftOutReason::NoSampleRate:
        LogEvent("Channel not acquired, no sampling rate above 0 in the database. Station: " +
                 group.station + "  Channel: " + left.token);
        break;
    case LeftOutReason::NameTooLong:
        LogEvent(FormatText("Channel not acquired, its name is longer than %zu characters and "
                            "cannot be requested. Station: %s  Channel: %s",
                            kMaxRequestName, group.station.c_str(), left.token.c_str()));
        break;
    case LeftOutReason::UnsafeName:
        LogEvent(FormatText("Channel not acquired, its name %s. Station: %s  Channel: %s",
                            left.problem.c_str(), group.station.c_str(),
                            PrintableName(left.token).c_str()));
        break;
    case LeftOutReason::AcquiredElsewhere:
        LogEvent(FormatText("Channel not acquired, GROUP%d acquires it already. Station: %s  "
                            "Channel: %s (GROUP%d)",
                            left.otherSection, group.station.c_str(), left.token.c_str(),
                            group.section));
        break;
    case LeftOutReason::BeyondChanLimit:
        LogEvent(FormatText("Channel not acquired, CHAN of GROUP%d is longer than %zu "
                            "characters. Station: %s  Channel: %s",
                            group.section, kMaxChanText, group.station.c_str(),
                            left.token.c_str()));
        break;
    }
}

} // namespace

std::string NameProblem(std::string_view name)
{
    for (const char c : name)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e)
            return FormatText("holds the byte 0x%02X, which is no printable ASCII character", byte);
    }
    if (name.find("..") != std::string_view::npos)
        return "holds '..'";
    if (name.find('/') != std::string_view::npos)
        return "holds '/'";
    if (name.find('\\') != std::string_view::npos)
        return "holds '\\'";
    if (name == ".")
        return "is '.'";
    return {};
}

std::string PrintableName(std::string_view name)
{
    std::string out;
    for (const char c : name)
    {
        const auto byte = static_cast<unsigned char>(c);
        out += byte >= 0x20 && byte <= 0x7e ? std::string(1, c) : FormatText("\\x%02X", byte);
    }
    return out;
}

std::vector<std::string> ChannelTokens(std::string_view text)
{
    std::vector<std::string> tokens;
    std::string token;
    for (char c : text)
    {
        if (c == ',' || c == ';')
        {
            if (!token.empty())
                tokens.push_back(std::move(token));
            token.clear();
        }
        else if (c != ' ' && token.size() < kMaxChannelName)
        {
            token += c;
        }
    }
    if (!token.empty())
        tokens.push_back(std::move(token));
    return tokens;
}

std::string ChanWithinLimit(std::string_view text, std::vector<std::string>* cutOff)
{
    if (text.size() <= kMaxChanText)
        return std::string(text);
    // A name the limit falls into is not read either: its first letters could name another
    // channel.
    std::size_t keep = kMaxChanText;
    auto separator = [](char c) { return c == ',' || c == ';'; };
    if (!separator(text[keep]))
    {
        while (keep > 0 && !separator(text[keep - 1]))
            --keep;
    }
    if (cutOff != nullptr)
        *cutOff = ChannelTokens(text.substr(keep));
    return std::string(text.substr(0, keep));
}

namespace
{

// Adds to self the channels of text (ChannelTokens); a token is added only when its name is
// safe in a path and can be requested, no earlier group acquires the station's channel of
// that name (two threads would write one state), and SITECHAN gives it a sampling rate above
// 0; a name CHAN repeats is added once. Tokens left out are appended to leftOut, with the
// reason. FILE_<channel> of section names the channel's loop file.
void AddChannels(const std::vector<CStationGroup>& groups, CStationGroup& self,
                 std::string_view text, const std::string& iniPath, const std::string& section,
                 std::vector<LeftOutChannel>& leftOut)
{
    for (const std::string& token : ChannelTokens(text))
    {
        LeftOutChannel left{token, LeftOutReason::NoSampleRate, 0, NameProblem(token)};
        if (!left.problem.empty())
        {
            left.reason = LeftOutReason::UnsafeName;
        }
        else if (token.size() > kMaxRequestName)
        {
            left.reason = LeftOutReason::NameTooLong;
        }
        else if (const CStationGroup* other = EarlierGroupWith(groups, self.station, token, self))
        {
            left.reason = LeftOutReason::AcquiredElsewhere;
            left.otherSection = other->section;
        }
        else if (std::any_of(self.channels.begin(), self.channels.end(),
                             [&](const CChannelRecord& known)
                             { return EqualsIgnoreCase(known.name, token); }))
        {
            continue; // named twice in CHAN: added once
        }
        else
        {
            const double rate = LookupSampleRate(self.station, token);
            if (std::isfinite(rate) && rate > 0)
            {
                CChannelRecord& record = self.channels.emplace_back(token, rate);
                record.loopFile =
                    ReadProfileString(iniPath, section, "FILE_" + token, "", kLoopFileNameText);
                record.counters = Metrics().Channel(self.station, token);
                continue;
            }
        }
        leftOut.push_back(left);
    }
}

// The group of section n with its settings and channels; nothing for a section that makes
// no group. found counts the CHAN tokens SITECHAN knows, notAcquired the names the section
// asks for that are left out (a station refused counts once).
std::optional<CStationGroup> ReadGroup(const std::vector<CStationGroup>& groups,
                                       const std::string& ini, int n, int& found, int& notAcquired)
{
    const std::string section = GroupSectionName(n);
    std::string station = ReadProfileString(ini, section, "STATION", "", kIniText);
    if (station.empty())
        return std::nullopt;
    station = ToUpperAscii(station);
    if (const std::string problem = NameProblem(station); !problem.empty())
    {
        // The station's directory would lie outside the data root, or its name would break
        // the file names and what reads them.
        LogEvent(FormatText("Station not acquired, its name %s. Station: %s (GROUP%d)",
                            problem.c_str(), PrintableName(station).c_str(), n));
        ++notAcquired;
        return std::nullopt;
    }
    if (station.size() > kMaxRequestName)
    {
        // The request would carry the name cut to 7 characters, and no packet of the server
        // would then find the group.
        LogEvent(FormatText("Station not acquired, its name is longer than %zu characters and "
                            "cannot be requested. Station: %s (GROUP%d)",
                            kMaxRequestName, station.c_str(), n));
        ++notAcquired;
        return std::nullopt;
    }
    CStationGroup group(station, n);
    group.counters = Metrics().Station(station);
    const std::string sizeMb =
        ReadProfileString(ini, section, "SIZEMB", std::to_string(kDefaultSizeMb), kIniText);
    group.loopSize = LoopSizeOf(sizeMb, station, n);
    group.ringSize = SizeMbBytes(sizeMb).value_or(0);
    group.fileLength = ClampToInt(ReadProfileInt(ini, section, "FILELENGTH(MIN)", 60));
    long long port = ReadProfileInt(ini, section, "PORT", -1);
    if (port == -1)
        port = ReadProfileInt(ini, "SYSTEM", "PORT", kDefaultServerPort);
    group.port = ClampToInt(port);
    group.server = ReadProfileString(ini, section, "SERVER", "", kIniText);
    if (group.server.empty())
        group.server = ReadProfileString(ini, "SYSTEM", "SERVER", kDefaultServerHost, kIniText);
    group.serverType = ReadProfileString(ini, section, "SRV_TYPE", "", kIniText);
    if (group.serverType.empty())
        group.serverType =
            ReadProfileString(ini, "SYSTEM", "SRV_TYPE", kDefaultServerType, kIniText);
    std::vector<std::string> cutOff;
    const std::string chan = ChanWithinLimit(
        ToUpperAscii(ReadProfileString(ini, section, "CHAN", "", kLongestIniText)), &cutOff);

    DbEnsureConnected();
    std::set<std::string> reported;
    for (const std::string& token : CheckTokens(chan))
    {
        if (!NameProblem(WithoutBlanks(token)).empty())
            continue; // never asked for; AddChannels says why
        switch (CheckChannel(station, token))
        {
        case CheckResult::Found:
            ++found;
            break;
        case CheckResult::NotFound:
            LogEvent("Not Found. Station: " + station + "  Channel: " + token);
            reported.insert(WithoutBlanks(token));
            break;
        case CheckResult::Failed:
            break;
        }
    }

    // A channel that SITECHAN knows with a rate of 0 passes the check above but cannot be
    // written (file lengths and positions divide by the rate); say why it is missing, and
    // why any other channel of the section is.
    std::vector<LeftOutChannel> leftOut;
    AddChannels(groups, group, chan, ini, section, leftOut);
    for (const std::string& token : cutOff)
        leftOut.push_back({token, LeftOutReason::BeyondChanLimit, 0, {}});
    std::set<std::string> explained; // a name CHAN repeats is explained once
    for (const LeftOutChannel& left : leftOut)
    {
        const bool notFoundAlready =
            left.reason == LeftOutReason::NoSampleRate && reported.count(left.token) != 0;
        if (!explained.insert(left.token).second)
            continue;
        ++notAcquired;
        if (!notFoundAlready)
            ReportLeftOut(group, left);
    }
    return group;
}

} // namespace

std::shared_ptr<const CConfiguration> LoadGroups(const std::string& iniPath,
                                                 const std::string& dataRoot)
{
    auto config = std::make_shared<CConfiguration>();
    config->iniPath = iniPath;
    config->dataRoot = dataRoot;
    const long long maxLatency = ReadProfileInt(iniPath, "SYSTEM", "MAX_LATENCY", 0);
    config->maxLatencySeconds =
        maxLatency > 0 ? static_cast<double>(std::min<long long>(maxLatency, 3600)) : 0;
    const long long groupCount =
        ParseLeadingInteger(ReadProfileString(iniPath, "SYSTEM", "GROUPS", "0", kIniText));
    if (groupCount > kMaxGroupSections)
    {
        LogEvent(FormatText("GROUPS %lld is more than %lld: only GROUP1 ... GROUP%lld are read",
                            groupCount, kMaxGroupSections, kMaxGroupSections));
    }
    int found = 0;
    for (long long n = 1; n <= std::min(groupCount, kMaxGroupSections); ++n)
    {
        if (std::optional<CStationGroup> group = ReadGroup(
                config->groups, iniPath, static_cast<int>(n), found, config->channelsNotAcquired))
            config->groups.push_back(std::move(*group));
    }
    config->links = BuildServerLinks(config->groups);
    config->Index();
    LogEvent(FormatText("Number of channels: %d", found));
    return config;
}

} // namespace tarvell
