#include "link/packet_decoding.h"

#include <bit>
#include <cstring>
#include <type_traits>

#include "link/transfer_error.h"
#include "link/wire.h"

namespace tarvell
{
namespace
{

// Bounds-checked sequential reader over one message body. Every read is preceded by a Has()
// check of the caller, so a body shorter than its fields is reported, never overrun.
class CBodyReader
{
public:
    CBodyReader(const unsigned char* body, std::size_t length) : m_body(body), m_length(length) {}

    bool Has(std::size_t count) const { return m_length - m_offset >= count; }

    std::uint16_t U16()
    {
        const std::uint16_t value = ReadBE16(m_body + m_offset);
        m_offset += 2;
        return value;
    }
    std::uint32_t U32()
    {
        const std::uint32_t value = ReadBE32(m_body + m_offset);
        m_offset += 4;
        return value;
    }
    std::int32_t S32() { return static_cast<std::int32_t>(U32()); }

    // A wire time: whole seconds (signed) and microseconds (unsigned).
    double Time()
    {
        const std::int32_t seconds = S32();
        const std::uint32_t microseconds = U32();
        return static_cast<double>(seconds) + static_cast<double>(microseconds) / 1000000.0;
    }

    // An 8-byte name field into a 9-byte text; returns false when all 8 bytes are used
    // (no terminator): the name is then kept whole.
    bool Name(char* text)
    {
        const unsigned char* field = m_body + m_offset;
        m_offset += 8;
        const void* nul = std::memchr(field, 0, 8);
        const std::size_t size =
            nul ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - field) : 8;
        std::memcpy(text, field, size);
        std::memset(text + size, 0, kNameTextSize - size);
        return nul != nullptr;
    }

    const unsigned char* Here() const { return m_body + m_offset; }

private:
    const unsigned char* m_body;
    std::size_t m_length;
    std::size_t m_offset = 0;
};

DecodeResult Fail(int code)
{
    return DecodeResult{code, PacketFault::None};
}

DecodeResult Skip(PacketFault reason)
{
    return DecodeResult{0, reason};
}

float Scaled(std::uint32_t field, double scale)
{
    return static_cast<float>(static_cast<double>(field) * scale);
}

// Difference coding: N variable-length signed values. The first byte of a value holds the
// sign in bit 0 (1 = negative), the low 6 magnitude bits in bits 1-6 and "more follows" in
// bit 7; each further byte adds 7 magnitude bits (at bit 6, 13, 20, 27) and again continues
// while its bit 7 is set, so a value is at most 5 bytes. The first value is the first
// sample, every later one the difference to the previous sample, added with wrap-around in
// the word size (whose width also bounds the magnitude). Returns false when the values run
// past length or a value is longer than 5 bytes.
template <typename Word>
bool DecodeDifferences(const unsigned char* in, int length, int count, unsigned char* out)
{
    using Unsigned = std::make_unsigned_t<Word>;
    Unsigned sample = 0;
    int position = 0;
    for (int i = 0; i < count; ++i)
    {
        if (position >= length)
            return false;
        unsigned byte = in[position++];
        const bool negative = (byte & 1u) != 0;
        std::uint32_t magnitude = (byte >> 1) & 0x3Fu;
        for (int shift = 6; (byte & 0x80u) != 0; shift += 7)
        {
            if (position >= length || shift > 27)
                return false;
            byte = in[position++];
            magnitude |= static_cast<std::uint32_t>(byte & 0x7Fu) << shift;
        }
        const auto value = static_cast<Unsigned>(magnitude);
        sample = static_cast<Unsigned>(negative ? sample - value : sample + value);
        const auto word = static_cast<Word>(sample);
        std::memcpy(out + static_cast<std::size_t>(i) * sizeof word, &word, sizeof word);
    }
    return true;
}

void ReverseEach(unsigned char* bytes, int count, int wordSize)
{
    for (int i = 0; i < count; ++i)
    {
        unsigned char* word = bytes + i * wordSize;
        for (int a = 0, b = wordSize - 1; a < b; ++a, --b)
        {
            const unsigned char t = word[a];
            word[a] = word[b];
            word[b] = t;
        }
    }
}

} // namespace

const char* PacketFaultText(PacketFault fault)
{
    switch (fault)
    {
    case PacketFault::None:
        return "no fault";
    case PacketFault::StationIndex:
        return "station index outside the server's configuration";
    case PacketFault::ChannelIndex:
        return "channel index outside the station's channels";
    case PacketFault::SampleCount:
        return "sample count not positive";
    case PacketFault::ByteCountMismatch:
        return "sample count times word size differs from the byte count";
    case PacketFault::TooManySamples:
        return "more samples than the 4096-byte data area holds";
    case PacketFault::ShortCoding:
        return "compressed samples run past their bytes";
    }
    return "unknown fault";
}

