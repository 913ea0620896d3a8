#include "link_fuzz_targets.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include "link/transfer_session.h"
#include "link/packet_decoding.h"
#include "link/transfer_error.h"

namespace tarvell::fuzz
{
namespace
{

// A broken promise of the decoders is a finding, like a crash.
void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool Terminated(const char* name)
{
    return std::memchr(name, 0, kNameTextSize) != nullptr;
}

void CheckConfig(const ServerConfig& config)
{
    Check(config.stationCount >= 0 && config.stationCount <= kMaxConfigStations);
    for (int s = 0; s < config.stationCount; ++s)
    {
        const ConfigStation& station = config.stations[s];
        Check(Terminated(station.name));
        Check(station.channelCount >= 0 && station.channelCount <= kMaxConfigChannels);
        for (int c = 0; c < station.channelCount; ++c)
            Check(Terminated(station.channels[c].name) && Terminated(station.channels[c].auxName));
    }
}

// Converts a decoded packet and reads every sample, so that a sample pointer past its data
// shows up under AddressSanitizer.
void CheckPacket(const ServerConfig& config, const RawPacket& raw, WaveformPacket& packet)
{
    if (raw.format != 1)
    {
        Check(raw.format == 3);
        return;
    }
    Check(ConvertPacket(config, raw, packet).Decoded());
    Check(packet.count > 0 && packet.count <= kMaxPacketSamples);
    std::int64_t sum = 0;
    for (int i = 0; i < packet.count; ++i)
        sum += packet.samples[i];
    Check(sum != INT64_MIN);
}

const ServerConfig& FixedConfig()
{
    static const std::unique_ptr<ServerConfig> config = []
    {
        auto made = std::make_unique<ServerConfig>();
        made->format = 1;
        made->stationCount = 2;
        auto channel = [](ConfigStation& station, const char* name, int wordSize,
                          std::uint32_t signature, std::uint32_t intervalUs)
        {
            ConfigChannel& entry = station.channels[station.channelCount++];
            std::strcpy(entry.name, name);
            entry.wordSize = wordSize;
            entry.byteOrderSignature = signature;
            entry.sampleIntervalUs = intervalUs;
            entry.sampleInterval = intervalUs / 1e6;
        };
        std::strcpy(made->stations[0].name, "STA1");
        channel(made->stations[0], "BHZ", 4, kOwnByteOrderSignature, 10000);
        channel(made->stations[0], "BHN", 2, 0x76543210, 12500);
        channel(made->stations[0], "BHE", 3, kOwnByteOrderSignature, 25000);
        std::strcpy(made->stations[1].name, "STA2");
        channel(made->stations[1], "HHZ", 2, kOwnByteOrderSignature, 5000);
        return made;
    }();
    return *config;
}

} // namespace

int FuzzDecodeConfig(const std::uint8_t* data, std::size_t size)
{
    static auto config = std::make_unique<ServerConfig>();
    if (DecodeConfig(data, size, *config).Decoded())
        CheckConfig(*config);
    else
        Check(config->stationCount <= kMaxConfigStations);
    return 0;
}

int FuzzDecodePacket(const std::uint8_t* data, std::size_t size)
{
    static auto raw = std::make_unique<RawPacket>();
    static auto packet = std::make_unique<WaveformPacket>();
    const ServerConfig& config = FixedConfig();
    const DecodeResult result = DecodePacket(config, *raw, data, size);
    Check(result.Decoded() || result.Skipped() || result.Failed());
    Check(!result.Failed() || result.fault == PacketFault::None);
    if (result.Decoded())
        CheckPacket(config, *raw, *packet);
    return 0;
}

int FuzzLinkStream(const std::uint8_t* data, std::size_t size)
{
    // What fits the socket's buffer at once; the stream then ends as if the server closed.
    size = std::min<std::size_t>(size, 64 * 1024);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    const int bufferSize = 256 * 1024;
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    std::size_t written = 0;
    while (written < size)
    {
        const ssize_t n = ::send(pair[1], data + written, size - written, MSG_DONTWAIT);
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    ::shutdown(pair[1], SHUT_WR);

    static auto config = std::make_unique<ServerConfig>();
    static auto raw = std::make_unique<RawPacket>();
    static auto packet = std::make_unique<WaveformPacket>();
    // The whole stream is in the socket already: no read has anything to wait for.
    static CLinkConnection link;
    link.silenceLimit = 0;
    if (RecvConfig(link, pair[0], *config) == 0)
    {
        CheckConfig(*config);
        int result = 0;
        while ((result = RecvPacket(link, pair[0], *config, *raw)) == 0)
            CheckPacket(*config, *raw, *packet);
        Check(result == 1 || result == -1);
    }
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
}

} // namespace tarvell::fuzz
