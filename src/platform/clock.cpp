#include "platform/clock.h"

#include <atomic>
#include <chrono>

#include <time.h>

namespace tarvell
{
namespace
{
std::atomic<std::time_t (*)()> g_clock{nullptr};
}

std::time_t WallClockNow()
{
    std::time_t (*clock)() = g_clock.load(std::memory_order_acquire);
    return clock ? clock() : std::time(nullptr);
}

double EpochSecondsNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

double EpochSecondsCoarse()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::chrono::steady_clock::time_point SteadyCoarseNow()
{
    // The coarse reading of the clock steady_clock reads (CLOCK_MONOTONIC), so the two mix.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
}

void SetWallClockForTest(std::time_t (*clock)())
{
    g_clock.store(clock, std::memory_order_release);
}

std::int64_t BootClockMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

std::tm LocalCalendar(std::time_t t)
{
    std::tm calendar{};
    ::localtime_r(&t, &calendar);
    return calendar;
}

} // namespace tarvell
