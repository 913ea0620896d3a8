#include "ui/channel_trouble.h"

#include "platform/time_conversions.h"
#include "metrics/counters.h"

namespace tarvell
{

ChannelTrouble TroubleOf(const CChannelCounters& counters)
{
    constexpr auto kRelaxed = std::memory_order_relaxed;
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
