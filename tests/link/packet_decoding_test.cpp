#include "link/packet_decoding.h"

#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/transfer_session.h"
#include "link/transfer_error.h"
#include "link_test_support.h"
#include "log/event_log.h"
#include "sim_encoder.h"

namespace tarvell
{
namespace
{

using test::CBytes;

constexpr double kFriday = 1158300277.5; // 2006-09-15 06:04:37.5

struct ChannelEntry
{
    const char* name = "BHZ";
    unsigned wordSize = 4;
    std::uint32_t signature = kOwnByteOrderSignature;
    std::uint32_t intervalUs = 10000;
    std::uint32_t divisor = 4;
    std::uint32_t dividend = 10;
};

// A configuration body laid out field by field as the server sends it.
std::vector<unsigned char> ConfigBody(int stations, int channels, const ChannelEntry& entry = {})
{
    CBytes body;
    body.U16(1).U32(0xCAFE).U16(static_cast<unsigned>(stations));
    for (int s = 0; s < stations; ++s)
    {
        body.Name(s == 0 ? "STA1" : "STAX").U32(1000000).U32(2000000).U32(0xFFFFFFFF).U32(0);
        body.U16(static_cast<unsigned>(channels));
        for (int c = 0; c < channels; ++c)
        {
            body.Name(c == 0 ? entry.name : "XXX").Name("AUX1").U16(entry.wordSize);
            body.U32(entry.signature).U32(entry.intervalUs).U32(entry.divisor).U32(entry.dividend);
            body.U32(123456).U32(500000).U32(250000);
            body.U32(0x450A4275).U32(500000).U32(0xFFFFFFFF).U32(0);
        }
    }
    return body.Body();
}

std::unique_ptr<ServerConfig> Config(const ChannelEntry& entry = {}, int stations = 1,
                                     int channels = 1)
{
    auto config = std::make_unique<ServerConfig>();
    const std::vector<unsigned char> body = ConfigBody(stations, channels, entry);
    EXPECT_TRUE(DecodeConfig(body.data(), body.size(), *config).Decoded());
    return config;
}

std::vector<unsigned char> PacketBody(unsigned compression, std::int32_t count,
                                      const std::vector<unsigned char>& bytes, unsigned station = 0,
                                      unsigned channel = 0)
{
    return CBytes()
        .U16(1)
        .U16(station)
        .U16(channel)
        .U32(0x450A4275)
        .U32(500000)
        .U16(7)
        .U16(compression)
        .U32(static_cast<std::uint32_t>(count))
        .U32(static_cast<std::uint32_t>(bytes.size()))
        .Raw(bytes)
        .Body();
}

// How Decode sums up a DecodeResult: 0 decoded, kSkipped, or -1 for a failure.
constexpr int kSkipped = 2;

struct Decoded
{
    int result = 0;
    int code = 0;
    PacketFault fault = PacketFault::None;
    std::vector<std::int32_t> samples;
    double begin = 0.0;
    double end = 0.0;
};

Decoded Decode(const ServerConfig& config, const std::vector<unsigned char>& body)
{
    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    Decoded out;
    g_transferError = -12345;
    const DecodeResult result = DecodePacket(config, *raw, body.data(), body.size());
    out.result = result.Decoded() ? 0 : result.Skipped() ? kSkipped : -1;
    out.fault = result.fault;
    out.code = result.Failed() ? result.code : -12345;
    EXPECT_EQ(g_transferError, -12345) << "decoding leaves the link's code alone";
    if (result.Decoded() && raw->format == 1 && ConvertPacket(config, *raw, *packet).Decoded())
    {
        out.samples.assign(packet->samples, packet->samples + packet->count);
        out.begin = packet->beginTime;
        out.end = packet->endTime;
    }
    return out;
}

TEST(DecodeConfig, FieldsAndScaling)
{
    ChannelEntry entry;
    entry.intervalUs = 12500;
    auto config = Config(entry);
    EXPECT_EQ(config->format, 1);
    EXPECT_EQ(config->configWord, 0xCAFEu);
    ASSERT_EQ(config->stationCount, 1);
    const ConfigStation& station = config->stations[0];
    EXPECT_STREQ(station.name, "STA1");
    EXPECT_FLOAT_EQ(station.values[0], 1.0f);
    EXPECT_FLOAT_EQ(station.values[1], 2.0f);
    EXPECT_FLOAT_EQ(station.values[2], 4294.967295f) << "unsigned, not -1";
    ASSERT_EQ(station.channelCount, 1);
    const ConfigChannel& channel = station.channels[0];
    EXPECT_STREQ(channel.name, "BHZ");
    EXPECT_STREQ(channel.auxName, "AUX1");
    EXPECT_EQ(channel.wordSize, 4);
    EXPECT_EQ(channel.byteOrderSignature, kOwnByteOrderSignature);
    EXPECT_EQ(channel.sampleIntervalUs, 12500u);
    EXPECT_EQ(channel.sampleInterval, 12500 / 1e6) << "exact, not rounded to 0.013";
    EXPECT_FLOAT_EQ(channel.calib, 2.5f);
    EXPECT_FLOAT_EQ(channel.calper, 1.23456f);
    EXPECT_FLOAT_EQ(channel.values[0], 0.5f);
    EXPECT_FLOAT_EQ(channel.values[1], 0.25f);
    EXPECT_EQ(channel.beginTime, kFriday);
    EXPECT_EQ(channel.endTime, -1.0);

    entry.divisor = 0;
    EXPECT_TRUE(std::isinf(Config(entry)->stations[0].channels[0].calib));
    entry.dividend = 0;
    EXPECT_TRUE(std::isnan(Config(entry)->stations[0].channels[0].calib));
}

TEST(DecodeConfig, LimitsFormatAndTruncation)
{
    struct Case
    {
        int stations;
        int channels;
        int result;
    };
    for (const Case c : {Case{64, 1, 0}, Case{65, 1, -1}, Case{1, 64, 0}, Case{1, 65, -1}})
    {
        auto config = std::make_unique<ServerConfig>();
        const std::vector<unsigned char> body = ConfigBody(c.stations, c.channels);
        const DecodeResult result = DecodeConfig(body.data(), body.size(), *config);
        EXPECT_EQ(result.code, c.result == 0 ? 0 : kTransferTooLarge)
            << c.stations << " x " << c.channels;
        if (c.result == 0)
        {
            EXPECT_EQ(config->stationCount * config->stations[0].channelCount,
                      c.stations * c.channels);
        }
    }

    auto config = std::make_unique<ServerConfig>();
    std::vector<unsigned char> body = ConfigBody(2, 3);
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{7}, body.size() - 1})
    {
        EXPECT_EQ(DecodeConfig(body.data(), cut, *config).code, kTransferTooLarge) << cut;
        EXPECT_LE(config->stationCount, 1) << "only whole stations count";
    }
    body[1] = 2;
    EXPECT_EQ(DecodeConfig(body.data(), body.size(), *config).code, kTransferBadFormat);
}

