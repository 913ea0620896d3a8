#include "ui/channel_trouble.h"

#include "metrics/counters.h"
#include "platform/time_conversions.h"

namespace tarvell
{

ChannelTrouble TroubleOf(const CChannelCounters& counters)
{
    constexpr auto kRelaxed = std::memory_order_relaxed;
    const CLinkCounters* link = counters.link.load(kRelaxed);
    if (link != nullptr && link->heldElsewhere.load(kRelaxed))
    {
        const std::string holder = link->holder.Load();
        return {TroubleKind::Elsewhere,
                "Archived by the instance '" + (holder.empty() ? std::string("?") : holder) +
                    "', which holds the server " + link->host + ":" + std::to_string(link->port)};
    }
    if (counters.holdReason.load(kRelaxed) != 0)
    {
        // The time as the list's time column writes it, so the two compare at a glance.
        std::string text = "Not archived since ";
        text += util_dttostr(counters.heldSince.load(kRelaxed), 0);
        text += ": ";
        text += counters.holdDetail.Load();
        return {TroubleKind::Held, text};
    }
    if (counters.stalled.load(kRelaxed))
    {
        std::string text = "Silent since ";
        text += util_dttostr(counters.silentSince.load(kRelaxed), 0);
        text += ": its server is connected and sends nothing for it";
        return {TroubleKind::Silent, text};
    }
    return {};
}

} // namespace tarvell
