#include "status/status_settings.h"

#include <cctype>

#include "platform/ini_profile.h"
#include "platform/secret_file.h"

namespace tarvell
{
namespace
{

bool AllDigits(std::string_view text)
{
    if (text.empty() || text.size() > 5)
        return false;
    for (char c : text)
    {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0)
            return false;
    }
    return true;
}

bool PlausibleHost(std::string_view host)
{
    for (char c : host)
    {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) == 0 && c != '.' && c != '-')
            return false;
    }
    return !host.empty();
}

// [section] key as a number from 1 to most; anything else gives fallback.
int ReadBounded(const std::string& iniPath, const char* section, const char* key, int fallback,
                int most)
{
    const long long value = ReadProfileInt(iniPath, section, key, fallback);
    return value > 0 && value <= most ? static_cast<int>(value) : fallback;
}

} // namespace

bool ParseListenAddress(std::string_view text, std::string* host, int* port, std::string* error)
{
    const std::string given(text);
    const std::size_t colon = text.rfind(':');
    std::string_view hostText = colon == std::string_view::npos ? "" : text.substr(0, colon);
    const std::string_view portText =
        colon == std::string_view::npos ? text : text.substr(colon + 1);
    if (hostText.empty())
        hostText = "127.0.0.1";
    if (!AllDigits(portText) || std::stoi(std::string(portText)) > 65535)
    {
        *error = "[STATUS] LISTEN=" + given +
                 ": the port must be a number from 0 to 65535 "
                 "(for example LISTEN=127.0.0.1:9780)";
        return false;
    }
    if (!PlausibleHost(hostText))
    {
        *error = "[STATUS] LISTEN=" + given + ": '" + std::string(hostText) +
                 "' is no IPv4 address or host name";
        return false;
    }
    *host = std::string(hostText);
    *port = std::stoi(std::string(portText));
    return true;
}

bool ReadStatusSettings(const std::string& iniPath, StatusSettings* settings, std::string* error)
{
    *settings = StatusSettings{};
    const std::string listen = ReadProfileString(iniPath, "STATUS", "LISTEN", "", 255);
    if (!listen.empty())
    {
        if (!ParseListenAddress(listen, &settings->host, &settings->port, error))
            return false;
        settings->serverEnabled = true;
    }
    settings->tokenFile = ReadProfileString(iniPath, "STATUS", "TOKEN_FILE", "", 2047);
    settings->maxConnections = ReadBounded(iniPath, "STATUS", "MAX_CONNECTIONS",
                                           kDefaultStatusConnections, kMaxStatusConnections);
    settings->requestSeconds = ReadBounded(iniPath, "STATUS", "REQUEST_SECONDS",
                                           kDefaultRequestSeconds, kMaxRequestSeconds);
    settings->stallSeconds =
        ReadBounded(iniPath, "SYSTEM", "STALL_SECONDS", kDefaultStallSeconds, 86400);
    settings->stallReconnect = ReadProfileInt(iniPath, "SYSTEM", "STALL_RECONNECT", 0) == 1;
    return true;
}

bool ReadStatusToken(const StatusSettings& settings, std::string* token, std::string* error)
{
    token->clear();
    if (settings.tokenFile.empty())
        return true;
    if (!ReadSecretFile(settings.tokenFile, token, error))
    {
        *error = "[STATUS] TOKEN_FILE: " + *error;
        return false;
    }
    // The token travels in a header line and is compared byte for byte: blanks or other
    // bytes a header cannot carry would make it one nobody could send.
    for (const char c : *token)
    {
        if (c <= ' ' || c > '~')
        {
            *error = "[STATUS] TOKEN_FILE: the token of " + settings.tokenFile +
                     " holds a blank or a byte that is no printable ASCII";
            token->clear();
            return false;
        }
    }
    return true;
}

} // namespace tarvell
