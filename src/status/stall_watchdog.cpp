#include "status/stall_watchdog.h"

#include <algorithm>

#include "platform/time_conversions.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{
constexpr auto kRelaxed = std::memory_order_relaxed;
} // namespace

CStallWatchdog::CStallWatchdog(int stallSeconds, bool reconnect)
    : m_stallSeconds(stallSeconds), m_reconnect(reconnect)
{
}

void CStallWatchdog::Check(double now)
{
    for (const auto& channel : Metrics().ChannelsForStallWatch())
    {
        const CLinkCounters* link = channel->link.load(kRelaxed);
        if (link == nullptr || !channel->configured.load(kRelaxed))
            continue;
        const double lastArrival = channel->lastArrival.load(kRelaxed);
        if (channel->stalled.load(kRelaxed))
        {
            const double silentSince = channel->silentSince.load(kRelaxed);
            if (lastArrival <= silentSince)
                continue;
            channel->stalled.store(false, kRelaxed);
            LogEvent(FormatText("Channel %s %s flows again after %.0f s of silence",
                                channel->station.c_str(), channel->channel.c_str(),
                                lastArrival - silentSince));
            continue;
        }
        if (link->State() != LinkState::Connected)
            continue;
        // Silent since its last packet, or since the connection began when it has sent
        // nothing on this connection yet.
        const double since = std::max(lastArrival, link->connectedSince.load(kRelaxed));
        const double limit =
            std::max<double>(m_stallSeconds, 3 * channel->packetDuration.load(kRelaxed));
        if (since <= 0 || now - since <= limit)
            continue;
        channel->silentSince.store(since, kRelaxed);
        channel->stalled.store(true, kRelaxed);
        std::string line = FormatText("Channel %s %s silent since %s (server %s connected)",
                                      channel->station.c_str(), channel->channel.c_str(),
                                      util_dttostr(since, 0), link->host.c_str());
        if (m_reconnect)
        {
            link->reconnectRequested.store(true, kRelaxed);
            line += "; connecting again to ask for it";
        }
        LogEvent(line);
    }
}

} // namespace tarvell