TEST(DecodeConfig, NameOfEightCharactersIsKeptWhole)
{
    ChannelEntry entry;
    entry.name = "LONGNAME";
    auto config = Config(entry);
    EXPECT_STREQ(config->stations[0].channels[0].name, "LONGNAME");
    EXPECT_EQ(config->unterminatedNames, 1);
}

TEST(DecodePacket, WorkedExampleThroughTheSocket)
{
    auto config = Config();
    const std::vector<unsigned char> message = {
        0x00, 0x00, 0x00, 0x1E, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x45, 0x0A,
        0x42, 0x75, 0x00, 0x07, 0xA1, 0x20, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
        0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x82, 0x03, 0x05, 0x04};
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_TRUE(test::WriteAll(pair[1], message));
    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    const std::int64_t totalBefore = g_receivedTotal.load();
    CLinkConnection link;
    ASSERT_EQ(RecvPacket(link, pair[0], *config, *raw), 0);
    EXPECT_EQ(g_receivedTotal.load() - totalBefore, 30);
    EXPECT_EQ(raw->compression, 0);
    EXPECT_EQ(raw->byteCount, 12);
    ASSERT_TRUE(ConvertPacket(*config, *raw, *packet).Decoded());
    EXPECT_STREQ(packet->station, "STA1");
    EXPECT_STREQ(packet->channel, "BHZ");
    EXPECT_STREQ(packet->auxName, "AUX1");
    EXPECT_EQ(packet->beginTime, kFriday);
    EXPECT_EQ(packet->endTime, kFriday + 2 * 0.01);
    EXPECT_EQ(packet->count, 3);
    EXPECT_EQ(std::vector<std::int32_t>(packet->samples, packet->samples + 3),
              (std::vector<std::int32_t>{193, 191, 193}));
    EXPECT_EQ(packet->samples, raw->data) << "32-bit samples are handed on in place";
    EXPECT_FLOAT_EQ(packet->calib, 2.5f);
    ::close(pair[0]);
    ::close(pair[1]);
}