// Configuration body, format 1:
//   offset size field
//   0      2    format (1)
//   2      4    configuration word
//   6      2    station count S (at most 64)
//   8      ...  S station entries
// Station entry (26 bytes and its channels):
//   0 8 name; 8 4, 12 4, 16 4, 20 4 station values 1-4 (unsigned x 1e-6);
//   24 2 channel count K (at most 64); 26 62*K channel entries
// Channel entry (62 bytes):
//   0  8 name                      26 4 calibration divisor D (unsigned)
//   8  8 auxiliary name            30 4 calibration dividend V (unsigned)
//   16 2 word size                 34 4 calibration period (unsigned x 1e-5)
//   18 4 byte-order signature      38 4 channel value 3 (unsigned x 1e-6)
//   22 4 sample interval, us       42 4 channel value 4 (unsigned x 1e-6)
//   46 8 begin time (wire time)    54 8 end time (wire time)
DecodeResult DecodeConfig(const unsigned char* body, std::size_t length, ServerConfig& config)
{
    CBodyReader in(body, length);
    config.unterminatedNames = 0;
    if (!in.Has(2))
        return Fail(kTransferTooLarge);
    config.format = in.U16();
    if (config.format != 1)
        return Fail(kTransferBadFormat);
    if (!in.Has(6))
        return Fail(kTransferTooLarge);
    config.configWord = in.U32();
    const int stations = in.U16();
    config.stationCount = 0;
    if (stations > kMaxConfigStations)
        return Fail(kTransferTooLarge);

    for (int s = 0; s < stations; ++s)
    {
        if (!in.Has(26))
            return Fail(kTransferTooLarge);
        ConfigStation& station = config.stations[s];
        station.channelCount = 0;
        if (!in.Name(station.name))
            ++config.unterminatedNames;
        for (float& value : station.values)
            value = Scaled(in.U32(), 0.000001);
        const int channels = in.U16();
        if (channels > kMaxConfigChannels)
            return Fail(kTransferTooLarge);
        if (!in.Has(62 * static_cast<std::size_t>(channels)))
            return Fail(kTransferTooLarge);
        for (int c = 0; c < channels; ++c)
        {
            ConfigChannel& channel = station.channels[c];
            if (!in.Name(channel.name))
                ++config.unterminatedNames;
            if (!in.Name(channel.auxName))
                ++config.unterminatedNames;
            channel.wordSize = in.U16();
            channel.byteOrderSignature = in.U32();
            // Kept exact: rounded to whole milliseconds, an interval like 80 Hz's 12500 us
            // would make every packet look 4 % too long and so like an overlap.
            channel.sampleIntervalUs = in.U32();
            channel.sampleInterval = static_cast<double>(channel.sampleIntervalUs) / 1000000.0;
            const std::uint32_t divisor = in.U32();
            const std::uint32_t dividend = in.U32();
            channel.calib =
                static_cast<float>(static_cast<double>(dividend) / static_cast<double>(divisor));
            channel.calper = Scaled(in.U32(), 0.00001);
            channel.values[0] = Scaled(in.U32(), 0.000001);
            channel.values[1] = Scaled(in.U32(), 0.000001);
            channel.beginTime = in.Time();
            channel.endTime = in.Time();
        }
        station.channelCount = channels;
        config.stationCount = s + 1;
    }
    return {};
}

// Waveform packet body:
//   format 1                                     format 3
//   offset size field                            offset size field
//   0      2    format (1)                       0      2    format (3)
//   2      2    station index                    2      4    byte count B (0..1024)
//   4      2    channel index                    6      B    bytes (kept, not used)
//   6      4    first sample, whole seconds
//   10     4    first sample, microseconds
//   14     2    tag
//   16     2    compression (0 none, 1 difference coding)
//   18     4    sample count N (signed)
//   22     4    sample byte count B (0..1024)
//   26     B    sample bytes
DecodeResult DecodePacket(const ServerConfig& config, RawPacket& packet, const unsigned char* body,
                          std::size_t length)
{
    CBodyReader in(body, length);
    if (!in.Has(2))
        return Fail(kTransferTooLarge);
    const int format = in.U16();
    int byteCount = 0;
    if (format == 1)
    {
        if (!in.Has(24))
            return Fail(kTransferTooLarge);
        packet.format = 1;
        packet.stationIndex = in.U16();
        packet.channelIndex = in.U16();
        packet.beginTime = in.Time();
        packet.tag = in.U16();
        packet.compression = in.U16();
        packet.count = in.S32();
        byteCount = in.S32();
    }
    else if (format == 3)
    {
        if (!in.Has(4))
            return Fail(kTransferTooLarge);
        packet.format = 3;
        byteCount = in.S32();
    }
    else
    {
        return Fail(kTransferBadFormat);
    }
    packet.byteCount = byteCount;
    if (byteCount > kMaxSampleBytes)
        return Fail(kTransferTooLarge);
    if (byteCount < 0)
        return Fail(kTransferBadValue);
    if (!in.Has(static_cast<std::size_t>(byteCount)))
        return Fail(kTransferTooLarge);
    std::memcpy(packet.Bytes(), in.Here(), static_cast<std::size_t>(byteCount));
    return ExpandSamples(config, packet);
}

