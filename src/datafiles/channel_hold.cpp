#include "datafiles/channel_hold.h"

#include <algorithm>
#include <chrono>

#include "platform/time_conversions.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kFirstCheck{1000};
constexpr std::chrono::milliseconds kLongestPause{300000};

// Asks the channel's link for a new connection (the flag its waits watch): the request of
// the next connection asks every channel from its resume point.
void AskServerAgain(const CChannelState& channel)
{
    if (const CLinkCounters* link = channel.counters->link.load(std::memory_order_relaxed))
        link->reconnectRequested.store(true, std::memory_order_relaxed);
}

} // namespace

void HoldChannel(CChannelState& channel, const std::string& station, HoldReason reason,
                 const std::string& detail)
{
    DropHeldBuffer(channel);
    channel.resumeTime = channel.writtenEnd;
    if (channel.hold.Active())
        return;
    channel.hold.reason = reason;
    channel.hold.since = EpochSecondsNow();
    channel.hold.pause = kFirstCheck;
    channel.hold.nextCheck = Clock::now() + kFirstCheck;
    channel.hold.detail = detail;
    channel.counters->Held(static_cast<int>(reason), channel.hold.since, detail);
    const std::string from =
        channel.resumeTime > 0 ? util_dttostr(channel.resumeTime, 0) : std::string("its start");
    LogEvent(FormatText("Station %s channel %s is not archived for now: %s. Its samples stay on "
                        "the server and are asked for again from %s once this is mended; the "
                        "other channels go on",
                        station.c_str(), channel.name.c_str(), detail.c_str(), from.c_str()));
}

bool HoldCheckDue(const CChannelState& channel)
{
    return channel.hold.reason != HoldReason::RatesDisagree && channel.pending.empty() &&
           Clock::now() >= channel.hold.nextCheck;
}

void HoldCheckFailed(CChannelState& channel)
{
    channel.hold.pause = std::min(channel.hold.pause * 2, kLongestPause);
    channel.hold.nextCheck = Clock::now() + channel.hold.pause;
}

void ReleaseHold(CChannelState& channel, const std::string& station, std::uint64_t connection)
{
    DropHeldBuffer(channel);
    const double held = EpochSecondsNow() - channel.hold.since;
    channel.hold = ChannelHold{};
    channel.askedAgainOn = connection;
    channel.counters->Held(0, 0, "");
    const std::string from =
        channel.resumeTime > 0 ? util_dttostr(channel.resumeTime, 0) : std::string("its start");
    LogEvent(FormatText("Station %s channel %s is archived again after %.0f s: asked for again "
                        "from %s",
                        station.c_str(), channel.name.c_str(), held, from.c_str()));
    AskServerAgain(channel);
}

void DropHeldBuffer(CChannelState& channel)
{
    if (channel.bufferCount > 0)
        channel.counters->SamplesDropped(DropReason::Held, channel.bufferCount);
    channel.EmptyBuffer();
}

} // namespace tarvell