TEST(DecodePacket, DifferenceCodingAndByteOrder)
{
    struct Case
    {
        const char* what;
        unsigned wordSize;
        std::uint32_t signature;
        unsigned compression;
        std::vector<unsigned char> bytes;
        std::vector<std::int32_t> samples;
    };
    const std::uint32_t other = 0x76543210;
    const Case cases[] = {
        {"coded, 32-bit", 4, kOwnByteOrderSignature, 1, {0xC8, 0x01, 0x0B, 0x00}, {100, 95, 95}},
        {"coded, 16-bit", 2, kOwnByteOrderSignature, 1, {0xC8, 0x01, 0x0B, 0x00}, {100, 95, 95}},
        {"coded ignores the signature", 4, other, 1, {0x82, 0x03, 0x05, 0x04}, {193, 191, 193}},
        {"16-bit own order", 2, kOwnByteOrderSignature, 0, {0xFE, 0xFF, 0x01, 0x02}, {-2, 0x0201}},
        {"16-bit other order", 2, other, 0, {0xFF, 0xFE, 0x01, 0x02}, {-2, 0x0102}},
        {"32-bit own order", 4, kOwnByteOrderSignature, 0, {0x01, 0x02, 0x03, 0x04}, {0x04030201}},
        {"32-bit other order", 4, other, 0, {0xFF, 0xFF, 0xFF, 0xFE}, {-2}},
        // 16-bit differences wrap: 32767 + 1 is -32768.
        {"16-bit wrap", 2, kOwnByteOrderSignature, 1, {0xFE, 0xFF, 0x03, 0x02}, {32767, -32768}},
        // The largest magnitude: five bytes.
        {"32-bit five-byte value",
         4,
         kOwnByteOrderSignature,
         1,
         {0x81, 0x80, 0x80, 0x80, 0x10},
         {std::numeric_limits<std::int32_t>::min()}},
    };
    for (const Case& c : cases)
    {
        ChannelEntry entry;
        entry.wordSize = c.wordSize;
        entry.signature = c.signature;
        auto config = Config(entry);
        const Decoded decoded =
            Decode(*config,
                   PacketBody(c.compression, static_cast<std::int32_t>(c.samples.size()), c.bytes));
        EXPECT_EQ(decoded.result, 0) << c.what;
        EXPECT_EQ(decoded.samples, c.samples) << c.what;
    }
}

