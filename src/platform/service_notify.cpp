#include "platform/service_notify.h"

#include <string>

#include <systemd/sd-daemon.h>

namespace tarvell
{

bool NotifyServiceManager(std::string_view state)
{
    const std::string text(state);
    return sd_notify(0, text.c_str()) > 0;
}

std::uint64_t ServiceWatchdogMicroseconds()
{
    std::uint64_t microseconds = 0;
    return sd_watchdog_enabled(0, &microseconds) > 0 ? microseconds : 0;
}

} // namespace tarvell
