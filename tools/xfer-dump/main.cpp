// xfer-dump: connects to a waveform server like the program does, requests the channels
// given on the command line and prints the server's configuration and every packet, as
// text or as JSON lines. For operators who want to see what a server sends, and for tests.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <getopt.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "link/packet_decoding.h"
#include "platform/time_conversions.h"
#include "link/transfer_error.h"
#include "link/transfer_request.h"
#include "link/transfer_session.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace
{

using namespace tarvell;

const char kUsage[] =
    "usage: xfer-dump [options] HOST STA:CHA[@BEGIN[,END]]...\n"
    "  BEGIN, END               epoch seconds, -1, or UTC time YYYY-MM-DDTHH:MM:SS[.ffffff]\n"
    "                           (default -1: from the start of the server's data, no end)\n"
    "  --port N                 server port (14002)\n"
    "  --json                   print JSON lines instead of text\n"
    "  --packets N              stop after N waveform packets\n"
    "  --seconds S              stop after S seconds\n"
    "  --samples K              first samples printed per packet (5)\n"
    "  --silence S              seconds of silence after which the read fails (60)\n"
    "  --timeout MS             the request's timeout, the step of retry pauses (260)\n"
    "  --retry-mode M           0 no retry, 1 retry on status 13 (the program's), -1 always\n"
    "exit status: 0 when the server ended the stream or a limit was reached; the failure\n"
    "code (1-99) of a failed connection or read; 100+N for a connection that could not be\n"
    "opened (result -N, for example 106 refused); 99 for any other failure or status.\n";

// Adds "STA:CHA[@BEGIN[,END]]" to request; stations are grouped in the order first named.
bool AddChannel(TransferRequest& request, const std::string& text)
{
    const std::size_t colon = text.find(':');
    const std::size_t at = text.find('@');
    if (colon == std::string::npos || colon == 0 || (at != std::string::npos && at < colon))
        return false;
    const std::string station = ToUpperAscii(text.substr(0, colon));
    const std::string channel = ToUpperAscii(
        text.substr(colon + 1, at == std::string::npos ? std::string::npos : at - colon - 1));
    if (station.size() > 7 || channel.empty() || channel.size() > 7)
        return false;
    double begin = kFromOldestData;
    double end = kOpenEnd;
    if (at != std::string::npos)
    {
        const std::string window = text.substr(at + 1);
        const std::size_t comma = window.find(',');
        if (!ParseUtcTime(window.substr(0, comma), &begin))
            return false;
        if (comma != std::string::npos && !ParseUtcTime(window.substr(comma + 1), &end))
            return false;
    }
    int s = 0;
    while (s < request.stationCount && station != request.stations[s].name)
        ++s;
    if (s == request.stationCount)
    {
        if (s == kMaxRequestStations)
            return false;
        CopyToField(request.stations[s].name, kNameFieldSize, station);
        request.stations[s].channelCount = 0;
        ++request.stationCount;
    }
    RequestStation& entry = request.stations[s];
    if (entry.channelCount == kMaxRequestChannels)
        return false;
    RequestChannel& slot = entry.channels[entry.channelCount++];
    CopyToField(slot.name, kNameFieldSize, channel);
    slot.beginTime = begin;
    slot.endTime = end;
    return true;
}

using Json = nlohmann::ordered_json;

// A name as a JSON string: the server's bytes are single-byte text, taken as Latin-1 so that
// every byte stays visible.
Json Name(const char* text)
{
    std::string utf8;
    for (const char* p = text; *p != '\0'; ++p)
    {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x80)
        {
            utf8 += static_cast<char>(c);
            continue;
        }
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
    return utf8;
}

// A number for JSON, which has no infinity or NaN.
Json Number(double value)
{
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

void PrintJson(const Json& line)
{
    std::printf("%s\n", line.dump().c_str());
}

void PrintConfig(const ServerConfig& config, bool json)
{
    if (json)
    {
        Json stations = Json::array();
        for (int s = 0; s < config.stationCount; ++s)
        {
            const ConfigStation& station = config.stations[s];
            Json channels = Json::array();
            for (int c = 0; c < station.channelCount; ++c)
            {
                const ConfigChannel& channel = station.channels[c];
                channels.push_back({{"name", Name(channel.name)},
                                    {"aux", Name(channel.auxName)},
                                    {"wordSize", channel.wordSize},
                                    {"signature", channel.byteOrderSignature},
                                    {"intervalUs", channel.sampleIntervalUs},
                                    {"calib", Number(channel.calib)},
                                    {"calper", Number(channel.calper)},
                                    {"begin", Number(channel.beginTime)},
                                    {"end", Number(channel.endTime)}});
            }
            Json values = Json::array();
            for (float value : station.values)
                values.push_back(Number(value));
            stations.push_back({{"name", Name(station.name)},
                                {"values", std::move(values)},
                                {"channels", std::move(channels)}});
        }
        PrintJson({{"type", "config"},
                   {"format", config.format},
                   {"word", config.configWord},
                   {"stations", std::move(stations)}});
        return;
    }
    std::printf("config format %d word 0x%08X stations %d\n", config.format, config.configWord,
                config.stationCount);
    for (int s = 0; s < config.stationCount; ++s)
    {
        const ConfigStation& station = config.stations[s];
        std::printf("station %s values %g %g %g %g channels %d\n", station.name,
                    static_cast<double>(station.values[0]), static_cast<double>(station.values[1]),
                    static_cast<double>(station.values[2]), static_cast<double>(station.values[3]),
                    station.channelCount);
        for (int c = 0; c < station.channelCount; ++c)
        {
            const ConfigChannel& channel = station.channels[c];
            std::printf("  channel %s aux %s word %d order 0x%08X interval %.6f s calib %g "
                        "calper %g begin %s",
                        channel.name, channel.auxName, channel.wordSize, channel.byteOrderSignature,
                        channel.sampleInterval, static_cast<double>(channel.calib),
                        static_cast<double>(channel.calper), util_dttostr(channel.beginTime, 0));
            std::printf(" end %s\n", util_dttostr(channel.endTime, 0));
        }
    }
}

void PrintPacket(const WaveformPacket& packet, int shown, bool json)
{
    const int count = std::min(shown, packet.count);
    if (json)
    {
        PrintJson({{"type", "packet"},
                   {"station", Name(packet.station)},
                   {"channel", Name(packet.channel)},
                   {"begin", Number(packet.beginTime)},
                   {"end", Number(packet.endTime)},
                   {"intervalUs", packet.sampleIntervalUs},
                   {"count", packet.count},
                   {"samples", std::vector<std::int32_t>(packet.samples, packet.samples + count)}});
        return;
    }
    std::printf("packet %s %s begin %s", packet.station, packet.channel,
                util_dttostr(packet.beginTime, 0));
    std::printf(" end %s count %d samples", util_dttostr(packet.endTime, 0), packet.count);
    for (int i = 0; i < count; ++i)
        std::printf(" %d", packet.samples[i]);
    std::printf("%s\n", count < packet.count ? " ..." : "");
}

int ExitStatus(int result, int code)
{
    if (result < -1 && code != kTransferHostNotFound)
        return 100 - result;
    if (code >= 1 && code <= 99)
        return code;
    return 99;
}

} // namespace

int main(int argc, char** argv)
{
    enum Option
    {
        kPort = 1000,
        kJson,
        kPackets,
        kSeconds,
        kSamples,
        kSilence,
        kTimeout,
        kRetryMode,
        kHelp,
    };
    const option options[] = {
        {"port", required_argument, nullptr, kPort},
        {"json", no_argument, nullptr, kJson},
        {"packets", required_argument, nullptr, kPackets},
        {"seconds", required_argument, nullptr, kSeconds},
        {"samples", required_argument, nullptr, kSamples},
        {"silence", required_argument, nullptr, kSilence},
        {"timeout", required_argument, nullptr, kTimeout},
        {"retry-mode", required_argument, nullptr, kRetryMode},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    int port = 14002;
    bool json = false;
    long packetLimit = -1;
    double secondsLimit = -1.0;
    int shownSamples = 5;
    int silence = kDefaultSilenceLimit;
    int retryMode = 1;
    auto request = std::make_unique<TransferRequest>();
    request->clientId = static_cast<int>(::getpid());

    int opt = 0;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1)
    {
        switch (opt)
        {
        case kPort:
            port = std::atoi(optarg);
            break;
        case kJson:
            json = true;
            break;
        case kPackets:
            packetLimit = std::atol(optarg);
            break;
        case kSeconds:
            secondsLimit = std::atof(optarg);
            break;
        case kSamples:
            shownSamples = std::max(0, std::atoi(optarg));
            break;
        case kSilence:
            silence = std::atoi(optarg);
            break;
        case kTimeout:
            request->timeout = std::atoi(optarg);
            break;
        case kRetryMode:
            retryMode = std::atoi(optarg);
            break;
        case kHelp:
            std::fputs(kUsage, stdout);
            return 0;
        default:
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (argc - optind < 2)
    {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const std::string host = argv[optind++];
    for (; optind < argc; ++optind)
    {
        if (!AddChannel(*request, argv[optind]))
        {
            std::fprintf(stderr,
                         "xfer-dump: bad channel '%s' (STA:CHA[@BEGIN[,END]], names of "
                         "at most 7 characters, at most 64 of each)\n",
                         argv[optind]);
            return 2;
        }
    }

    // --seconds ends the dump through the link's own stop request, as the program's stop does.
    std::atomic<int> running{1};
    CLinkConnection link;
    link.runFlag = &running;
    link.silenceLimit = std::max(silence, 0);
    std::mutex timerLock;
    std::condition_variable timerWake;
    bool finished = false;
    std::thread timer;
    if (secondsLimit >= 0.0)
    {
        timer = std::thread(
            [&]
            {
                std::unique_lock lock(timerLock);
                if (!timerWake.wait_for(lock, std::chrono::duration<double>(secondsLimit),
                                        [&] { return finished; }))
                    running = 0;
            });
    }
    auto stopTimer = [&]
    {
        {
            std::lock_guard lock(timerLock);
            finished = true;
        }
        timerWake.notify_all();
        if (timer.joinable())
            timer.join();
    };

    auto config = std::make_unique<ServerConfig>();
    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    g_transferError = 0;
    const int connected = ConnectServer(link, host, port, *request, *config, retryMode);
    if (connected < 0)
    {
        stopTimer();
        const int code = g_transferError;
        if (json)
            PrintJson({{"type", "failed"}, {"result", connected}, {"code", code}});
        std::fprintf(stderr, "xfer-dump: connection to %s:%d failed (result %d): %s\n",
                     host.c_str(), port, connected,
                     ConnectFailureText(connected, host, code, link.systemError).c_str());
        return running ? ExitStatus(connected, code) : 0;
    }
    UniqueFd socket(connected);
    PrintConfig(*config, json);
    std::fflush(stdout);

    long packets = 0;
    int result = 0;
    while (packetLimit < 0 || packets < packetLimit)
    {
        result = RecvPacket(link, socket.Get(), *config, *raw);
        if (result != 0)
            break;
        if (raw->format == 3)
        {
            if (json)
                PrintJson({{"type", "format3"}, {"bytes", raw->byteCount}});
            else
                std::printf("format3 bytes %d\n", raw->byteCount);
            continue;
        }
        if (ConvertPacket(*config, *raw, *packet).Failed())
            continue;
        PrintPacket(*packet, shownSamples, json);
        ++packets;
    }
    stopTimer();
    const int code = g_transferError;
    const bool limitReached = result == 0 || code == kTransferStopped;
    const long long skipped = link.skippedPackets;
    if (json)
        PrintJson({{"type", "end"},
                   {"result", limitReached ? 0 : result},
                   {"code", limitReached ? 0 : code},
                   {"packets", packets},
                   {"skipped", skipped}});
    else if (result == 1)
        std::printf("end of stream after %ld packets, %lld skipped\n", packets, skipped);
    else if (limitReached)
        std::printf("stopped after %ld packets, %lld skipped\n", packets, skipped);
    else
        std::printf("failed after %ld packets, %lld skipped: code %d (%s)\n", packets, skipped,
                    code, LinkFailureText(code, link.systemError).c_str());
    std::fflush(stdout);
    if (result == 1 || limitReached)
        return 0;
    return ExitStatus(-1, code);
}