TEST(DecodePacket, ByteCountLimitsAndFatalFaults)
{
    auto config = Config();
    EXPECT_EQ(Decode(*config, PacketBody(0, 256, std::vector<unsigned char>(1024, 1))).result, 0);
    // The largest coded packet: 1024 one-byte values fill the 4096-byte data area.
    EXPECT_EQ(Decode(*config, PacketBody(1, 1024, std::vector<unsigned char>(1024, 0))).result, 0);

    struct Case
    {
        const char* what;
        std::vector<unsigned char> body;
        int code;
    };
    std::vector<unsigned char> header = PacketBody(0, 1, {});
    auto withByteCount = [&](std::uint32_t count)
    {
        std::vector<unsigned char> body = header;
        body[22] = static_cast<unsigned char>(count >> 24);
        body[23] = static_cast<unsigned char>(count >> 16);
        body[24] = static_cast<unsigned char>(count >> 8);
        body[25] = static_cast<unsigned char>(count);
        return body;
    };
    ChannelEntry oddWord;
    oddWord.wordSize = 3;
    const Case cases[] = {
        {"byte count 1025", withByteCount(1025), kTransferTooLarge},
        {"byte count -1", withByteCount(0xFFFFFFFF), kTransferBadValue},
        {"body shorter than its byte count", withByteCount(8), kTransferTooLarge},
        {"header cut short", std::vector<unsigned char>(header.begin(), header.begin() + 20),
         kTransferTooLarge},
        {"compression 2", PacketBody(2, 1, {0, 0, 0, 0}), kTransferBadValue},
        {"format 2", CBytes().U16(2).U32(0).Body(), kTransferBadFormat},
        {"empty body", {}, kTransferTooLarge},
    };
    for (const Case& c : cases)
    {
        const Decoded decoded = Decode(*config, c.body);
        EXPECT_EQ(decoded.result, -1) << c.what;
        EXPECT_EQ(decoded.code, c.code) << c.what;
    }
    const Decoded odd = Decode(*Config(oddWord), PacketBody(0, 1, {0, 0, 0}));
    EXPECT_EQ(odd.result, -1);
    EXPECT_EQ(odd.code, kTransferBadValue);
}

TEST(DecodePacket, PacketsThatDoNotFitAreSkippedNeverOverrun)
{
    auto config = Config();
    ChannelEntry shortWords;
    shortWords.wordSize = 2;
    auto config16 = Config(shortWords);
    struct Case
    {
        const char* what;
        const ServerConfig* config;
        std::vector<unsigned char> body;
        PacketFault fault;
    };
    const Case cases[] = {
        {"station index", config.get(), PacketBody(0, 1, {0, 0, 0, 0}, 1, 0),
         PacketFault::StationIndex},
        {"station index far out", config.get(), PacketBody(0, 1, {0, 0, 0, 0}, 0xFFFF, 0),
         PacketFault::StationIndex},
        {"channel index", config.get(), PacketBody(0, 1, {0, 0, 0, 0}, 0, 1),
         PacketFault::ChannelIndex},
        {"no samples", config.get(), PacketBody(0, 0, {}), PacketFault::SampleCount},
        {"negative count", config.get(), PacketBody(1, -3, {0, 0, 0}), PacketFault::SampleCount},
        {"N x 4 is not B", config.get(), PacketBody(0, 3, std::vector<unsigned char>(8, 0)),
         PacketFault::ByteCountMismatch},
        {"N x 2 is not B", config16.get(), PacketBody(0, 3, std::vector<unsigned char>(8, 0)),
         PacketFault::ByteCountMismatch},
        {"1025 coded 32-bit samples", config.get(),
         PacketBody(1, 1025, std::vector<unsigned char>(1024, 0)), PacketFault::TooManySamples},
        {"2049 coded 16-bit samples", config16.get(),
         PacketBody(1, 2049, std::vector<unsigned char>(1024, 0)), PacketFault::TooManySamples},
        {"values run past B", config.get(), PacketBody(1, 4, {0x82, 0x03, 0x05, 0x04}),
         PacketFault::ShortCoding},
        {"value cut in the middle", config.get(), PacketBody(1, 1, {0x82}),
         PacketFault::ShortCoding},
        {"value of six bytes", config.get(), PacketBody(1, 1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}),
         PacketFault::ShortCoding},
    };
    for (const Case& c : cases)
    {
        const Decoded decoded = Decode(*c.config, c.body);
        EXPECT_EQ(decoded.result, kSkipped) << c.what;
        EXPECT_EQ(decoded.fault, c.fault) << c.what;
        EXPECT_EQ(decoded.code, -12345) << c.what << ": a skip is no failure of the link";
    }
}

