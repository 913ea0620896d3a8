#include "platform/time_conversions.h"

#include <cmath>
#include <cstdio>
#include <string>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace tarvell
{
namespace
{

constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char* kWeekdayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Blanks as wide as each form, for times before 1970.
constexpr const char* kBlankForms[8] = {
    "                     ",     // 0: 21
    "                         ", // 1: 25
    "                   ",       // 2: 19 (only for a time that is no number)
    "                ",          // 3: 16
    "       ",                   // 4: 7
    "              ",            // 5: 14
    "              ",            // 6: 14
    "                   ",       // 7: 19
};

// Seconds from 0001-01-01 00:00:00 to 1970-01-01 00:00:00.
constexpr std::int64_t kEpochFromYearOne = 62135596800;

// Beyond this a time is no instant of this program (about 3 million years); it would only
// overflow the integer arithmetic below.
constexpr double kLargestTime = 1e14;

bool IsConvertible(double time)
{
    return std::isfinite(time) && std::fabs(time) <= kLargestTime;
}

struct SplitTime
{
    std::int64_t whole;
    int milliseconds;
};

// Whole seconds truncated toward zero; milliseconds rounded half up, 1000 carried.
SplitTime SplitMilliseconds(double time)
{
    auto whole = static_cast<std::int64_t>(time);
    double m = (time - static_cast<double>(whole)) * 1000.0;
    double part = std::trunc(m);
    auto milliseconds = static_cast<int>(part);
    if (m - part >= 0.5)
        ++milliseconds;
    if (milliseconds == 1000)
    {
        milliseconds = 0;
        ++whole;
    }
    return {whole, milliseconds};
}

} // namespace

int IsLeapYear(int year)
{
    return (year % 400 == 0 || (year % 4 == 0 && year % 100 != 0)) ? 1 : 0;
}

int DayOfYearToMonthDay(int dayOfYear, int year, int* month, int* day)
{
    // The table is the caller's own copy, so threads cannot disturb each other's February.
    int lengths[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    lengths[2] = IsLeapYear(year) ? 29 : 28;
    *month = 0;
    *day = 0;
    if (dayOfYear < 1)
        return 0;
    int remainder = dayOfYear;
    for (int m = 1; m <= 12; ++m)
    {
        if (remainder - lengths[m] <= 0)
        {
            *month = m;
            *day = remainder;
            return 1;
        }
        remainder -= lengths[m];
    }
    return 0;
}

int EpochToCalendar(double time, int* year, int* month, int* day, int* hour, int* minute,
                    float* seconds)
{
    if (!IsConvertible(time) || time < -static_cast<double>(kEpochFromYearOne))
    {
        *hour = *minute = 0;
        *seconds = 0.0f;
        return 0;
    }
    // Split before shifting to year one: the shift would cost the fraction its last
    // microseconds, and a time just before a whole second would then round into the next.
    double wholeEpoch = std::floor(time);
    double fraction = time - wholeEpoch;
    std::int64_t s = static_cast<std::int64_t>(wholeEpoch) + kEpochFromYearOne;

    std::int64_t dayNumber = s / 86400;
    std::int64_t remaining = s % 86400;
    *hour = static_cast<int>(remaining / 3600);
    *minute = static_cast<int>((remaining % 3600) / 60);
    int wholeSecond = static_cast<int>(remaining % 60);
    float value = static_cast<float>(wholeSecond + fraction);
    if (value >= static_cast<float>(wholeSecond + 1))
        value = std::nextafter(static_cast<float>(wholeSecond + 1), 0.0f);
    *seconds = value;

    std::int64_t q400 = dayNumber / 146097;
    std::int64_t d = dayNumber % 146097;
    std::int64_t q100 = d == 146096 ? 3 : d / 36524;
    d -= 36524 * q100;
    std::int64_t q4 = d / 1461;
    d %= 1461;
    std::int64_t q1 = d / 365;
    if (q1 == 4)
        q1 = 3;
    int dayOfYear = static_cast<int>(d - 365 * q1 + 1);
    int y = static_cast<int>(400 * q400 + 100 * q100 + 4 * q4 + q1 + 1);

    int m = 0;
    int dd = 0;
    if (!DayOfYearToMonthDay(dayOfYear, y, &m, &dd))
        return 0;
    *year = y;
    *month = m;
    *day = dd;
    return 1;
}

const char* util_dttostr(double time, int code)
{
    if (code < 0 || code > 7)
        return "Bad util_dttostr input!";

    thread_local char text[64] = "xxxxxxxxxxxxxxxxxxxxxxxxx";
    if (!IsConvertible(time))
        return kBlankForms[code];
    const SplitTime split = SplitMilliseconds(time);
    const std::int64_t w = split.whole;
    const int ms = split.milliseconds;

    if (code == 2)
    {
        std::snprintf(text, sizeof text, "%2.2d:%3.3d-%2.2d:%2.2d:%2.2d.%3.3d",
                      static_cast<int>(w / 31536000), static_cast<int>((w % 31536000) / 86400),
                      static_cast<int>((w % 86400) / 3600), static_cast<int>((w % 3600) / 60),
                      static_cast<int>(w % 60), ms);
        return text;
    }

    // The time itself decides, not its whole seconds: those are truncated toward zero, so a
    // time between -1 and 0 would pass as 1970 with negative milliseconds.
    std::tm t{};
    const std::time_t whole = static_cast<std::time_t>(w);
    if (time < 0.0 || ::gmtime_r(&whole, &t) == nullptr)
        return kBlankForms[code];
    const int year = t.tm_year + 1900;
    switch (code)
    {
    case 0:
        std::snprintf(text, sizeof text, "%4.4d:%3.3d-%2.2d:%2.2d:%2.2d.%3.3d", year, t.tm_yday + 1,
                      t.tm_hour, t.tm_min, t.tm_sec, ms);
        break;
    case 1:
        std::snprintf(text, sizeof text, "%s %2.2d, %4.4d %2.2d:%2.2d:%2.2d.%3.3d",
                      kMonthNames[t.tm_mon], t.tm_mday, year, t.tm_hour, t.tm_min, t.tm_sec, ms);
        break;
    case 3:
        std::snprintf(text, sizeof text, "%4.4d%3.3d%2.2d%2.2d%2.2d%3.3d", year, t.tm_yday + 1,
                      t.tm_hour, t.tm_min, t.tm_sec, ms);
        break;
    case 4:
        std::snprintf(text, sizeof text, "%4.4d%3.3d", year, t.tm_yday + 1);
        break;
    case 5:
        std::snprintf(text, sizeof text, "%s %2.2d/%2.2d/%4.4d", kWeekdayNames[t.tm_wday],
                      t.tm_mon + 1, t.tm_mday, year);
        break;
    case 6:
        std::snprintf(text, sizeof text, "%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d", year, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        break;
    default:
        std::snprintf(text, sizeof text, "%4.4d %2.2d %2.2d %2.2d %2.2d %2.2d", year, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        break;
    }
    return text;
}

bool ParseUtcTime(const std::string& text, double* time)
{
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0' && std::isfinite(number))
    {
        *time = number;
        return true;
    }
    std::tm fields{};
    const char* rest = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &fields);
    if (rest == nullptr)
        return false;
    double fraction = 0.0;
    if (*rest == '.')
    {
        fraction = std::strtod(rest, &end);
        if (*end != '\0')
            return false;
    }
    else if (*rest != '\0')
    {
        return false;
    }
    *time = static_cast<double>(timegm(&fields)) + fraction;
    return true;
}

} // namespace tarvell
