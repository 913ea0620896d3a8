// xfer-sim: a waveform server speaking the server side of the transfer protocol, serving
// synthetic signals and miniSEED records, with switches for the faults real servers show.
// Used by the tests, the benchmarks and the demo. Runs until SIGINT or SIGTERM.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <getopt.h>

#include "sim_server.h"

namespace
{

using tarvell::sim::SimCatalog;
using tarvell::sim::SimOptions;

const char kUsage[] =
    "usage: xfer-sim [options]\n"
    "  --bind ADDR              listen address (127.0.0.1)\n"
    "  --port N                 listen port (14002; 0 = any free port)\n"
    "  --port-file FILE         write the port listened on to FILE\n"
    "  --synthetic STA:CHA:RATE[:START[:SECONDS]]\n"
    "                           a synthetic channel (repeatable); START epoch seconds or now\n"
    "  --mseed FILE             the channels of a miniSEED file (repeatable)\n"
    "  --compression 0|1        sample coding: none or difference coding (1)\n"
    "  --word-size 2|4          bytes per sample (4)\n"
    "  --byte-order native|swapped  uncompressed sample order (native: little-endian)\n"
    "  --samples N              samples per packet (100)\n"
    "  --realtime               pace packets to real time (default: as fast as possible)\n"
    "  --keepalive SECONDS      break + status 0 after this long with nothing to send (10)\n"
    "  --close-after N          close each connection after N packets\n"
    "  --break-every N          break + status 0 after every N packets\n"
    "  --end-status S           when the data are sent: break + status S, then close\n"
    "  --retry-first K          answer the first K requests with a status (then close)\n"
    "  --retry-status S         that status (13)\n"
    "  --oversize-after N       after N packets, one with a byte count of 1025\n"
    "  --oversize-prefix-after N  after N packets, a length prefix of 362257\n"
    "  --format3-every N        a format-3 packet after every N packets\n"
    "  --gap-after N            each channel leaves out the packet after its N-th\n"
    "  --stall-after N          after N packets send nothing more, keep the connection\n"
    "  --stall-channel STA:CHA:N  that channel sends nothing after its N-th packet of each\n"
    "                           connection; the others go on (repeatable)\n"
    "  --bad-index-after N      after N packets, one with a station index out of range\n"
    "  --forget-after N         close the first connection after N packets, and serve every\n"
    "                           later one from the oldest data, whatever it asks\n"
    "  --future-after N         after N packets, one packet of that channel dated 2038\n"
    "  --trickle-after N        after N packets, send the next one a byte a second\n"
    "  --log FILE               append log lines to FILE (default stderr)\n";

bool ParseInt(const char* text, int minimum, int maximum, int* value)
{
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || parsed < minimum || parsed > maximum)
        return false;
    *value = static_cast<int>(parsed);
    return true;
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "xfer-sim: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    enum Option
    {
        kBind = 1000,
        kPort,
        kPortFile,
        kSynthetic,
        kMseed,
        kCompression,
        kWordSize,
        kByteOrder,
        kSamples,
        kRealtime,
        kKeepalive,
        kCloseAfter,
        kBreakEvery,
        kEndStatus,
        kRetryFirst,
        kRetryStatus,
        kOversizeAfter,
        kOversizePrefixAfter,
        kFormat3Every,
        kGapAfter,
        kStallAfter,
        kBadIndexAfter,
        kStallChannel,
        kForgetAfter,
        kFutureAfter,
        kTrickleAfter,
        kLog,
        kHelp,
    };
    const option options[] = {
        {"bind", required_argument, nullptr, kBind},
        {"port", required_argument, nullptr, kPort},
        {"port-file", required_argument, nullptr, kPortFile},
        {"synthetic", required_argument, nullptr, kSynthetic},
        {"mseed", required_argument, nullptr, kMseed},
        {"compression", required_argument, nullptr, kCompression},
        {"word-size", required_argument, nullptr, kWordSize},
        {"byte-order", required_argument, nullptr, kByteOrder},
        {"samples", required_argument, nullptr, kSamples},
        {"realtime", no_argument, nullptr, kRealtime},
        {"keepalive", required_argument, nullptr, kKeepalive},
        {"close-after", required_argument, nullptr, kCloseAfter},
        {"break-every", required_argument, nullptr, kBreakEvery},
        {"end-status", required_argument, nullptr, kEndStatus},
        {"retry-first", required_argument, nullptr, kRetryFirst},
        {"retry-status", required_argument, nullptr, kRetryStatus},
        {"oversize-after", required_argument, nullptr, kOversizeAfter},
        {"oversize-prefix-after", required_argument, nullptr, kOversizePrefixAfter},
        {"format3-every", required_argument, nullptr, kFormat3Every},
        {"gap-after", required_argument, nullptr, kGapAfter},
        {"stall-after", required_argument, nullptr, kStallAfter},
        {"bad-index-after", required_argument, nullptr, kBadIndexAfter},
        {"stall-channel", required_argument, nullptr, kStallChannel},
        {"forget-after", required_argument, nullptr, kForgetAfter},
        {"future-after", required_argument, nullptr, kFutureAfter},
        {"trickle-after", required_argument, nullptr, kTrickleAfter},
        {"log", required_argument, nullptr, kLog},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };

