#include "status/status_client.h"

#include <exception>
#include <string>
#include <vector>

#include <httplib.h>

#include "platform/text_format.h"
#include "platform/time_conversions.h"
#include "status/status_answer.h"
#include "status/status_settings.h"

namespace tarvell
{
namespace
{

// A status of 16 384 channels is about 8 MB; an answer many times larger is no status.
constexpr std::size_t kMaxAnswerBytes = 128u << 20;

// Text of the answer for a terminal: a control character (an escape sequence from a server
// that is no status server) is shown as '?'.
std::string Shown(const std::string& text)
{
    std::string shown = text;
    for (char& c : shown)
    {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return shown;
}

void PrintTable(const StatusAnswer& status, std::FILE* out)
{
    std::fprintf(out, "TARVELL %s: %s (%lld database outages)\n", Shown(status.version).c_str(),
                 Shown(status.summary).c_str(), static_cast<long long>(status.databaseOutages));
    if (!status.instance.empty())
        std::fprintf(out, "instance %s\n", Shown(status.instance).c_str());
    for (const StatusAnswerLink& link : status.links)
    {
        if (!link.heldHere)
        {
            std::fprintf(out, "server %s:%lld held by %s\n", Shown(link.server).c_str(),
                         static_cast<long long>(link.port),
                         link.holder.empty() ? "no instance" : Shown(link.holder).c_str());
            continue;
        }
        std::fprintf(out, "server %s:%lld %s, %lld reconnects\n", Shown(link.server).c_str(),
                     static_cast<long long>(link.port), Shown(link.state).c_str(),
                     static_cast<long long>(link.reconnects));
    }
    std::fprintf(out, "%-7s %-7s %-21s %10s  %-12s %s\n", "Station", "Channel", "Last count time",
                 "Latency", "Server", "File");
    for (const StatusAnswerChannel& channel : status.channels)
    {
        const std::string time =
            channel.lastSampleTime ? util_dttostr(*channel.lastSampleTime, 0) : "---------";
        char latency[32] = "-";
        if (channel.elsewhere)
            std::snprintf(latency, sizeof latency, "ELSEWHERE");
        else if (channel.held)
            std::snprintf(latency, sizeof latency, "HELD");
        else if (channel.stalled)
            std::snprintf(latency, sizeof latency, "SILENT");
        else if (channel.latency)
            std::snprintf(latency, sizeof latency, "%.1f s", *channel.latency);
        std::fprintf(out, "%-7s %-7s %-21s %10s  %-12s %s\n", Shown(channel.station).c_str(),
                     Shown(channel.channel).c_str(), time.c_str(), latency,
                     Shown(channel.server).c_str(), Shown(channel.file).c_str());
    }
}

// What keeps the answer from "all well", in words, or nothing: every channel archived here
// must flow (data received, not silent, not held) on a connected link, the database must be
// up and the data root there. Channels another instance of the fleet archives are its to
// report.
std::vector<std::string> Troubles(const StatusAnswer& status)
{
    std::vector<std::string> troubles;
    if (!status.databaseReachable)
        troubles.push_back("the database is down");
    if (status.dataRootMissing)
        troubles.push_back("the data root is missing");
    if (status.notAcquired > 0)
        troubles.push_back(FormatText("%lld configured not acquired (the event log says why)",
                                      static_cast<long long>(status.notAcquired)));
    for (const StatusAnswerLink& link : status.links)
    {
        if (link.heldHere && link.state != "connected")
            troubles.push_back(FormatText("server %s:%lld is %s", Shown(link.server).c_str(),
                                          static_cast<long long>(link.port),
                                          Shown(link.state).c_str()));
    }
    long long silent = 0;
    long long held = 0;
    long long waiting = 0;
    for (const StatusAnswerChannel& channel : status.channels)
    {
        if (channel.elsewhere)
            continue;
        if (channel.held)
            ++held;
        else if (channel.stalled)
            ++silent;
        else if (!channel.lastSampleTime)
            ++waiting;
    }
    if (silent > 0)
        troubles.push_back(FormatText("%lld silent", silent));
    if (held > 0)
        troubles.push_back(FormatText("%lld not archived (held)", held));
    if (waiting > 0)
        troubles.push_back(FormatText("%lld without data since the start", waiting));
    return troubles;
}

// Asks the status server; returns the exit status, the answer's body in *body when it is 0.
int Fetch(const StatusSettings& settings, const std::string& token, std::string* body,
          std::FILE* err)
{
    httplib::Client client(settings.host, settings.port);
    client.set_connection_timeout(5, 0);
    client.set_read_timeout(10, 0);
    if (!token.empty())
        client.set_bearer_token_auth(token);
    int status = 0;
    bool tooLarge = false;
    const httplib::Result answer = client.Get(
        "/status",
        [&](const httplib::Response& response)
        {
            status = response.status;
            return true;
        },
        [&](const char* data, std::size_t length)
        {
            tooLarge = body->size() + length > kMaxAnswerBytes;
            if (!tooLarge)
                body->append(data, length);
            return !tooLarge;
        });
    const std::string server = settings.host + ":" + std::to_string(settings.port);
    if (tooLarge)
    {
        std::fprintf(err, "tarvell: the answer of %s is no status: larger than %zu bytes\n",
                     server.c_str(), kMaxAnswerBytes);
        return kStatusNoAnswer;
    }
    if (status == 401)
    {
        std::fprintf(err, "tarvell: %s refused the token%s ([STATUS] TOKEN_FILE)\n", server.c_str(),
                     token.empty() ? ": it asks for one, and none is named" : "");
        return kStatusNoAnswer;
    }
    if (!answer || status != 200)
    {
        std::fprintf(err, "tarvell: no status from %s (is the program running?)\n", server.c_str());
        return kStatusNoAnswer;
    }
    return kStatusWell;
}

int AskAndPrint(const std::string& iniPath, bool json, std::FILE* out, std::FILE* err)
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
    std::string token;
    if (!ReadStatusToken(settings, &token, &error))
    {
        std::fprintf(err, "tarvell: %s\n", error.c_str());
        return kStatusNoAnswer;
    }
    std::string body;
    if (const int fetched = Fetch(settings, token, &body, err); fetched != kStatusWell)
        return fetched;
    StatusAnswer status;
    std::string problem;
    if (!ReadStatusAnswer(body, &status, &problem))
    {
        std::fprintf(err, "tarvell: the answer of %s:%d is no status: %s\n", settings.host.c_str(),
                     settings.port, Shown(problem).c_str());
        return kStatusNoAnswer;
    }
    if (json)
        std::fprintf(out, "%s\n", body.c_str());
    else
        PrintTable(status, out);
    const std::vector<std::string> troubles = Troubles(status);
    if (troubles.empty())
        return kStatusWell;
    // On stderr, so that the JSON on stdout stays JSON; monitoring shows the reason.
    std::string text;
    for (const std::string& trouble : troubles)
        text += (text.empty() ? "" : ", ") + trouble;
    std::fflush(out); // the table first, then why it is not all well
    std::fprintf(err, "tarvell: not all well: %s\n", text.c_str());
    return kStatusTrouble;
}

} // namespace

int PrintStatus(const std::string& iniPath, bool json, std::FILE* out, std::FILE* err)
{
    // Whatever the answer or the machine does (memory running short while it is read),
    // monitoring gets one of the three documented exits.
    try
    {
        return AskAndPrint(iniPath, json, out, err);
    }
    catch (const std::exception& failure)
    {
        std::fprintf(err, "tarvell: the status could not be read: %s\n", failure.what());
    }
    catch (...)
    {
        std::fprintf(err, "tarvell: the status could not be read\n");
    }
    return kStatusNoAnswer;
}

} // namespace tarvell
