#include "status/status_client.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "link/time_conversions.h"
#include "status/status_settings.h"

namespace tarvell
{
namespace
{

using Json = nlohmann::json;

std::string Text(const Json& value)
{
    return value.is_string() ? value.get<std::string>() : std::string();
}

void PrintTable(const Json& status, std::FILE* out)
{
    const Json& db = status["database"];
    std::fprintf(out, "TARVELL %s: %s (%lld database outages)\n", Text(status["version"]).c_str(),
                 Text(status["summary"]).c_str(), static_cast<long long>(db.value("outages", 0)));
    for (const Json& link : status["links"])
    {
        std::fprintf(out, "server %s:%d %s, %lld reconnects\n", Text(link["server"]).c_str(),
                     link.value("port", 0), Text(link["state"]).c_str(),
                     static_cast<long long>(link.value("reconnects", 0)));
    }
    std::fprintf(out, "%-7s %-7s %-21s %10s  %-12s %s\n", "Station", "Channel", "Last count time",
                 "Latency", "Server", "File");
    for (const Json& channel : status["channels"])
    {
        const Json& last = channel["last_sample_time"];
        const std::string time =
            last.is_number() ? util_dttostr(last.get<double>(), 0) : "---------";
        char latency[32] = "-";
        if (channel.contains("held") && channel["held"].is_object())
            std::snprintf(latency, sizeof latency, "HELD");
        else if (channel.value("stalled", false))
            std::snprintf(latency, sizeof latency, "SILENT");
        else if (channel["latency_seconds"].is_number())
            std::snprintf(latency, sizeof latency, "%.1f s",
                          channel["latency_seconds"].get<double>());
        std::fprintf(out, "%-7s %-7s %-21s %10s  %-12s %s\n", Text(channel["station"]).c_str(),
                     Text(channel["channel"]).c_str(), time.c_str(), latency,
                     Text(channel["server"]).c_str(), Text(channel["file"]).c_str());
    }
}

} // namespace

int PrintStatus(const std::string& iniPath, bool json, std::FILE* out, std::FILE* err)
{
    StatusSettings settings;
    std::string error;
    if (!ReadStatusSettings(iniPath, &settings, &error))
    {
        std::fprintf(err, "tarvell: %s\n", error.c_str());
        return kStatusNoAnswer;
    }
    if (!settings.serverEnabled || settings.port == 0)
    {
        std::fprintf(err, "tarvell: %s names no status server ([STATUS] LISTEN=HOST:PORT)\n",
                     iniPath.c_str());
        return kStatusNoAnswer;
    }
    httplib::Client client(settings.host, settings.port);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    const httplib::Result answer = client.Get("/status");
    if (!answer || answer->status != 200)
    {
        std::fprintf(err, "tarvell: no status from %s:%d (is the program running?)\n",
                     settings.host.c_str(), settings.port);
        return kStatusNoAnswer;
    }
    const Json status = Json::parse(answer->body, nullptr, false);
    if (status.is_discarded() || !status.is_object() || !status.contains("channels"))
    {
        std::fprintf(err, "tarvell: the answer of %s:%d is no status\n", settings.host.c_str(),
                     settings.port);
        return kStatusNoAnswer;
    }
    if (json)
        std::fprintf(out, "%s\n", answer->body.c_str());
    else
        PrintTable(status, out);
    const bool trouble = status.value("stalled_channels", 0) > 0 ||
                         status.value("held_channels", 0) > 0 ||
                         !status["database"].value("reachable", false);
    return trouble ? kStatusTrouble : kStatusWell;
}

} // namespace tarvell
