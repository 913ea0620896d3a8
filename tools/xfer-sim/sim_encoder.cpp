#include "sim_encoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarvell::sim
{
namespace
{

constexpr int kMaxSampleBytes = 1024;
constexpr int kClientDataArea = 4096;

std::uint32_t Bits(std::int64_t value)
{
    return static_cast<std::uint32_t>(value);
}

std::int32_t Clip16(std::int32_t value)
{
    return std::clamp<std::int32_t>(value, -32768, 32767);
}

// Reads big-endian fields of a request body, failing once it runs short.
class CRequestReader
{
public:
    explicit CRequestReader(std::span<const unsigned char> body) : m_body(body) {}

    bool Ok() const { return m_ok; }
    std::uint32_t U16() { return Take(2); }
    std::uint32_t U32() { return Take(4); }
    std::string Name()
    {
        if (m_offset + 8 > m_body.size())
        {
            m_ok = false;
            return {};
        }
        const char* field = reinterpret_cast<const char*>(m_body.data() + m_offset);
        m_offset += 8;
        return std::string(field, strnlen(field, 8));
    }

private:
    std::uint32_t Take(std::size_t size)
    {
        if (!m_ok || m_offset + size > m_body.size())
        {
            m_ok = false;
            return 0;
        }
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < size; ++i)
            value = (value << 8) | m_body[m_offset + i];
        m_offset += size;
        return value;
    }

    std::span<const unsigned char> m_body;
    std::size_t m_offset = 0;
    bool m_ok = true;
};

void PutSample(std::vector<unsigned char>& out, std::int32_t value, const EncodingOptions& options)
{
    const auto bits = static_cast<std::uint32_t>(value);
    const int size = options.wordSize;
    for (int i = 0; i < size; ++i)
    {
        const int shift = options.swapped ? 8 * (size - 1 - i) : 8 * i;
        out.push_back(static_cast<unsigned char>(bits >> shift));
    }
}

} // namespace

void CMessageWriter::U16(std::uint32_t value)
{
    m_body.push_back(static_cast<unsigned char>(value >> 8));
    m_body.push_back(static_cast<unsigned char>(value));
}

void CMessageWriter::U32(std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        m_body.push_back(static_cast<unsigned char>(value >> shift));
}

void CMessageWriter::Name(const std::string& name)
{
    unsigned char field[8] = {};
    std::memcpy(field, name.data(), std::min<std::size_t>(name.size(), 8));
    m_body.insert(m_body.end(), field, field + 8);
}

void CMessageWriter::Time(std::int64_t us)
{
    // Floor division keeps the microseconds in 0..999999 for times before 1970 too.
    std::int64_t seconds = us / 1000000;
    std::int64_t micro = us % 1000000;
    if (micro < 0)
    {
        micro += 1000000;
        --seconds;
    }
    U32(Bits(seconds));
    U32(Bits(micro));
}

void CMessageWriter::Bytes(std::span<const unsigned char> bytes)
{
    m_body.insert(m_body.end(), bytes.begin(), bytes.end());
}