TEST(DecodePacket, TimesAndFormatThree)
{
    ChannelEntry eighty;
    eighty.intervalUs = 12500;
    auto config = Config(eighty);
    const Decoded one = Decode(*config, PacketBody(0, 1, {1, 0, 0, 0}));
    EXPECT_EQ(one.end, one.begin) << "one sample ends where it begins";

    // 100 samples at 80 Hz end 99 intervals later and cover 1.25 s: the next packet of a
    // continuous stream begins exactly there. (Rounded to 0.013 s they would seem to end at
    // 1.287 s and cover 1.3 s, so every following packet would look like an overlap.)
    const Decoded hundred = Decode(*config, PacketBody(0, 100, std::vector<unsigned char>(400, 0)));
    EXPECT_EQ(hundred.end, kFriday + 99 * 0.0125);
    EXPECT_NEAR(hundred.begin + 100 * (12500 / 1e6), kFriday + 1.25, 1e-9);

    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    const std::vector<unsigned char> format3 = CBytes().U16(3).U32(5).Raw({1, 2, 3, 4, 5}).Body();
    ASSERT_TRUE(DecodePacket(*config, *raw, format3.data(), format3.size()).Decoded());
    EXPECT_EQ(raw->format, 3);
    EXPECT_EQ(raw->byteCount, 5);
    EXPECT_EQ(ConvertPacket(*config, *raw, *packet).code, kTransferBadFormat);
}

TEST(DecodePacket, EverythingTheServersEncoderWritesComesBackExactly)
{
    std::mt19937 random(20060915);
    std::uniform_int_distribution<std::int32_t> any(std::numeric_limits<std::int32_t>::min(),
                                                    std::numeric_limits<std::int32_t>::max());
    std::uniform_int_distribution<int> small(-300, 300);
    std::uniform_int_distribution<int> length(1, 400);
    for (int compression : {0, 1})
        for (int wordSize : {2, 4})
            for (bool swapped : {false, true})
            {
                sim::EncodingOptions options;
                options.compression = compression;
                options.wordSize = wordSize;
                options.swapped = swapped;
                sim::ConfigEntryStation station{"STA1", {{"BHZ", "", 10000}}};
                const std::vector<unsigned char> configMessage =
                    sim::EncodeConfig({station}, options);
                auto config = std::make_unique<ServerConfig>();
                ASSERT_EQ(
                    DecodeConfig(configMessage.data() + 4, configMessage.size() - 4, *config).code,
                    0);
                for (int round = 0; round < 60; ++round)
                {
                    std::vector<std::int32_t> samples(static_cast<std::size_t>(length(random)));
                    std::int32_t walk = 0;
                    for (std::int32_t& sample : samples)
                        sample = round % 3 == 0 ? any(random) : (walk += small(random));
                    if (round == 0)
                        samples = {std::numeric_limits<std::int32_t>::min(),
                                   std::numeric_limits<std::int32_t>::max(),
                                   0,
                                   -1,
                                   32767,
                                   -32768};
                    int encoded = 0;
                    const std::vector<unsigned char> message =
                        sim::EncodePacket(0, 0, 1158300277500000, 0, samples, options, &encoded);
                    const Decoded decoded = Decode(
                        *config, std::vector<unsigned char>(message.begin() + 4, message.end()));
                    ASSERT_EQ(decoded.result, 0);
                    std::vector<std::int32_t> expected(samples.begin(), samples.begin() + encoded);
                    if (wordSize == 2)
                        for (std::int32_t& sample : expected)
                            sample = std::clamp(sample, -32768, 32767);
                    ASSERT_EQ(decoded.samples, expected)
                        << "compression " << compression << " word " << wordSize << " swapped "
                        << swapped << " round " << round;
                    EXPECT_EQ(decoded.begin, kFriday);
                }
            }
}

// Runs body on a thread of its own, so the connection state it sees starts fresh.
template <typename Body> void OnFreshThread(Body body)
{
    std::thread thread(body);
    thread.join();
}

