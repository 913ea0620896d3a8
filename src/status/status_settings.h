#pragma once
// The settings of the status server and the stall watchdog, from the program INI:
//   [STATUS] LISTEN=127.0.0.1:PORT   the status server's address (none: no server)
//   [SYSTEM] STALL_SECONDS=120       seconds without data after which a channel is silent
//   [SYSTEM] STALL_RECONNECT=0       1: a silent channel makes its link connect again
// Main thread, at start-up.

#include <string>
#include <string_view>

namespace tarvell
{

inline constexpr int kDefaultStallSeconds = 120;

struct StatusSettings
{
    bool serverEnabled = false;
    std::string host; // an IPv4 address or a name; loopback unless LISTEN names another
    int port = 0;     // 0: any free port (the log says which)
    int stallSeconds = kDefaultStallSeconds;
    bool stallReconnect = false;
};

// Reads LISTEN as "HOST:PORT", ":PORT" or "PORT" (host 127.0.0.1), PORT 0..65535. Returns
// false with *error saying what is wrong.
bool ParseListenAddress(std::string_view text, std::string* host, int* port, std::string* error);

// Reads the settings of iniPath. Returns false with *error for a LISTEN that cannot be
// used; a STALL_SECONDS that is not a positive number gives the default.
bool ReadStatusSettings(const std::string& iniPath, StatusSettings* settings, std::string* error);

} // namespace tarvell
