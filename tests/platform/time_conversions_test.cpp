#include "platform/time_conversions.h"

#include <cmath>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace tarvell
{
namespace
{

constexpr double kFriday = 1158300277.5; // 2006-09-15 06:04:37.5 UTC

TEST(UtilDttostr, EveryFormOfTheWorkedExample)
{
    struct Case
    {
        int code;
        const char* expected;
    };
    const Case cases[] = {{0, "2006:258-06:04:37.500"}, {1, "Sep 15, 2006 06:04:37.500"},
                          {3, "2006258060437500"},      {4, "2006258"},
                          {5, "Fri 09/15/2006"},        {6, "20060915060437"},
                          {7, "2006 09 15 06 04 37"}};
    for (const Case& c : cases)
        EXPECT_STREQ(util_dttostr(kFriday, c.code), c.expected) << c.code;
    EXPECT_STREQ(util_dttostr(90061.5, 2), "00:001-01:01:01.500");
}

TEST(UtilDttostr, EpochStartBadCodesAndTimesBefore1970)
{
    EXPECT_STREQ(util_dttostr(0.0, 0), "1970:001-00:00:00.000");
    EXPECT_STREQ(util_dttostr(0.0, 7), "1970 01 01 00 00 00");
    EXPECT_STREQ(util_dttostr(0.0, 8), "Bad util_dttostr input!");
    EXPECT_STREQ(util_dttostr(0.0, -1), "Bad util_dttostr input!");
    const std::size_t widths[8] = {21, 25, 19, 16, 7, 14, 14, 19};
    // Between -1 and 0 the whole seconds truncate to 0: the fraction alone is before 1970.
    for (double before : {-1.0, -0.5, -0.9996, -0.0004, -86400.25})
        for (int code : {0, 1, 3, 4, 5, 6, 7})
            EXPECT_EQ(std::string(util_dttostr(before, code)), std::string(widths[code], ' '))
                << before << " code " << code;
    EXPECT_STREQ(util_dttostr(-1.0, 2), "00:000-00:00:-01.000");
    EXPECT_EQ(std::string(util_dttostr(NAN, 0)), std::string(21, ' '));
}

TEST(UtilDttostr, MillisecondsRoundHalfUpAndCarryIntoTheMinute)
{
    EXPECT_STREQ(util_dttostr(59.9996, 0), "1970:001-00:01:00.000");
    EXPECT_STREQ(util_dttostr(59.9994, 0), "1970:001-00:00:59.999");
    EXPECT_STREQ(util_dttostr(1.0625, 3), "1970001000001063"); // 62.5 ms rounds up
    EXPECT_STREQ(util_dttostr(86399.9999, 1), "Jan 02, 1970 00:00:00.000");
}

TEST(UtilDttostr, LeapDaysAndTimesAfter2038)
{
    EXPECT_STREQ(util_dttostr(1078012800.0, 4), "2004060"); // 2004-02-29
    EXPECT_STREQ(util_dttostr(1078012800.0, 5), "Sun 02/29/2004");
    EXPECT_STREQ(util_dttostr(2147483648.0, 0), "2038:019-03:14:08.000");
    EXPECT_STREQ(util_dttostr(4102444800.0, 6), "21000101000000");
}

TEST(UtilDttostr, EachThreadHasItsOwnText)
{
    const char* mine = util_dttostr(0.0, 4);
    std::string other;
    std::thread([&other] { other = util_dttostr(kFriday, 4); }).join();
    EXPECT_STREQ(mine, "1970001");
    EXPECT_EQ(other, "2006258");
}

TEST(EpochToCalendar, WorkedExample)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    float seconds = 0;
    ASSERT_EQ(EpochToCalendar(kFriday, &year, &month, &day, &hour, &minute, &seconds), 1);
    EXPECT_EQ(year, 2006);
    EXPECT_EQ(month, 9);
    EXPECT_EQ(day, 15);
    EXPECT_EQ(hour, 6);
    EXPECT_EQ(minute, 4);
    EXPECT_FLOAT_EQ(seconds, 37.5f);
}

TEST(EpochToCalendar, SecondsNeverRoundIntoTheNextSecond)
{
    // 2026-12-07 13:04:59.999998: the file is named 130459 and its header says 13 04 59.
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    float seconds = 0;
    ASSERT_EQ(EpochToCalendar(1796648699.999998, &year, &month, &day, &hour, &minute, &seconds), 1);
    EXPECT_EQ(hour, 13);
    EXPECT_EQ(minute, 4);
    EXPECT_EQ(static_cast<int>(seconds), 59);
    EXPECT_GT(seconds, 59.99f);

    for (double fraction : {0.999999, 0.99999, 0.5, 0.0})
    {
        double time = 1796601600.0 + 86399.0 + fraction; // 23:59:59 and a fraction
        ASSERT_EQ(EpochToCalendar(time, &year, &month, &day, &hour, &minute, &seconds), 1);
        EXPECT_EQ(day, 7) << fraction;
        EXPECT_EQ(hour, 23);
        EXPECT_EQ(minute, 59);
        EXPECT_EQ(static_cast<int>(seconds), 59) << fraction;
    }
}

TEST(EpochToCalendar, CalendarRulesAcrossCenturies)
{
    struct Case
    {
        double time;
        int year, month, day;
    };
    const Case cases[] = {{0.0, 1970, 1, 1},           {951782400.0, 2000, 2, 29},
                          {1078012800.0, 2004, 2, 29}, {1104451200.0, 2004, 12, 31},
                          {4107456000.0, 2100, 2, 28}, {4107542400.0, 2100, 3, 1},
                          {-2203891200.0, 1900, 3, 1}, {2147483648.0, 2038, 1, 19},
                          {-1.5, 1969, 12, 31}};
    for (const Case& c : cases)
    {
        int year = 0, month = 0, day = 0, hour = 0, minute = 0;
        float seconds = 0;
        ASSERT_EQ(EpochToCalendar(c.time, &year, &month, &day, &hour, &minute, &seconds), 1)
            << c.time;
        EXPECT_EQ(year, c.year) << c.time;
        EXPECT_EQ(month, c.month) << c.time;
        EXPECT_EQ(day, c.day) << c.time;
    }
}

TEST(DayOfYearToMonthDay, LeapAndCommonYears)
{
    int month = -1, day = -1;
    EXPECT_EQ(DayOfYearToMonthDay(60, 2004, &month, &day), 1);
    EXPECT_EQ(month, 2);
    EXPECT_EQ(day, 29);
    EXPECT_EQ(DayOfYearToMonthDay(60, 2005, &month, &day), 1);
    EXPECT_EQ(month, 3);
    EXPECT_EQ(day, 1);
    EXPECT_EQ(DayOfYearToMonthDay(366, 2004, &month, &day), 1);
    EXPECT_EQ(month, 12);
    EXPECT_EQ(day, 31);
    EXPECT_EQ(DayOfYearToMonthDay(366, 2005, &month, &day), 0);
    EXPECT_EQ(month, 0);
    EXPECT_EQ(day, 0);
    EXPECT_EQ(DayOfYearToMonthDay(0, 2005, &month, &day), 0);
    EXPECT_EQ(IsLeapYear(1900), 0);
    EXPECT_EQ(IsLeapYear(2000), 1);
    EXPECT_EQ(IsLeapYear(2004), 1);
    EXPECT_EQ(IsLeapYear(2026), 0);
}

} // namespace
} // namespace tarvell
