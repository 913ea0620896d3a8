#include "datafiles/data_file_names.h"

#include <ctime>

#include "platform/text_format.h"

namespace tarvell
{
namespace
{

// The digits of text[at, at + count) as a number; -1 when one of them is no digit.
int Digits(std::string_view text, std::size_t at, std::size_t count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return -1;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// A name part widened to three characters with leading blanks.
std::string_view Unpadded(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    return text;
}

} // namespace

std::string HourDirectory(std::string_view station, int hour)
{
    return std::string(station) + FormatText("/%02d", hour);
}

std::string TimeNamedPath(std::string_view station, std::string_view channel, int year, int month,
                          int day, int hour, int minute, int second, int variant)
{
    const std::string channelText(channel);
    const std::string stationText(station);
    std::string name = FormatText("%02d%02d%04d-%02d%02d%02d-%3s", day, month, year, hour, minute,
                                  second, channelText.c_str());
    if (variant > 0)
        name += FormatText("_%d", variant);
    name += FormatText(".%3s", stationText.c_str());
    return HourDirectory(station, hour) + "/" + name;
}

std::optional<TimeNamedFile> ParseTimeNamedFileName(std::string_view name)
{
    // DDMMYYYY-HHMMSS-
    if (name.size() < 17 || name[8] != '-' || name[15] != '-')
        return std::nullopt;
    const int day = Digits(name, 0, 2);
    const int month = Digits(name, 2, 2);
    const int year = Digits(name, 4, 4);
    const int hour = Digits(name, 9, 2);
    const int minute = Digits(name, 11, 2);
    const int second = Digits(name, 13, 2);
    if (day < 1 || day > 31 || month < 1 || month > 12 || year < 1970 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60)
        return std::nullopt;
    const std::string_view rest = name.substr(16);
    const std::size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == rest.size())
        return std::nullopt;
    std::string_view channel = rest.substr(0, dot);
    const std::size_t underscore = channel.rfind('_');
    if (underscore != std::string_view::npos && underscore + 1 < channel.size() &&
        Digits(channel, underscore + 1, channel.size() - underscore - 1) > 0)
        channel = channel.substr(0, underscore);
    TimeNamedFile file;
    file.channel = std::string(Unpadded(channel));
    file.station = std::string(Unpadded(rest.substr(dot + 1)));
    if (file.channel.empty() || file.station.empty())
        return std::nullopt;
    std::tm calendar{};
    calendar.tm_year = year - 1900;
    calendar.tm_mon = month - 1;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    file.second = static_cast<std::int64_t>(::timegm(&calendar));
    return file;
}

} // namespace tarvell