DecodeResult ExpandSamples(const ServerConfig& config, RawPacket& packet)
{
    if (packet.format == 3)
        return {};
    if (packet.format != 1)
        return Fail(kTransferBadFormat);
    if (packet.stationIndex < 0 || packet.stationIndex >= config.stationCount)
        return Skip(PacketFault::StationIndex);
    const ConfigStation& station = config.stations[packet.stationIndex];
    if (packet.channelIndex < 0 || packet.channelIndex >= station.channelCount)
        return Skip(PacketFault::ChannelIndex);
    const ConfigChannel& channel = station.channels[packet.channelIndex];
    const int wordSize = channel.wordSize;
    if (wordSize != 2 && wordSize != 4)
        return Fail(kTransferBadValue);
    if (packet.compression != 0 && packet.compression != 1)
        return Fail(kTransferBadValue);
    if (packet.byteCount < 0 || packet.byteCount > kPacketDataSize)
        return Fail(kTransferBadValue);
    const int count = packet.count;
    if (count <= 0)
        return Skip(PacketFault::SampleCount);
    unsigned char* bytes = packet.Bytes();

    if (packet.compression == 0)
    {
        if (static_cast<std::int64_t>(count) * wordSize != packet.byteCount)
            return Skip(PacketFault::ByteCountMismatch);
        const bool littleEndianSamples = channel.byteOrderSignature == kOwnByteOrderSignature;
        if (littleEndianSamples != (std::endian::native == std::endian::little))
            ReverseEach(bytes, count, wordSize);
    }
    else
    {
        if (static_cast<std::int64_t>(count) * wordSize > kPacketDataSize)
            return Skip(PacketFault::TooManySamples);
        // The coded bytes lie in the data area themselves, and the decoded samples take
        // more room than their codes: decode into a work buffer, then copy back.
        unsigned char work[kPacketDataSize];
        const bool complete =
            wordSize == 4 ? DecodeDifferences<std::int32_t>(bytes, packet.byteCount, count, work)
                          : DecodeDifferences<std::int16_t>(bytes, packet.byteCount, count, work);
        if (!complete)
            return Skip(PacketFault::ShortCoding);
        std::memcpy(bytes, work, static_cast<std::size_t>(count * wordSize));
    }
    packet.compression = 0;
    packet.byteCount = count * wordSize;
    return {};
}

DecodeResult ConvertPacket(const ServerConfig& config, const RawPacket& packet, WaveformPacket& out)
{
    if (packet.format != 1)
        return Fail(kTransferBadFormat);
    if (packet.stationIndex < 0 || packet.stationIndex >= config.stationCount)
        return Fail(kTransferBadValue);
    const ConfigStation& station = config.stations[packet.stationIndex];
    if (packet.channelIndex < 0 || packet.channelIndex >= station.channelCount)
        return Fail(kTransferBadValue);
    const ConfigChannel& channel = station.channels[packet.channelIndex];
    const int wordSize = channel.wordSize;
    if ((wordSize != 2 && wordSize != 4) || packet.compression != 0 || packet.count <= 0 ||
        packet.count > kPacketDataSize / wordSize)
        return Fail(kTransferBadValue);

    std::memcpy(out.station, station.name, kNameTextSize);
    std::memcpy(out.stationValues, station.values, sizeof out.stationValues);
    std::memcpy(out.channel, channel.name, kNameTextSize);
    std::memcpy(out.auxName, channel.auxName, kNameTextSize);
    out.sampleIntervalUs = channel.sampleIntervalUs;
    out.sampleInterval = channel.sampleInterval;
    out.calib = channel.calib;
    out.calper = channel.calper;
    out.channelValues[0] = channel.values[0];
    out.channelValues[1] = channel.values[1];
    out.beginTime = packet.beginTime;
    out.tag = packet.tag;
    out.count = packet.count;
    out.wordSize = wordSize;
    out.endTime = packet.beginTime + (packet.count - 1) * channel.sampleInterval;

    if (wordSize == 4)
    {
        out.samples = packet.data;
        return {};
    }
    const unsigned char* bytes = packet.Bytes();
    for (int i = 0; i < packet.count; ++i)
    {
        std::int16_t value;
        std::memcpy(&value, bytes + 2 * i, sizeof value);
        out.ownSamples[i] = value;
    }
    out.samples = out.ownSamples;
    return {};
}

} // namespace tarvell
