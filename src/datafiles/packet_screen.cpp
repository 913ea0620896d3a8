#include "datafiles/packet_screen.h"

#include <atomic>
#include <cmath>

#include "link/waveform_packet.h"

namespace tarvell
{
namespace
{

std::atomic<double> g_futureLimit{kDefaultFutureLimitSeconds};

// The wire gives an interval in whole microseconds, so 120 Hz arrives as 8333 us.
constexpr double kIntervalResolution = 0.5e-6;
constexpr double kRateTolerance = 1e-4;

} // namespace

void SetFutureLimit(double seconds)
{
    g_futureLimit.store(seconds > 0 && std::isfinite(seconds) ? seconds
                                                              : kDefaultFutureLimitSeconds,
                        std::memory_order_relaxed);
}

double FutureLimit()
{
    return g_futureLimit.load(std::memory_order_relaxed);
}

bool RatesAgree(double interval, double sampleRate)
{
    if (!(interval > 0) || !(sampleRate > 0) || !std::isfinite(interval) ||
        !std::isfinite(sampleRate))
        return false;
    const double nominal = 1.0 / sampleRate;
    return std::fabs(interval - nominal) <= kIntervalResolution + kRateTolerance * nominal;
}

ScreenResult ScreenPacket(const WaveformPacket& packet, double sampleRate, double heldEnd,
                          double now)
{
    ScreenResult result;
    result.dropped = packet.count;
    if (!RatesAgree(packet.sampleInterval, sampleRate))
    {
        result.verdict = kPacketRatesDisagree;
        return result;
    }
    if (packet.beginTime < 0)
    {
        result.verdict = kPacketBeforeEpoch;
        return result;
    }
    if (packet.beginTime > now + FutureLimit())
    {
        result.verdict = kPacketFuture;
        return result;
    }
    result.dropped = 0;
    if (heldEnd <= 0 || packet.count <= 0)
        return result;
    // Samples lie at whole intervals from the packet's begin; half an interval decides, so
    // a server's timing jitter never drops a sample that is new.
    const double behind = (heldEnd - packet.beginTime) * sampleRate - 0.5;
    if (behind <= 0)
        return result;
    const double drop = std::ceil(behind);
    if (drop >= packet.count)
    {
        result.verdict = kPacketResent;
        result.dropped = packet.count;
        return result;
    }
    result.dropped = static_cast<int>(drop);
    return result;
}

} // namespace tarvell
