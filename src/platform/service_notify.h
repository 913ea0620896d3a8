#pragma once
// Telling the service manager (systemd) about the program: readiness, a status line, the
// stop, and the watchdog's pings. Without a service manager (no NOTIFY_SOCKET) every call
// does nothing. Any thread.

#include <cstdint>
#include <string_view>

namespace tarvell
{

// Sends state, lines such as "READY=1", "STATUS=...", "STOPPING=1", "WATCHDOG=1" separated
// by line feeds. Returns false when there is no service manager or the message failed.
bool NotifyServiceManager(std::string_view state);

// The interval, in microseconds, within which the service manager expects a "WATCHDOG=1"
// from this process; 0 when it expects none.
std::uint64_t ServiceWatchdogMicroseconds();

} // namespace tarvell
