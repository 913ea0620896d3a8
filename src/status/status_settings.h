#pragma once
// The settings of the status server and the stall watchdog, from the program INI:
//   [STATUS] LISTEN=127.0.0.1:PORT   the status server's address (none: no server)
//   [STATUS] TOKEN_FILE=PATH         the bearer token every request must carry (none: none)
//   [STATUS] MAX_CONNECTIONS=16      connections the status server keeps open at most
//   [STATUS] REQUEST_SECONDS=5       time a connection has to send its (next) request
//   [SYSTEM] STALL_SECONDS=120       seconds without data after which a channel is silent
//   [SYSTEM] STALL_RECONNECT=0       1: a silent channel makes its link connect again
// Main thread, at start-up.

#include <string>
#include <string_view>

namespace tarvell
{

inline constexpr int kDefaultStallSeconds = 120;
inline constexpr int kDefaultStatusConnections = 16;
inline constexpr int kMaxStatusConnections = 1024;
inline constexpr int kDefaultRequestSeconds = 5;
inline constexpr int kMaxRequestSeconds = 300;

struct StatusSettings
{
    bool serverEnabled = false;
    std::string host;      // an IPv4 address or a name; loopback unless LISTEN names another
    int port = 0;          // 0: any free port (the log says which)
    std::string tokenFile; // empty: no token is asked for
    int maxConnections = kDefaultStatusConnections;
    int requestSeconds = kDefaultRequestSeconds;
    int stallSeconds = kDefaultStallSeconds;
    bool stallReconnect = false;
};

// Reads LISTEN as "HOST:PORT", ":PORT" or "PORT" (host 127.0.0.1), PORT 0..65535. Returns
// false with *error saying what is wrong.
bool ParseListenAddress(std::string_view text, std::string* host, int* port, std::string* error);

// Reads the settings of iniPath. Returns false with *error for a LISTEN that cannot be
// used; a STALL_SECONDS, MAX_CONNECTIONS or REQUEST_SECONDS that is not a number in its
// range (1..86400, 1..1024, 1..300) gives the default.
bool ReadStatusSettings(const std::string& iniPath, StatusSettings* settings, std::string* error);

// Reads the token of settings.tokenFile into *token (empty when no file is named). Returns
// false with *error when the file is named but cannot be used: unreadable, empty, open to
// others, or a token that is no single word of printable ASCII.
bool ReadStatusToken(const StatusSettings& settings, std::string* token, std::string* error);

} // namespace tarvell
