#pragma once
// Epoch times (double seconds since 1970-01-01 00:00:00 UTC, fraction included) turned into
// the program's text forms and calendar fields. All UTC. Any thread.

#include <cstdint>
#include <string>

namespace tarvell
{

// The text of time in form code 0..7:
//   0 "2006:258-06:04:37.500"      1 "Sep 15, 2006 06:04:37.500"   2 duration "00:001-01:01:01.500"
//   3 "2006258060437500"           4 "2006258"                     5 "Fri 09/15/2006"
//   6 "20060915060437"             7 "2006 09 15 06 04 37"
// Milliseconds are rounded half up; 1000 carries into the seconds. A time before 1970 gives
// blanks as wide as the form (so does a time that is no finite number; code 2 is a
// duration and otherwise never fails); a code outside 0..7
// gives "Bad util_dttostr input!". The text lives in a buffer of the calling thread and
// stays valid until that thread's next call.
const char* util_dttostr(double time, int code);

// Calendar fields of time (proleptic Gregorian). seconds holds the second of the minute with
// its fraction, never rounded up into the next second: truncating it always gives the second
// in which the time lies. Returns 1, or 0 when the date cannot be formed (then only hour,
// minute and seconds are written).
int EpochToCalendar(double time, int* year, int* month, int* day, int* hour, int* minute,
                    float* seconds);

// Month (1..12) and day of month of a 1-based day of year. Returns 1, or 0 with month and
// day set to 0 when the day lies outside the year.
int DayOfYearToMonthDay(int dayOfYear, int year, int* month, int* day);

// Reads a time given by an operator: epoch seconds ("1796648700.5"), or a UTC calendar time
// "2006-09-15T06:04:37" with an optional fraction (".5"). False for anything else.
bool ParseUtcTime(const std::string& text, double* time);

// 1 for a Gregorian leap year, else 0.
int IsLeapYear(int year);

} // namespace tarvell
