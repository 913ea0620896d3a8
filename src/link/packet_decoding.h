#pragma once
// Decoding the messages the server sends after the request: its configuration and the
// waveform packets. Pure functions of bytes: no socket, no log, no process-wide state; the
// transfer session reads the messages and reports what these functions find.
// Any thread; a ServerConfig, RawPacket and WaveformPacket belong to one connection.

#include <cstddef>
#include <cstdint>

#include "link/waveform_packet.h"

namespace tarvell
{

inline constexpr int kMaxConfigStations = 64;
inline constexpr int kMaxConfigChannels = 64;
inline constexpr int kMaxSampleBytes = 1024; // sample bytes one packet may carry
inline constexpr int kPacketDataSize = 4096; // the decoded samples of one packet

// Byte-order signature of a channel whose samples come in the client's own order
// (little-endian); any other signature means every sample is byte-reversed.
inline constexpr std::uint32_t kOwnByteOrderSignature = 0x10325476;

struct ConfigChannel
{
    char name[kNameTextSize] = {};
    char auxName[kNameTextSize] = {};
    int wordSize = 0; // bytes per sample, 2 or 4 (checked per packet)
    std::uint32_t byteOrderSignature = 0;
    std::uint32_t sampleIntervalUs = 0; // as sent
    double sampleInterval = 0.0;        // seconds, sampleIntervalUs / 1e6, exact to the us
    float calib = 0.0f;                 // dividend / divisor (infinite or NaN for divisor 0)
    float calper = 0.0f;
    float values[2] = {};   // channel values 3 and 4
    double beginTime = 0.0; // kept, not used
    double endTime = 0.0;   // kept, not used
};

struct ConfigStation
{
    char name[kNameTextSize] = {};
    float values[4] = {};
    int channelCount = 0;
    ConfigChannel channels[kMaxConfigChannels];
};

struct ServerConfig
{
    int format = 0;
    std::uint32_t configWord = 0; // kept, not used
    int stationCount = 0;
    ConfigStation stations[kMaxConfigStations];
    int unterminatedNames = 0; // name fields that filled all 8 bytes without a terminator
};

struct RawPacket
{
    int format = 0; // 1 waveform, 3 other (read and ignored)
    int stationIndex = 0;
    int channelIndex = 0;
    double beginTime = 0.0;
    int tag = 0;
    int compression = 0; // 0 none, 1 difference coding; 0 once the samples are expanded
    int count = 0;       // sample count N
    int byteCount = 0;   // B; after expansion N x word size
    // The data area, 32-bit words so that 32-bit samples can be handed on in place; byte
    // access through Bytes().
    std::int32_t data[kPacketDataSize / 4] = {};

    unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(data); }
    const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(data); }
};

// Why a well-formed message carried a packet that cannot be used. Such a packet is skipped
// and the connection goes on: a server that disagrees with the client about one channel
// must not cost the data of every other channel by endless reconnections.
enum class PacketFault
{
    None,
    StationIndex,      // station index not below the configuration's station count
    ChannelIndex,      // channel index not below the station's channel count
    SampleCount,       // sample count not positive
    ByteCountMismatch, // uncompressed: N x word size differs from the byte count
    TooManySamples,    // compressed: N x word size exceeds the 4096-byte data area
    ShortCoding,       // compressed: the N values run past the byte count, or a value is
                       // longer than 5 bytes
};

// What a decoder made of one message: decoded, a packet to skip (fault set), or a failure
// that ends the connection (code set: 3, 10 or 11).
struct DecodeResult
{
    int code = 0;
    PacketFault fault = PacketFault::None;

    bool Decoded() const { return code == 0 && fault == PacketFault::None; }
    bool Skipped() const { return code == 0 && fault != PacketFault::None; }
    bool Failed() const { return code != 0; }
};

// A short text for fault, for the event log.
const char* PacketFaultText(PacketFault fault);

// Decodes a configuration message body of length bytes into config. Fails with code 3 for a
// format other than 1, 10 for more than 64 stations or channels or a body shorter than the
// entries it declares.
[[nodiscard]] DecodeResult DecodeConfig(const unsigned char* body, std::size_t length,
                                        ServerConfig& config);

// Decodes a packet message body of length bytes into packet and expands its samples
// (ExpandSamples). Skipped (fault set) for a packet that does not fit the configuration or
// whose samples do not fit their fields. Fails with code 3 for a format other than 1 and 3,
// 10 for a byte count above 1024 or a body shorter than its fields, 11 for a negative byte
// count, or the code of ExpandSamples.
[[nodiscard]] DecodeResult DecodePacket(const ServerConfig& config, RawPacket& packet,
                                        const unsigned char* body, std::size_t length);

// Turns the B sample bytes of a format-1 packet into N samples of the channel's word size
// in the client's own byte order, in place in the data area; sets compression 0 and the
// byte count to N x word size. Format 3 needs nothing. Skipped as in DecodePacket; fails
// with code 3 for a format other than 1 and 3, 11 for a word size other than 2 or 4 or a
// compression other than 0 or 1.
[[nodiscard]] DecodeResult ExpandSamples(const ServerConfig& config, RawPacket& packet);

// Makes the WaveformPacket of a decoded format-1 packet: names and values of its station
// and channel, begin and end time, count and samples. Fails with code 3 for a packet that
// is not of format 1, 11 when its indices, count or word size do not fit the configuration.
[[nodiscard]] DecodeResult ConvertPacket(const ServerConfig& config, const RawPacket& packet,
                                         WaveformPacket& out);

} // namespace tarvell