    SimOptions settings;
    SimCatalog catalog;
    std::string portFile;
    std::string logPath;
    const std::int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
    constexpr int kMax = 1 << 30;
    int opt = 0;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1)
    {
        std::string error;
        bool ok = true;
        switch (opt)
        {
        case kBind:
            settings.bindAddress = optarg;
            break;
        case kPort:
            ok = ParseInt(optarg, 0, 65535, &settings.port);
            break;
        case kPortFile:
            portFile = optarg;
            break;
        case kSynthetic:
            if (!tarvell::sim::AddSynthetic(catalog, optarg, nowUs, &error))
                return Fail(error);
            break;
        case kMseed:
            if (!tarvell::sim::AddMiniSeed(catalog, optarg, &error))
                return Fail(error);
            break;
        case kCompression:
            ok = ParseInt(optarg, 0, 1, &settings.encoding.compression);
            break;
        case kWordSize:
            ok = ParseInt(optarg, 2, 4, &settings.encoding.wordSize) &&
                 settings.encoding.wordSize != 3;
            break;
        case kByteOrder:
            ok = std::strcmp(optarg, "native") == 0 || std::strcmp(optarg, "swapped") == 0;
            settings.encoding.swapped = std::strcmp(optarg, "swapped") == 0;
            break;
        case kSamples:
            ok = ParseInt(optarg, 1, 2048, &settings.samplesPerPacket);
            break;
        case kRealtime:
            settings.realtime = true;
            break;
        case kKeepalive:
            settings.keepaliveSeconds = std::strtod(optarg, nullptr);
            ok = settings.keepaliveSeconds > 0.0;
            break;
        case kCloseAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.closeAfter);
            break;
        case kBreakEvery:
            ok = ParseInt(optarg, 1, kMax, &settings.breakEvery);
            break;
        case kEndStatus:
            ok = ParseInt(optarg, 0, kMax, &settings.endStatus);
            break;
        case kRetryFirst:
            ok = ParseInt(optarg, 0, kMax, &settings.retryFirst);
            break;
        case kRetryStatus:
            ok = ParseInt(optarg, 0, kMax, &settings.retryStatus);
            break;
        case kOversizeAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.oversizeAfter);
            break;
        case kOversizePrefixAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.oversizePrefixAfter);
            break;
        case kFormat3Every:
            ok = ParseInt(optarg, 1, kMax, &settings.format3Every);
            break;
        case kGapAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.gapAfter);
            break;
        case kStallAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.stallAfter);
            break;
        case kStallChannel:
        {
            // STA:CHA:N; names as the server keeps them (upper case).
            const std::string text = optarg;
            const std::size_t last = text.rfind(':');
            int count = 0;
            ok = last != std::string::npos && text.find(':') < last &&
                 ParseInt(text.c_str() + last + 1, 1, kMax, &count);
            if (ok)
                settings.stallChannels.emplace_back(text.substr(0, last), count);
            break;
        }
        case kBadIndexAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.badIndexAfter);
            break;
        case kForgetAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.forgetAfter);
            break;
        case kFutureAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.futureAfter);
            break;
        case kTrickleAfter:
            ok = ParseInt(optarg, 1, kMax, &settings.trickleAfter);
            break;
        case kLog:
            logPath = optarg;
            break;
        case kHelp:
            std::fputs(kUsage, stdout);
            return 0;
        default:
            std::fputs(kUsage, stderr);
            return 2;
        }
        if (!ok)
            return Fail(std::string("bad value '") + (optarg ? optarg : "") + "' for --" +
                        options[opt - kBind].name);
    }
    if (optind < argc)
        return Fail(std::string("unexpected argument '") + argv[optind] + "'");
    std::string error;
    if (!tarvell::sim::CheckCatalog(catalog, &error))
        return Fail(error);

    std::FILE* logFile = stderr;
    if (!logPath.empty() && (logFile = std::fopen(logPath.c_str(), "a")) == nullptr)
        return Fail("cannot open log file " + logPath + ": " + std::strerror(errno));
    tarvell::sim::CSimLog log(logFile);

    // The signals are taken by sigwait below; blocked before any thread starts, so every
    // thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    tarvell::sim::CSimServer server(std::move(catalog), settings, log);
    if (!server.Start(&error))
        return Fail(error);
    log.Line("listening on " + settings.bindAddress + ":" + std::to_string(server.Port()));
    if (!portFile.empty())
    {
        // Written beside and renamed, so a reader never sees a half-written number.
        const std::string temporary = portFile + ".tmp";
        std::FILE* out = std::fopen(temporary.c_str(), "w");
        if (out == nullptr || std::fprintf(out, "%d\n", server.Port()) < 0 ||
            std::fclose(out) != 0 || std::rename(temporary.c_str(), portFile.c_str()) != 0)
            return Fail("cannot write port file " + portFile);
    }

    int signal = 0;
    sigwait(&stopSignals, &signal);
    log.Line(std::string("stopping on ") + strsignal(signal));
    server.Stop();
    return 0;
}
