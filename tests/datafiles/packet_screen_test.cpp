#include "datafiles/packet_screen.h"

#include <gtest/gtest.h>

#include "link/waveform_packet.h"

namespace tarvell
{
namespace
{

constexpr double kNow = 1796648700; // 2026-12-07 13:05:00 UTC

TEST(PacketScreen, TakesOnlyWhatTheChannelDoesNotHoldAtItsOwnRateAndTime)
{
    struct Case
    {
        const char* what;
        double begin;
        double interval; // the server's
        double heldEnd;
        PacketVerdict verdict;
        int dropped;
    };
    const Case cases[] = {
        {"nothing held yet", kNow - 10, 0.1, 0, kPacketTaken, 0},
        {"begins where the channel's data end", kNow - 10, 0.1, kNow - 10, kPacketTaken, 0},
        {"within half an interval: jitter, not a repeat", kNow - 10, 0.1, kNow - 9.96, kPacketTaken,
         0},
        {"holds the end: the samples before it go", kNow - 10, 0.1, kNow - 9.7, kPacketTaken, 3},
        {"wholly held already", kNow - 11, 0.1, kNow - 10, kPacketResent, 10},
        {"a server restarted from its oldest data", kNow - 3600, 0.1, kNow - 10, kPacketResent, 10},
        {"after a gap: new", kNow - 10, 0.1, kNow - 11, kPacketTaken, 0},
        {"an hour ahead: the clock's business is a day", kNow + 3600, 0.1, 0, kPacketTaken, 0},
        {"2038", 2147483000, 0.1, kNow, kPacketFuture, 10},
        {"before 1970", -5, 0.1, 0, kPacketBeforeEpoch, 10},
        {"50 Hz from a server, 10 Hz in SITECHAN", kNow - 10, 0.02, 0, kPacketRatesDisagree, 10},
        {"an interval no rate has", kNow - 10, 4294.967295, 0, kPacketRatesDisagree, 10},
    };
    std::int32_t samples[10] = {};
    for (const Case& c : cases)
    {
        WaveformPacket packet;
        packet.beginTime = c.begin;
        packet.sampleInterval = c.interval;
        packet.count = 10;
        packet.samples = samples;
        const ScreenResult result = ScreenPacket(packet, 10, c.heldEnd, kNow);
        EXPECT_EQ(result.verdict, c.verdict) << c.what;
        EXPECT_EQ(result.dropped, c.dropped) << c.what;
    }
}

TEST(PacketScreen, RatesAgreeWithinTheWiresMicrosecondAndAPartInTenThousand)
{
    EXPECT_TRUE(RatesAgree(0.01, 100));
    EXPECT_TRUE(RatesAgree(0.008333, 120));  // 8333 us on the wire
    EXPECT_TRUE(RatesAgree(0.000333, 3000)); // 333 us
    EXPECT_TRUE(RatesAgree(0.0125, 80));
    EXPECT_FALSE(RatesAgree(0.013, 80)); // whole milliseconds would have said 0.013
    EXPECT_FALSE(RatesAgree(0.02, 100));
    EXPECT_FALSE(RatesAgree(0.01, 0));
    EXPECT_FALSE(RatesAgree(0, 100));
}

} // namespace
} // namespace tarvell
