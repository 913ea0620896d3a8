#pragma once
// The wall clock, replaceable by tests (for example to cross midnight). Any thread.

#include <chrono>
#include <cstdint>
#include <ctime>

namespace tarvell
{

// Seconds since 1970-01-01 00:00:00 UTC, from the installed clock or time().
std::time_t WallClockNow();

// Seconds since 1970-01-01 00:00:00 UTC with their fraction, from the system clock (never
// the test clock): when a packet arrived, how old its samples are.
double EpochSecondsNow();

// EpochSecondsNow and steady_clock::now at the resolution of the system's tick (a few
// milliseconds) and a tenth of their cost: for what is read once or more per packet (its
// arrival, its screening, the commit and message deadlines), where a few milliseconds do not
// matter and hundreds of thousands of readings a second do.
double EpochSecondsCoarse();
std::chrono::steady_clock::time_point SteadyCoarseNow();

// Installs a clock function for tests; nullptr restores time(). Not to be called while
// other threads read the clock.
void SetWallClockForTest(std::time_t (*clock)());

// Milliseconds of CLOCK_BOOTTIME: a clock that no one sets, that goes on while the process is
// stopped and while the machine sleeps. What leases are timed with: a lease that lapsed in
// either is seen to have lapsed.
std::int64_t BootClockMs();

// The local calendar time of t (the process's time zone, TZ).
std::tm LocalCalendar(std::time_t t);

} // namespace tarvell
