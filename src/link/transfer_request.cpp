#include "link/transfer_request.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "link/transfer_error.h"
#include "link/wire.h"

namespace tarvell
{
namespace
{

// Sequential writer over the caller's buffer. A 16-bit field takes the low 16 bits of the
// record's 32-bit value.
class CFieldWriter
{
public:
    explicit CFieldWriter(unsigned char* destination) : m_start(destination), m_p(destination) {}

    void Put16(int value)
    {
        WriteBE16(m_p, static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu));
        m_p += 2;
    }
    void Put32(int value)
    {
        WriteBE32(m_p, static_cast<std::uint32_t>(value));
        m_p += 4;
    }
    // The 8 raw bytes of a name field, terminator included.
    void PutName(const char* name)
    {
        std::memcpy(m_p, name, kNameFieldSize);
        m_p += kNameFieldSize;
    }
    int Written() const { return static_cast<int>(m_p - m_start); }

private:
    unsigned char* m_start;
    unsigned char* m_p;
};

int EffectiveBufferSize(int size)
{
    return size <= 0 ? kDefaultSocketBuffer : size;
}

} // namespace

WireTime SplitWireTime(double time)
{
    if (!std::isfinite(time) || std::fabs(time) >= 9.0e15)
        return {-1, 0};
    const double whole = std::trunc(time);
    // Through 64 bits: a time past 2038 keeps the low 32 bits instead of being undefined.
    const auto seconds = static_cast<std::uint32_t>(static_cast<std::int64_t>(whole));
    const auto microseconds = static_cast<std::int32_t>(std::trunc((time - whole) * 1000000.0));
    return {static_cast<int>(seconds), microseconds};
}

// Request body, type 2 (type 1 ends after the client flag, 22 bytes):
//   offset size field                     offset size field
//   0      2    protocol version           20     2    client flag
//   2      4    request type               22     2    option 1
//   6      2    timeout                    24     2    option 2
//   8      4    send buffer size           26     2    option 3
//   12     4    receive buffer size        28     2    station count N
//   16     4    client id                  30     ...  N station entries
// Station entry: 0 8 name; 8 2 channel count M; 10 24*M channel entries.
// Channel entry: 0 8 name; 8 4 begin seconds; 12 4 begin microseconds; 16 4 end seconds;
// 20 4 end microseconds.
int EncodeRequest(unsigned char* destination, const TransferRequest& request)
{
    CFieldWriter out(destination);
    out.Put16(request.protocolVersion);
    out.Put32(request.requestType);
    out.Put16(request.timeout);
    out.Put32(EffectiveBufferSize(request.sendBufferSize));
    out.Put32(EffectiveBufferSize(request.receiveBufferSize));
    if (request.protocolVersion != 1)
    {
        g_transferError = kTransferBadVersion;
        return -1;
    }
    out.Put32(request.clientId);
    out.Put16(request.clientFlag);
    if (request.requestType == 1)
        return out.Written();
    if (request.requestType != 2)
    {
        g_transferError = kTransferBadType;
        return -1;
    }

    // The arrays hold 64 entries: larger counts would read past them, and the destination is
    // sized for 64 of 64.
    if (request.stationCount < 0 || request.stationCount > kMaxRequestStations)
    {
        g_transferError = kTransferTooLarge;
        return -1;
    }
    for (int s = 0; s < request.stationCount; ++s)
    {
        const int channels = request.stations[s].channelCount;
        if (channels < 0 || channels > kMaxRequestChannels)
        {
            g_transferError = kTransferTooLarge;
            return -1;
        }
    }

    out.Put16(request.option1);
    out.Put16(request.option2);
    out.Put16(request.option3);
    out.Put16(request.stationCount);
    for (int s = 0; s < request.stationCount; ++s)
    {
        const RequestStation& station = request.stations[s];
        out.PutName(station.name);
        out.Put16(station.channelCount);
        for (int c = 0; c < station.channelCount; ++c)
        {
            const RequestChannel& channel = station.channels[c];
            out.PutName(channel.name);
            const WireTime begin = SplitWireTime(channel.beginTime);
            const WireTime end = SplitWireTime(channel.endTime);
            out.Put32(begin.seconds);
            out.Put32(begin.microseconds);
            out.Put32(end.seconds);
            out.Put32(end.microseconds);
        }
    }
    return out.Written();
}

} // namespace tarvell
