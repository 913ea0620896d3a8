// The client against xfer-sim over loopback: every coding of the samples, real miniSEED
// records, the requested begin time, and every fault the server can show.

#include <chrono>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "link/transfer_session.h"
#include "link/packet_decoding.h"
#include "link/transfer_error.h"
#include "link/transfer_request.h"
#include "link_test_support.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "sim_sources.h"
#include "synthetic_signal.h"

namespace tarvell
{
namespace
{

using Clock = std::chrono::steady_clock;

constexpr double kStart = 1158300000.0;
const std::string kTwentySeconds = "STA1:BHZ:100:1158300000:20"; // 2000 samples

struct Received
{
    std::string station;
    std::string channel;
    double begin = 0.0;
    double end = 0.0;
    std::uint32_t intervalUs = 0;
    std::vector<std::int32_t> samples;
};

struct Session
{
    int connect = 0; // ConnectServer's result
    int connectCode = 0;
    int end = 0;  // RecvPacket's last result
    int code = 0; // g_transferError after it
    std::vector<Received> packets;
    int format3 = 0;
    std::int64_t skipped = 0;
    double seconds = 0.0;

    std::vector<std::int32_t> AllSamples() const
    {
        std::vector<std::int32_t> all;
        for (const Received& packet : packets)
            all.insert(all.end(), packet.samples.begin(), packet.samples.end());
        return all;
    }
};

struct Wanted
{
    const char* station;
    const char* channel;
    double begin = -1.0;
};

// Connects like the program does and reads until the stream ends or fails.
Session Receive(int port, const std::vector<Wanted>& wanted, int silence = kDefaultSilenceLimit,
                int messageLimit = kDefaultMessageLimit)
{
    CLinkConnection link;
    link.silenceLimit = silence;
    link.messageLimit = messageLimit;
    auto request = std::make_unique<TransferRequest>();
    request->clientId = static_cast<int>(::getpid());
    for (const Wanted& w : wanted)
    {
        int s = 0;
        while (s < request->stationCount && FieldText(request->stations[s].name, 8) != w.station)
            ++s;
        if (s == request->stationCount)
            CopyToField(request->stations[request->stationCount++].name, kNameFieldSize, w.station);
        RequestStation& station = request->stations[s];
        RequestChannel& channel = station.channels[station.channelCount++];
        CopyToField(channel.name, kNameFieldSize, w.channel);
        channel.beginTime = w.begin;
    }
    auto config = std::make_unique<ServerConfig>();
    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    Session session;
    const auto start = Clock::now();
    g_transferError = 0;
    session.connect = ConnectServer(link, "127.0.0.1", port, *request, *config, 1);
    session.connectCode = g_transferError;
    if (session.connect >= 0)
    {
        UniqueFd socket(session.connect);
        while ((session.end = RecvPacket(link, socket.Get(), *config, *raw)) == 0)
        {
            if (ConvertPacket(*config, *raw, *packet).Failed())
            {
                ++session.format3;
                continue;
            }
            Received& copy = session.packets.emplace_back();
            copy.station = packet->station;
            copy.channel = packet->channel;
            copy.begin = packet->beginTime;
            copy.end = packet->endTime;
            copy.intervalUs = packet->sampleIntervalUs;
            copy.samples.assign(packet->samples, packet->samples + packet->count);
        }
        session.code = g_transferError;
        session.skipped = link.skippedPackets;
    }
    session.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return session;
}

std::vector<std::int32_t> Synthetic(std::int64_t first, std::int64_t count)
{
    std::vector<std::int32_t> samples;
    for (std::int64_t k = first; k < first + count; ++k)
        samples.push_back(sim::SyntheticSample(k));
    return samples;
}

// Consecutive packets of one channel continue each other: each begins where the previous
// one's samples end, to the microsecond.
void ExpectContinuous(const std::vector<Received>& packets)
{
    for (std::size_t i = 1; i < packets.size(); ++i)
    {
        const Received& previous = packets[i - 1];
        const double interval = previous.intervalUs / 1e6;
        EXPECT_NEAR(previous.begin + static_cast<double>(previous.samples.size()) * interval,
                    packets[i].begin, 1e-6)
            << "packet " << i;
    }
}

TEST(Loopback, EveryCodingWordSizeAndByteOrder)
{
    test::Sandbox sandbox;
    for (const char* compression : {"0", "1"})
        for (const char* wordSize : {"2", "4"})
            for (const char* order : {"native", "swapped"})
            {
                SCOPED_TRACE(std::string("compression ") + compression + " word " + wordSize +
                             " order " + order);
                test::CSimProcess sim(sandbox, {"--synthetic", kTwentySeconds, "--end-status", "1",
                                                "--compression", compression, "--word-size",
                                                wordSize, "--byte-order", order});
                const Session session = Receive(sim.Port(), {{"STA1", "BHZ"}});
                ASSERT_GE(session.connect, 0);
                EXPECT_EQ(session.end, 1);
                EXPECT_EQ(session.code, kTransferEndOfStream);
                EXPECT_EQ(session.AllSamples(), Synthetic(0, 2000));
                ASSERT_FALSE(session.packets.empty());
                EXPECT_EQ(session.packets.front().begin, kStart);
                ExpectContinuous(session.packets);
            }
}

TEST(Loopback, MiniSeedRecordsArriveWhole)
{
    test::Sandbox sandbox;
    sim::SimCatalog catalog;
    std::string error;
    ASSERT_TRUE(sim::AddMiniSeed(catalog, TARVELL_TEST_MSEED, &error)) << error;
    ASSERT_EQ(catalog.channels.size(), 1u);
    const sim::SimChannel& channel = catalog.channels[0];
    std::vector<std::int32_t> expected;
    for (const sim::SimSegment& segment : channel.segments)
        expected.insert(expected.end(), segment.samples.begin(), segment.samples.end());

    test::CSimProcess sim(sandbox, {"--mseed", TARVELL_TEST_MSEED, "--end-status", "1"});
    const Session session =
        Receive(sim.Port(), {{channel.station.c_str(), channel.channel.c_str()}});
    ASSERT_GE(session.connect, 0);
    EXPECT_EQ(session.end, 1);
    EXPECT_EQ(session.AllSamples(), expected);
    ASSERT_FALSE(session.packets.empty());
    EXPECT_NEAR(session.packets.front().begin,
                static_cast<double>(channel.segments.front().startUs) / 1e6, 1e-6);
    bool beyondSixteenBits = false;
    for (std::int32_t sample : expected)
        beyondSixteenBits |= sample > 32767 || sample < -32768;
    EXPECT_TRUE(beyondSixteenBits) << "the record file exercises long difference codes";
}

TEST(Loopback, RequestedBeginTimeAndEightyHertz)
{
    test::Sandbox sandbox;
    test::CSimProcess sim(sandbox, {"--synthetic", kTwentySeconds, "--synthetic",
                                    "STA1:HHZ:80:1158300000:10", "--end-status", "1"});
    const Session late = Receive(sim.Port(), {{"STA1", "BHZ", kStart + 5.0}});
    ASSERT_FALSE(late.packets.empty());
    EXPECT_EQ(late.packets.front().begin, kStart + 5.0);
    EXPECT_EQ(late.AllSamples(), Synthetic(500, 1500));
    EXPECT_NE(sim.Log().find("BHZ@1158300005.000000..-1.000000"), std::string::npos) << sim.Log();

    // 80 Hz: 12500 us, not a whole number of milliseconds. Every packet continues the one
    // before within one sample interval (the buffering's rule) and ends exactly
    // (N - 1) intervals after it begins.
    const Session eighty = Receive(sim.Port(), {{"STA1", "HHZ"}});
    ASSERT_GT(eighty.packets.size(), 5u);
    EXPECT_EQ(eighty.AllSamples(), Synthetic(0, 800));
    for (std::size_t i = 0; i < eighty.packets.size(); ++i)
    {
        const Received& packet = eighty.packets[i];
        EXPECT_EQ(packet.intervalUs, 12500u);
        EXPECT_EQ(packet.end,
                  packet.begin + static_cast<double>(packet.samples.size() - 1) * 0.0125);
        if (i == 0)
            continue;
        const Received& previous = eighty.packets[i - 1];
        EXPECT_LE(std::fabs(previous.begin + static_cast<double>(previous.samples.size()) * 0.0125 -
                            packet.begin),
                  0.0125)
            << "packet " << i;
    }
    ExpectContinuous(eighty.packets);
}

TEST(Loopback, FaultsOfTheStream)
{
    struct Case
    {
        const char* what;
        std::vector<std::string> switches;
        int end;
        int code;
        std::size_t packets; // waveform packets received
        std::size_t samples; // samples received
        int silence = kDefaultSilenceLimit;
        int messageLimit = kDefaultMessageLimit;
    };
    const Case cases[] = {
        {"close after 3", {"--close-after", "3"}, -1, kTransferSocketError, 3, 300},
        {"break every 2",
         {"--break-every", "2", "--end-status", "1"},
         1,
         kTransferEndOfStream,
         20,
         2000},
        {"end with status 1", {"--end-status", "1"}, 1, kTransferEndOfStream, 20, 2000},
        {"end with status 42", {"--end-status", "42"}, -1, 42, 20, 2000},
        {"oversized byte count", {"--oversize-after", "2"}, -1, kTransferTooLarge, 2, 200},
        {"oversized prefix", {"--oversize-prefix-after", "2"}, -1, kTransferTooLong, 2, 200},
        {"format 3 every 2",
         {"--format3-every", "2", "--end-status", "1"},
         1,
         kTransferEndOfStream,
         20,
         2000},
        {"gap after 3",
         {"--gap-after", "3", "--end-status", "1"},
         1,
         kTransferEndOfStream,
         19,
         1900},
        {"bad index after 2",
         {"--bad-index-after", "2", "--end-status", "1"},
         1,
         kTransferEndOfStream,
         20,
         2000},
        {"stall after 2", {"--stall-after", "2"}, -1, kTransferSocketError, 2, 200, 0},
        // A byte a second never falls silent: the whole message is given two seconds.
        {"trickle after 2",
         {"--trickle-after", "2"},
         -1,
         kTransferTooSlow,
         2,
         200,
         kDefaultSilenceLimit,
         2},
    };
    test::Sandbox sandbox;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::vector<std::string> arguments = {"--synthetic", kTwentySeconds};
        arguments.insert(arguments.end(), c.switches.begin(), c.switches.end());
        test::CSimProcess sim(sandbox, arguments);
        const Session session = Receive(sim.Port(), {{"STA1", "BHZ"}}, c.silence, c.messageLimit);
        ASSERT_GE(session.connect, 0);
        EXPECT_EQ(session.end, c.end);
        EXPECT_EQ(session.code, c.code);
        EXPECT_EQ(session.packets.size(), c.packets);
        EXPECT_EQ(session.AllSamples().size(), c.samples);
        if (c.silence == kDefaultSilenceLimit)
            EXPECT_LT(session.seconds, 10.0) << "no fault waits for the silence limit";
        else
            EXPECT_GE(session.seconds, 1.0) << "a stalled server is given up after the limit";
    }
}

TEST(Loopback, FaultDetailsGapFormatThreeAndSkippedPacket)
{
    test::Sandbox sandbox;
    {
        test::CSimProcess sim(
            sandbox, {"--synthetic", kTwentySeconds, "--gap-after", "3", "--end-status", "1"});
        const Session session = Receive(sim.Port(), {{"STA1", "BHZ"}});
        ASSERT_EQ(session.packets.size(), 19u);
        EXPECT_EQ(session.packets[3].begin, kStart + 4.0) << "the fourth second is missing";
        EXPECT_EQ(session.packets[3].samples, Synthetic(400, 100));
    }
    {
        test::CSimProcess sim(
            sandbox, {"--synthetic", kTwentySeconds, "--format3-every", "2", "--end-status", "1"});
        const Session session = Receive(sim.Port(), {{"STA1", "BHZ"}});
        EXPECT_EQ(session.format3, 10);
        EXPECT_EQ(session.AllSamples(), Synthetic(0, 2000));
    }
    {
        test::CSimProcess sim(sandbox, {"--synthetic", kTwentySeconds, "--bad-index-after", "2",
                                        "--end-status", "1"});
        const Session session = Receive(sim.Port(), {{"STA1", "BHZ"}});
        EXPECT_EQ(session.skipped, 1);
        EXPECT_EQ(session.AllSamples(), Synthetic(0, 2000));
    }
}

TEST(Loopback, OpeningExchangeRetries)
{
    test::Sandbox sandbox;
    {
        test::CSimProcess sim(
            sandbox, {"--synthetic", kTwentySeconds, "--retry-first", "2", "--end-status", "1"});
        const Session session = Receive(sim.Port(), {{"STA1", "BHZ"}});
        ASSERT_GE(session.connect, 0);
        EXPECT_EQ(sim.RequestCount(), 3);
        EXPECT_GE(session.seconds, 0.78) << "pauses of 260 and 520 ms";
        EXPECT_EQ(session.AllSamples().size(), 2000u);
    }
    {
        test::CSimProcess sim(
            sandbox, {"--synthetic", kTwentySeconds, "--retry-first", "1", "--retry-status", "7"});
        const Session session = Receive(sim.Port(), {{"STA1", "BHZ"}});
        EXPECT_EQ(session.connect, -1);
        EXPECT_EQ(session.connectCode, 7);
        EXPECT_EQ(sim.RequestCount(), 1);
    }
}

// xfer-dump, run as an operator would.
std::unique_ptr<test::CChildProcess> Dump(const test::Sandbox& sandbox,
                                          std::vector<std::string> arguments)
{
    static int serial = 0;
    auto dump = std::make_unique<test::CChildProcess>(XFER_DUMP_PATH, arguments, sandbox,
                                                      "dump" + std::to_string(++serial));
    return dump;
}

TEST(XferDump, PrintsConfigurationAndPackets)
{
    test::Sandbox sandbox;
    test::CSimProcess sim(sandbox, {"--synthetic", "STA1:BHZ:100:1158300277.5:2", "--synthetic",
                                    "STA1:BHN:80:1158300277.5:1", "--end-status", "1"});
    const std::string port = std::to_string(sim.Port());
    auto text = Dump(sandbox, {"--port", port, "--samples", "3", "127.0.0.1", "STA1:BHZ",
                               "sta1:bhn@2006-09-15T06:04:37.5"});
    EXPECT_EQ(text->Wait(), 0) << text->Stderr();
    const std::string out = text->Stdout();
    EXPECT_EQ(out.rfind("config format 1 word 0x00000001 stations 1\nstation STA1", 0), 0u) << out;
    EXPECT_NE(out.find("  channel BHN aux SIM word 4 order 0x10325476 interval 0.012500 s"),
              std::string::npos);
    EXPECT_NE(
        out.find("packet STA1 BHZ begin 2006:258-06:04:37.500 end 2006:258-06:04:38.490 count 100 "
                 "samples -2128 -1966 -2060 ...\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("end of stream after 3 packets, 0 skipped\n"), std::string::npos) << out;

    auto json = Dump(sandbox, {"--port", port, "--json", "--packets", "1", "--samples", "2",
                               "127.0.0.1", "STA1:BHN"});
    EXPECT_EQ(json->Wait(), 0) << json->Stderr();
    // One JSON document per line: the configuration, the packet, the end.
    std::vector<nlohmann::json> lines;
    std::istringstream stream(json->Stdout());
    for (std::string line; std::getline(stream, line);)
        lines.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(lines.size(), 3u) << json->Stdout();
    EXPECT_EQ(lines[0]["type"], "config");
    EXPECT_EQ(lines[0]["word"], 1);
    EXPECT_EQ(lines[0]["stations"][0]["name"], "STA1");
    EXPECT_EQ(lines[0]["stations"][0]["channels"][1]["intervalUs"], 12500);
    EXPECT_EQ(lines[1], nlohmann::json::parse(R"({"type":"packet","station":"STA1",
        "channel":"BHN","begin":1158300277.5,"end":1158300278.4875,"intervalUs":12500,
        "count":80,"samples":[-2128,-1966]})"));
    EXPECT_EQ(lines[2], nlohmann::json::parse(
                            R"({"type":"end","result":0,"code":0,"packets":1,"skipped":0})"));
}

TEST(XferDump, ExitStatusCarriesTheFailure)
{
    test::Sandbox sandbox;
    auto refused =
        Dump(sandbox, {"--port", std::to_string(test::UnusedPort()), "127.0.0.1", "STA1:BHZ"});
    EXPECT_EQ(refused->Wait(), 106);

    test::CSimProcess sim(sandbox, {"--synthetic", kTwentySeconds, "--oversize-after", "1"});
    auto oversized = Dump(sandbox, {"--port", std::to_string(sim.Port()), "127.0.0.1", "STA1:BHZ"});
    EXPECT_EQ(oversized->Wait(), kTransferTooLarge);
    EXPECT_NE(oversized->Stdout().find("failed after 1 packets, 0 skipped: code 10"),
              std::string::npos);

    auto bad = Dump(sandbox, {"127.0.0.1", "NOCOLON"});
    EXPECT_EQ(bad->Wait(), 2);
}

} // namespace
} // namespace tarvell
