#include "status/status_settings.h"

#include <cctype>

#include "platform/ini_profile.h"

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
    const long long stall =
        ReadProfileInt(iniPath, "SYSTEM", "STALL_SECONDS", kDefaultStallSeconds);
    settings->stallSeconds =
        stall > 0 && stall <= 86400 ? static_cast<int>(stall) : kDefaultStallSeconds;
    settings->stallReconnect = ReadProfileInt(iniPath, "SYSTEM", "STALL_RECONNECT", 0) == 1;
    return true;
}

} // namespace tarvell