std::vector<unsigned char> CMessageWriter::Framed() const
{
    std::vector<unsigned char> message;
    message.reserve(m_body.size() + 4);
    const auto length = static_cast<std::uint32_t>(m_body.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        message.push_back(static_cast<unsigned char>(length >> shift));
    message.insert(message.end(), m_body.begin(), m_body.end());
    return message;
}

std::vector<unsigned char> EncodeConfig(const std::vector<ConfigEntryStation>& stations,
                                        const EncodingOptions& options)
{
    CMessageWriter out;
    out.U16(1);          // format
    out.U32(0x00000001); // configuration word
    out.U16(static_cast<std::uint32_t>(stations.size()));
    for (const ConfigEntryStation& station : stations)
    {
        out.Name(station.name);
        for (int value = 0; value < 4; ++value)
            out.U32(0);
        out.U16(static_cast<std::uint32_t>(station.channels.size()));
        for (const ConfigEntryChannel& channel : station.channels)
        {
            out.Name(channel.name);
            out.Name(channel.auxName);
            out.U16(static_cast<std::uint32_t>(options.wordSize));
            out.U32(options.swapped ? kBigEndianSignature : kLittleEndianSignature);
            out.U32(channel.sampleIntervalUs);
            out.U32(channel.calibDivisor);
            out.U32(channel.calibDividend);
            out.U32(channel.calperField);
            out.U32(0); // channel value 3
            out.U32(0); // channel value 4
            out.Time(channel.beginUs);
            out.Time(channel.endUs);
        }
    }
    return out.Framed();
}

int EncodeDifferences(std::span<const std::int32_t> samples, int wordSize, std::size_t maxBytes,
                      std::vector<unsigned char>& out)
{
    std::uint32_t previous = 0;
    int coded = 0;
    unsigned char value[5];
    for (const std::int32_t raw : samples)
    {
        const std::int32_t sample = wordSize == 2 ? Clip16(raw) : raw;
        std::uint32_t difference = static_cast<std::uint32_t>(sample) - previous;
        bool negative;
        std::uint32_t magnitude;
        if (wordSize == 2)
        {
            const auto d16 = static_cast<std::int16_t>(difference & 0xFFFFu);
            negative = d16 < 0;
            magnitude = negative ? static_cast<std::uint32_t>(-static_cast<std::int32_t>(d16))
                                 : static_cast<std::uint32_t>(d16);
        }
        else
        {
            negative = (difference & 0x80000000u) != 0;
            magnitude = negative ? 0u - difference : difference;
        }
        // First byte: sign in bit 0, six magnitude bits, continuation in bit 7; then seven
        // bits a byte.
        std::size_t size = 0;
        unsigned char first =
            static_cast<unsigned char>((negative ? 1u : 0u) | ((magnitude & 0x3Fu) << 1));
        magnitude >>= 6;
        if (magnitude != 0)
            first = static_cast<unsigned char>(first | 0x80u);
        value[size++] = first;
        while (magnitude != 0)
        {
            unsigned char next = static_cast<unsigned char>(magnitude & 0x7Fu);
            magnitude >>= 7;
            if (magnitude != 0)
                next = static_cast<unsigned char>(next | 0x80u);
            value[size++] = next;
        }
        if (out.size() + size > maxBytes)
            break;
        out.insert(out.end(), value, value + size);
        previous = static_cast<std::uint32_t>(sample);
        ++coded;
    }
    return coded;
}

std::vector<unsigned char> EncodePacket(int stationIndex, int channelIndex, std::int64_t beginUs,
                                        int tag, std::span<const std::int32_t> samples,
                                        const EncodingOptions& options, int* encoded)
{
    const std::size_t limit = std::min<std::size_t>(
        samples.size(), static_cast<std::size_t>(kClientDataArea / options.wordSize));
    std::vector<unsigned char> data;
    int count = 0;
    if (options.compression == 1)
    {
        count = EncodeDifferences(samples.first(limit), options.wordSize, kMaxSampleBytes, data);
    }
    else
    {
        const std::size_t fit = std::min<std::size_t>(
            limit, static_cast<std::size_t>(kMaxSampleBytes / options.wordSize));
        for (std::size_t i = 0; i < fit; ++i)
        {
            const std::int32_t value = options.wordSize == 2 ? Clip16(samples[i]) : samples[i];
            PutSample(data, value, options);
        }
        count = static_cast<int>(fit);
    }
    CMessageWriter out;
    out.U16(1);
    out.U16(static_cast<std::uint32_t>(stationIndex));
    out.U16(static_cast<std::uint32_t>(channelIndex));
    out.Time(beginUs);
    out.U16(static_cast<std::uint32_t>(tag));
    out.U16(static_cast<std::uint32_t>(options.compression));
    out.U32(static_cast<std::uint32_t>(count));
    out.U32(static_cast<std::uint32_t>(data.size()));
    out.Bytes(data);
    *encoded = count;
    return out.Framed();
}

std::vector<unsigned char> EncodeOversizedPacket(int byteCount)
{
    CMessageWriter out;
    out.U16(1);
    out.U16(0);
    out.U16(0);
    out.Time(0);
    out.U16(0);
    out.U16(0);
    out.U32(static_cast<std::uint32_t>(byteCount));
    out.U32(static_cast<std::uint32_t>(byteCount));
    out.Bytes(std::vector<unsigned char>(static_cast<std::size_t>(byteCount), 0));
    return out.Framed();
}

std::vector<unsigned char> EncodeFormat3Packet(int byteCount)
{
    CMessageWriter out;
    out.U16(3);
    out.U32(static_cast<std::uint32_t>(byteCount));
    out.Bytes(std::vector<unsigned char>(static_cast<std::size_t>(byteCount), 0x33));
    return out.Framed();
}

std::vector<unsigned char> EncodeBreak(std::int32_t status)
{
    CMessageWriter empty;
    std::vector<unsigned char> message = empty.Framed();
    CMessageWriter code;
    code.U32(static_cast<std::uint32_t>(status));
    const std::vector<unsigned char> statusMessage = code.Framed();
    message.insert(message.end(), statusMessage.begin(), statusMessage.end());
    return message;
}

bool DecodeRequest(std::span<const unsigned char> body, DecodedRequest& request, std::string* error)
{
    CRequestReader in(body);
    request = DecodedRequest{};
    request.version = static_cast<int>(in.U16());
    request.type = static_cast<std::int32_t>(in.U32());
    request.timeout = static_cast<int>(in.U16());
    request.sendBuffer = static_cast<std::int32_t>(in.U32());
    request.receiveBuffer = static_cast<std::int32_t>(in.U32());
    if (in.Ok() && request.version != 1)
    {
        *error = "protocol version " + std::to_string(request.version);
        return false;
    }
    request.clientId = static_cast<std::int32_t>(in.U32());
    request.clientFlag = static_cast<int>(in.U16());
    if (in.Ok() && request.type == 1)
        return true;
    if (in.Ok() && request.type != 2)
    {
        *error = "request type " + std::to_string(request.type);
        return false;
    }
    for (int& option : request.options)
        option = static_cast<int>(in.U16());
    const std::uint32_t stations = in.U16();
    for (std::uint32_t s = 0; s < stations && in.Ok(); ++s)
    {
        RequestedStation station;
        station.name = in.Name();
        const std::uint32_t channels = in.U16();
        for (std::uint32_t c = 0; c < channels && in.Ok(); ++c)
        {
            RequestedChannel channel;
            channel.name = in.Name();
            const auto beginSeconds = static_cast<std::int32_t>(in.U32());
            const auto beginMicro = static_cast<std::int32_t>(in.U32());
            const auto endSeconds = static_cast<std::int32_t>(in.U32());
            const auto endMicro = static_cast<std::int32_t>(in.U32());
            channel.beginUs = std::int64_t{beginSeconds} * 1000000 + beginMicro;
            channel.endUs = std::int64_t{endSeconds} * 1000000 + endMicro;
            channel.beginTime = beginSeconds + beginMicro / 1e6;
            channel.endTime = endSeconds + endMicro / 1e6;
            station.channels.push_back(channel);
        }
        request.stations.push_back(std::move(station));
    }
    if (!in.Ok())
    {
        *error = "request shorter than its fields (" + std::to_string(body.size()) + " bytes)";
        return false;
    }
    return true;
}

std::string DescribeRequest(const DecodedRequest& request)
{
    char head[256];
    std::snprintf(head, sizeof head,
                  "request version=%d type=%d timeout=%d sndbuf=%d rcvbuf=%d client=%d flag=%d "
                  "options=%d,%d,%d stations=%zu",
                  request.version, request.type, request.timeout, request.sendBuffer,
                  request.receiveBuffer, request.clientId, request.clientFlag, request.options[0],
                  request.options[1], request.options[2], request.stations.size());
    std::string line = head;
    for (const RequestedStation& station : request.stations)
    {
        line += " " + station.name + "[";
        bool first = true;
        for (const RequestedChannel& channel : station.channels)
        {
            char text[128];
            std::snprintf(text, sizeof text, "%s%s@%.6f..%.6f", first ? "" : " ",
                          channel.name.c_str(), channel.beginTime, channel.endTime);
            line += text;
            first = false;
        }
        line += "]";
    }
    return line;
}

} // namespace tarvell::sim