TEST(RecvPacket, BreaksStatusesAndSkippedPacketsOnTheStream)
{
    test::Sandbox sandbox;
    const std::string ini =
        sandbox.Write("tarvell.ini", "[LOG]\nDIR=" + sandbox.File("log") + "\n");
    InitLog(ini);
    auto config = Config();
    OnFreshThread(
        [&]
        {
            int pair[2];
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            const std::vector<unsigned char> good =
                CBytes().Raw(PacketBody(0, 1, {1, 0, 0, 0})).Framed();
            const std::vector<unsigned char> badIndex =
                CBytes().Raw(PacketBody(0, 1, {1, 0, 0, 0}, 3, 0)).Framed();
            const std::vector<unsigned char> pause = CBytes().Framed(); // a break
            std::vector<unsigned char> stream;
            for (const auto* part : {&pause, &good, &badIndex, &badIndex, &good})
                stream.insert(stream.end(), part->begin(), part->end());
            const std::vector<unsigned char> status0 = CBytes().U32(0).Framed();
            stream.insert(stream.begin() + 4, status0.begin(), status0.end());
            const std::vector<unsigned char> end = CBytes().U32(1).Framed();
            stream.insert(stream.end(), pause.begin(), pause.end());
            stream.insert(stream.end(), end.begin(), end.end());
            ASSERT_TRUE(test::WriteAll(pair[1], stream));

            auto raw = std::make_unique<RawPacket>();
            CLinkConnection link;
            EXPECT_EQ(RecvPacket(link, pair[0], *config, *raw), 0) << "the break and status 0 pass";
            EXPECT_EQ(link.skippedPackets, 0);
            EXPECT_EQ(RecvPacket(link, pair[0], *config, *raw), 0)
                << "the two bad packets are passed over";
            EXPECT_EQ(link.skippedPackets, 2);
            // The connection's counters: what the status server reports of the link.
            EXPECT_EQ(link.Counters().packetsReceived.load(), 2);
            EXPECT_EQ(link.Counters().packetsSkipped.load(), 2);
            EXPECT_EQ(link.Counters().bytesReceived.load(),
                      static_cast<std::int64_t>(stream.size() - pause.size() - end.size()));
            EXPECT_EQ(RecvPacket(link, pair[0], *config, *raw), 1);
            EXPECT_EQ(g_transferError, kTransferEndOfStream);

            const std::vector<unsigned char> other = CBytes().U32(42).Framed();
            ASSERT_TRUE(test::WriteAll(pair[1], pause));
            ASSERT_TRUE(test::WriteAll(pair[1], other));
            EXPECT_EQ(RecvPacket(link, pair[0], *config, *raw), -1);
            EXPECT_EQ(g_transferError, 42);

            // A status message too short to hold its code.
            ASSERT_TRUE(test::WriteAll(pair[1], pause));
            ASSERT_TRUE(test::WriteAll(pair[1], CBytes().U16(1).Framed()));
            EXPECT_EQ(RecvPacket(link, pair[0], *config, *raw), -1);
            EXPECT_EQ(g_transferError, kTransferTooLarge);
            ::close(pair[0]);
            ::close(pair[1]);
        });
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(sandbox.File("log")))
        log += test::ReadFile(entry.path().string());
    ResetLogForTest();
    std::size_t lines = 0;
    for (std::size_t at = log.find("skipped: station index"); at != std::string::npos;
         at = log.find("skipped: station index", at + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << log;
}

TEST(RecvConfig, BreakInsteadOfTheConfigurationGivesTheServersStatus)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto config = std::make_unique<ServerConfig>();
    CLinkConnection link;
    ASSERT_TRUE(test::WriteAll(pair[1], CBytes().Framed()));
    ASSERT_TRUE(test::WriteAll(pair[1], CBytes().U32(13).Framed()));
    EXPECT_EQ(RecvConfig(link, pair[0], *config), -1);
    EXPECT_EQ(g_transferError, kTransferRetryStatus);

    ASSERT_TRUE(test::WriteAll(pair[1], CBytes().Raw(ConfigBody(2, 2)).Framed()));
    EXPECT_EQ(RecvConfig(link, pair[0], *config), 0);
    EXPECT_EQ(config->stationCount, 2);
    ::close(pair[0]);
    ::close(pair[1]);
}

} // namespace
} // namespace tarvell
