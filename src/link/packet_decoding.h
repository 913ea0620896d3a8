#pragma once
// Decoding what the server sends after the request: its configuration, the waveform
// packets, and the break messages that carry its status codes.
// Any thread, each for its own connection: a ServerConfig, RawPacket and WaveformPacket
// belong to the connection's thread.

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

// Result of DecodePacket and ExpandSamples for a packet that is skipped (see PacketFault).
inline constexpr int kPacketSkipped = 2;

// A short text for fault, for the event log.
const char* PacketFaultText(PacketFault fault);

// Reads one message from the server and decodes it as the configuration. A break instead
// of the configuration is followed by a status message whose code goes to g_transferError.
// Returns 0, or -1 with g_transferError set.
int RecvConfig(int socket, ServerConfig& config);

// Reads messages until one is a waveform packet and decodes it into packet, adding every
// message length to g_receivedTotal. A break followed by status 0 (the server is alive with
// nothing to send) and a skipped packet are passed over; each kind of skipped packet is
// logged once per connection. Returns 0 for a decoded packet (format 1 or 3), 1 when the
// server ended the stream (status 1; g_transferError 0), -1 on failure (g_transferError:
// the read's code, a decoding code, or the server's status).
int RecvPacket(int socket, const ServerConfig& config, RawPacket& packet);

// Decodes a configuration message body of length bytes into config. Returns 0, or -1:
// code 3 for a format other than 1, 10 for more than 64 stations or channels or a body
// shorter than the entries it declares.
int DecodeConfig(const unsigned char* body, std::size_t length, ServerConfig& config);

// Decodes a packet message body of length bytes into packet and expands its samples
// (ExpandSamples). Returns 0; kPacketSkipped with *fault set (when fault is given) for a
// packet that does not fit the configuration or whose samples do not fit their fields; or
// -1: code 3 for a format other than 1 and 3, 10 for a byte count above 1024 or a body
// shorter than its fields, 11 for a negative byte count, or the code of ExpandSamples.
int DecodePacket(const ServerConfig& config, RawPacket& packet, const unsigned char* body,
                 std::size_t length, PacketFault* fault = nullptr);

// Turns the B sample bytes of a format-1 packet into N samples of the channel's word size
// in the client's own byte order, in place in the data area; sets compression 0 and the
// byte count to N x word size. Format 3 needs nothing. Returns 0; kPacketSkipped (see
// DecodePacket); or -1: code 3 for a format other than 1 and 3, 11 for a word size other
// than 2 or 4 or a compression other than 0 or 1.
int ExpandSamples(const ServerConfig& config, RawPacket& packet, PacketFault* fault = nullptr);

// Makes the WaveformPacket of a decoded format-1 packet: names and values of its station
// and channel, begin and end time, count and samples. Returns 0, or -1 (code 3 for a
// packet that is not of format 1, 11 when its indices, count or word size do not fit the
// configuration).
int ConvertPacket(const ServerConfig& config, const RawPacket& packet, WaveformPacket& out);

// Packets skipped on the calling thread's current connection.
std::int64_t SkippedPacketCount();

} // namespace tarvell
