// The availability report's arithmetic: how FILELIST rows become covered stretches and gaps
// inside a window (the end-to-end test runs the command itself on a real archive).

#include "availability.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarvell
{
namespace
{

constexpr double kT = 1796648700; // 2026-12-07 13:05:00 UTC

FileSpan Span(double begin, double seconds, const char* channel = "BHZ")
{
    return {"ABC", channel, kT + begin, seconds, 100};
}

TEST(Availability, RowsBecomeStretchesAndGapsInsideTheWindow)
{
    struct Case
    {
        const char* what;
        std::vector<FileSpan> spans;
        double from, to, gapSeconds;                 // from/to relative to kT; NaN: none
        std::vector<std::pair<double, double>> gaps; // relative to kT
        double covered;
    };
    const double none = NAN;
    const std::vector<Case> cases = {
        {"files that follow on", {Span(0, 10), Span(10, 10)}, none, none, -1, {}, 20},
        {"an overlap counts once", {Span(0, 10), Span(5, 10)}, none, none, -1, {}, 15},
        {"one missing sample is within 1.5 intervals",
         {Span(0, 10), Span(10.01, 9.99)},
         none,
         none,
         -1,
         {},
         19.99},
        {"two missing samples are a gap",
         {Span(0, 10), Span(10.02, 9.98)},
         none,
         none,
         -1,
         {{10, 10.02}},
         19.98},
        {"a threshold of 5 s passes over 2 s", {Span(0, 10), Span(12, 8)}, none, none, 5, {}, 18},
        {"the window's edges beyond the data are gaps",
         {Span(10, 10)},
         0,
         30,
         -1,
         {{0, 10}, {20, 30}},
         10},
        {"rows are cut at the window", {Span(0, 100)}, 20, 30, -1, {}, 10},
        {"no data in the window is one gap", {Span(0, 10)}, 50, 60, -1, {{50, 60}}, 0},
    };
    for (const Case& c : cases)
    {
        AvailabilityWindow window;
        const auto channels =
            ComputeAvailability(c.spans, std::isnan(c.from) ? c.from : kT + c.from,
                                std::isnan(c.to) ? c.to : kT + c.to, c.gapSeconds, &window);
        ASSERT_EQ(channels.size(), 1u) << c.what;
        const ChannelAvailability& channel = channels[0];
        EXPECT_NEAR(channel.coveredSeconds, c.covered, 1e-6) << c.what;
        EXPECT_NEAR(channel.share, c.covered / (window.to - window.from), 1e-9) << c.what;
        ASSERT_EQ(channel.gaps.size(), c.gaps.size()) << c.what;
        for (std::size_t g = 0; g < c.gaps.size(); ++g)
        {
            EXPECT_NEAR(channel.gaps[g].begin, kT + c.gaps[g].first, 1e-6) << c.what;
            EXPECT_NEAR(channel.gaps[g].end, kT + c.gaps[g].second, 1e-6) << c.what;
        }
    }
}

TEST(Availability, TheDefaultWindowSpansEveryChannelAndTheTextNamesEachGap)
{
    AvailabilityWindow window;
    const auto channels =
        ComputeAvailability({Span(0, 10, "BHZ"), Span(5, 20, "BHN")}, NAN, NAN, -1, &window);
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_DOUBLE_EQ(window.from, kT);
    EXPECT_DOUBLE_EQ(window.to, kT + 25);
    EXPECT_EQ(channels[0].channel, "BHN"); // by name
    EXPECT_DOUBLE_EQ(channels[0].lastSample, kT + 24.99);
    EXPECT_EQ(AvailabilityText(channels, window),
              "window 2026-12-07T13:05:00.000 .. 2026-12-07T13:05:25.000 (25.000 s)\n"
              "ABC     BHN     first 2026-12-07T13:05:05.000 last 2026-12-07T13:05:24.990 "
              "covered 80.000 % gaps 1\n"
              "  gap 2026-12-07T13:05:00.000 .. 2026-12-07T13:05:05.000 (5.000 s)\n"
              "ABC     BHZ     first 2026-12-07T13:05:00.000 last 2026-12-07T13:05:09.990 "
              "covered 40.000 % gaps 1\n"
              "  gap 2026-12-07T13:05:10.000 .. 2026-12-07T13:05:25.000 (15.000 s)\n");
}

} // namespace
} // namespace tarvell
