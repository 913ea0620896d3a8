#pragma once
// The server side of the transfer protocol's messages, written independently of the
// client's decoder: xfer-sim encodes with this and decodes requests with it. Any thread.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarvell::sim
{

// Byte-order signatures the server sends with a channel: the client's own (little-endian
// samples) and the reversed one (big-endian samples).
inline constexpr std::uint32_t kLittleEndianSignature = 0x10325476;
inline constexpr std::uint32_t kBigEndianSignature = 0x76543210;

struct EncodingOptions
{
    int compression = 1;  // 0 none, 1 difference coding
    int wordSize = 4;     // 2 or 4
    bool swapped = false; // samples big-endian (signature 0x76543210) instead of little
};

// One channel of the configuration as the server describes it.
struct ConfigEntryChannel
{
    std::string name;
    std::string auxName;
    std::uint32_t sampleIntervalUs = 0;
    std::uint32_t calibDivisor = 1000;
    std::uint32_t calibDividend = 1000;
    std::uint32_t calperField = 100000; // x 1e-5 s
    std::int64_t beginUs = 0;           // first sample, us since 1970
    std::int64_t endUs = 0;             // last sample
};

struct ConfigEntryStation
{
    std::string name;
    std::vector<ConfigEntryChannel> channels;
};

// Big-endian writer into a growing message. Names are written as 8-byte fields.
class CMessageWriter
{
public:
    void U16(std::uint32_t value);
    void U32(std::uint32_t value);
    void Name(const std::string& name); // at most 8 bytes, NUL-padded
    void Time(std::int64_t us);         // whole seconds (signed) and microseconds
    void Bytes(std::span<const unsigned char> bytes);
    // The message with its 4-byte length prefix.
    std::vector<unsigned char> Framed() const;
    std::size_t Size() const { return m_body.size(); }

private:
    std::vector<unsigned char> m_body;
};

// The configuration response, format 1, framed.
std::vector<unsigned char> EncodeConfig(const std::vector<ConfigEntryStation>& stations,
                                        const EncodingOptions& options);

// A format-1 waveform packet of at most samples.size() samples, framed. Uncompressed
// packets take at most 1024 / word size samples; compressed ones as many as fit in 1024
// coded bytes (and in the client's 4096-byte data area). 16-bit samples are clipped to
// -32768..32767. *encoded receives the number of samples the packet holds (>= 1).
std::vector<unsigned char> EncodePacket(int stationIndex, int channelIndex, std::int64_t beginUs,
                                        int tag, std::span<const std::int32_t> samples,
                                        const EncodingOptions& options, int* encoded);

// The difference coding of samples in wordSize arithmetic; stops before a value that would
// take the codes past maxBytes. Returns the number of samples coded.
int EncodeDifferences(std::span<const std::int32_t> samples, int wordSize, std::size_t maxBytes,
                      std::vector<unsigned char>& out);

// A format-1 packet whose byte count field says byteCount (for example 1025) and that
// carries that many bytes, framed.
std::vector<unsigned char> EncodeOversizedPacket(int byteCount);

// A format-3 packet of byteCount bytes, framed.
std::vector<unsigned char> EncodeFormat3Packet(int byteCount);

// A break (a message of length 0) followed by the status message, both framed.
std::vector<unsigned char> EncodeBreak(std::int32_t status);

struct RequestedChannel
{
    std::string name;
    std::int64_t beginUs = -1; // < 0: from the start of the data
    std::int64_t endUs = -1;   // < 0: no end
    double beginTime = -1.0;
    double endTime = -1.0;
};

struct RequestedStation
{
    std::string name;
    std::vector<RequestedChannel> channels;
};

struct DecodedRequest
{
    int version = 0;
    std::int32_t type = 0;
    int timeout = 0;
    std::int32_t sendBuffer = 0;
    std::int32_t receiveBuffer = 0;
    std::int32_t clientId = 0;
    int clientFlag = 0;
    int options[3] = {};
    std::vector<RequestedStation> stations;
};

// Decodes a request body. Returns false with *error set when it is malformed.
bool DecodeRequest(std::span<const unsigned char> body, DecodedRequest& request,
                   std::string* error);

// One line describing request, for the server's log.
std::string DescribeRequest(const DecodedRequest& request);

} // namespace tarvell::sim
