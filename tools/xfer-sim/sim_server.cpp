#include "sim_server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/transfer_request.h"
#include "platform/text.h"
#include "synthetic_signal.h"

namespace tarvell::sim
{
namespace
{

constexpr std::int64_t kNoEnd = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kMaxRequestBytes = 1 << 20;
constexpr int kSliceMs = 100;

std::int64_t WallUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t CeilDiv(std::int64_t a, std::int64_t b)
{
    return a / b + ((a % b != 0 && (a > 0) == (b > 0)) ? 1 : 0);
}

// Where one requested channel stands in its data.
class CCursor
{
public:
    CCursor(const SimChannel& channel, int stationIndex, int channelIndex,
            const RequestedChannel& request)
        : m_channel(&channel), m_stationIndex(stationIndex), m_channelIndex(channelIndex),
          m_endUs(request.endUs < 0 ? kNoEnd : request.endUs)
    {
        const std::int64_t interval = channel.intervalUs;
        // From the requested begin time on; kFromOldestData, as any time before the data,
        // from the start of the data.
        const bool fromOldest = request.beginTime == kFromOldestData;
        if (channel.synthetic)
        {
            m_next = fromOldest ? 0
                                : std::max<std::int64_t>(
                                      0, CeilDiv(request.beginUs - channel.startUs, interval));
            return;
        }
        if (fromOldest)
            return;
        while (m_segment < channel.segments.size())
        {
            const SimSegment& segment = channel.segments[m_segment];
            const std::int64_t last =
                segment.startUs + static_cast<std::int64_t>(segment.samples.size() - 1) * interval;
            if (last >= request.beginUs)
            {
                m_offset = static_cast<std::size_t>(std::max<std::int64_t>(
                    0, CeilDiv(request.beginUs - segment.startUs, interval)));
                return;
            }
            ++m_segment;
        }
    }

    bool Exhausted() const
    {
        if (m_channel->synthetic)
        {
            if (m_channel->sampleCount >= 0 && m_next >= m_channel->sampleCount)
                return true;
        }
        else if (m_segment >= m_channel->segments.size())
        {
            return true;
        }
        return BeginUs() > m_endUs;
    }

    std::int64_t BeginUs() const
    {
        if (m_channel->synthetic)
            return m_channel->startUs + m_next * m_channel->intervalUs;
        const SimSegment& segment = m_channel->segments[m_segment];
        return segment.startUs + static_cast<std::int64_t>(m_offset) * m_channel->intervalUs;
    }

    // The next samples, at most max, within the current segment and the requested end.
    void Peek(int max, std::vector<std::int32_t>& samples) const
    {
        samples.clear();
        const std::int64_t interval = m_channel->intervalUs;
        const std::int64_t begin = BeginUs();
        std::int64_t count = max;
        if (m_endUs != kNoEnd)
            count = std::min<std::int64_t>(count, (m_endUs - begin) / interval + 1);
        if (m_channel->synthetic)
        {
            if (m_channel->sampleCount >= 0)
                count = std::min(count, m_channel->sampleCount - m_next);
            for (std::int64_t i = 0; i < count; ++i)
                samples.push_back(SyntheticSample(m_next + i));
            return;
        }
        const SimSegment& segment = m_channel->segments[m_segment];
        count = std::min<std::int64_t>(
            count, static_cast<std::int64_t>(segment.samples.size() - m_offset));
        const auto first = segment.samples.begin() + static_cast<std::ptrdiff_t>(m_offset);
        samples.assign(first, first + count);
    }

    void Advance(int count)
    {
        if (m_channel->synthetic)
        {
            m_next += count;
            return;
        }
        m_offset += static_cast<std::size_t>(count);
        if (m_offset >= m_channel->segments[m_segment].samples.size())
        {
            ++m_segment;
            m_offset = 0;
        }
    }

    const SimChannel& Channel() const { return *m_channel; }
    int StationIndex() const { return m_stationIndex; }
    int ChannelIndex() const { return m_channelIndex; }

    int packetsSent = 0;
    bool gapTaken = false;
    int stallAfter = 0;  // from the options: 0, or the packets before it falls silent
    bool silent = false; // stalled by --stall-channel: never chosen again

private:
    const SimChannel* m_channel;
    int m_stationIndex;
    int m_channelIndex;
    std::int64_t m_endUs;
    std::int64_t m_next = 0;   // synthetic: next sample number
    std::size_t m_segment = 0; // recorded: current segment
    std::size_t m_offset = 0;  // recorded: next sample in it
};

std::string PeerName(const sockaddr_in& address)
{
    char host[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

} // namespace

void CSimLog::Line(const std::string& text)
{
    std::lock_guard lock(m_lock);
    std::fprintf(m_out, "xfer-sim: %s\n", text.c_str());
    std::fflush(m_out);
}

CSimServer::CSimServer(SimCatalog catalog, SimOptions options, CSimLog& log)
    : m_catalog(std::move(catalog)), m_options(std::move(options)), m_log(log)
{
    m_retryLeft = m_options.retryFirst;
}

CSimServer::~CSimServer()
{
    Stop();
}

bool CSimServer::Start(std::string* error)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(m_options.port));
    if (::inet_pton(AF_INET, m_options.bindAddress.c_str(), &address.sin_addr) != 1)
    {
        *error = "bad bind address " + m_options.bindAddress;
        return false;
    }
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0)
    {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 64) != 0)
    {
        *error = "cannot listen on " + m_options.bindAddress + ":" +
                 std::to_string(m_options.port) + ": " + std::strerror(errno);
        ::close(m_listener);
        m_listener = -1;
        return false;
    }
    socklen_t size = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void CSimServer::Stop()
{
    if (m_stopping.exchange(true))
        return;
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    if (m_listener >= 0)
        ::close(m_listener);
    m_listener = -1;
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard lock(m_connectionsLock);
        connections.swap(m_connections);
    }
    // Shutting the sockets down wakes a connection blocked in a send to a stalled client.
    for (auto& connection : connections)
        ::shutdown(connection->socket, SHUT_RDWR);
    for (auto& connection : connections)
    {
        connection->thread.join();
        ::close(connection->socket);
    }
}

void CSimServer::AcceptLoop()
{
    while (!Stopping())
    {
        pollfd entry{m_listener, POLLIN, 0};
        if (::poll(&entry, 1, kSliceMs) <= 0)
            continue;
        sockaddr_in peer{};
        socklen_t size = sizeof peer;
        const int socket =
            ::accept4(m_listener, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
        if (socket < 0)
            continue;
        std::lock_guard lock(m_connectionsLock);
        // Finished connections are reaped here, so a client that reconnects all day does not
        // pile up threads.
        for (auto it = m_connections.begin(); it != m_connections.end();)
        {
            if ((*it)->done.load())
            {
                (*it)->thread.join();
                ::close((*it)->socket);
                it = m_connections.erase(it);
            }
            else
            {
                ++it;
            }
        }
        auto connection = std::make_unique<Connection>();
        Connection& slot = *connection;
        slot.socket = socket;
        const std::string name = PeerName(peer);
        slot.thread = std::thread(
            [this, &slot, name]
            {
                Serve(slot, name);
                ::shutdown(slot.socket, SHUT_RDWR);
                slot.done = true;
            });
        m_connections.push_back(std::move(connection));
    }
}

void CSimServer::Serve(Connection& connection, const std::string& peer)
{
    const int socket = connection.socket;

    // Waits up to ms for the client to send something; false when the client closed the
    // connection (or the server stops). Bytes a client sends after its request are ignored.
    auto clientGone = [&](int ms)
    {
        if (Stopping())
            return true;
        pollfd entry{socket, POLLIN, 0};
        if (::poll(&entry, 1, ms) <= 0)
            return false;
        unsigned char scratch[512];
        const ssize_t n = ::recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
    };
    auto readExact = [&](unsigned char* destination, std::size_t count)
    {
        std::size_t done = 0;
        while (done < count)
        {
            if (Stopping())
                return false;
            pollfd entry{socket, POLLIN, 0};
            if (::poll(&entry, 1, kSliceMs) <= 0)
                continue;
            const ssize_t n = ::recv(socket, destination + done, count - done, 0);
            if (n <= 0)
            {
                if (n < 0 && errno == EINTR)
                    continue;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    };
    auto send = [&](const std::vector<unsigned char>& message)
    {
        std::size_t done = 0;
        while (done < message.size())
        {
            const ssize_t n =
                ::send(socket, message.data() + done, message.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    };
    // Sleeps until wall-clock time dueUs, sending keep-alives; false when the client left.
    std::int64_t lastSendUs = WallUs();
    auto waitUntil = [&](std::int64_t dueUs)
    {
        for (;;)
        {
            const std::int64_t now = WallUs();
            if (now >= dueUs)
                return true;
            if (now - lastSendUs >= static_cast<std::int64_t>(m_options.keepaliveSeconds * 1e6))
            {
                if (!send(EncodeBreak(0)))
                    return false;
                lastSendUs = now;
            }
            const auto slice =
                static_cast<int>(std::min<std::int64_t>((dueUs - now) / 1000 + 1, kSliceMs));
            if (clientGone(slice))
                return false;
        }
    };

    // The request: a length prefix and its body.
    unsigned char prefix[4];
    if (!readExact(prefix, 4))
        return;
    const std::uint32_t length = (std::uint32_t{prefix[0]} << 24) |
                                 (std::uint32_t{prefix[1]} << 16) |
                                 (std::uint32_t{prefix[2]} << 8) | prefix[3];
    if (length > kMaxRequestBytes)
    {
        m_log.Line(peer + ": request of " + std::to_string(length) + " bytes refused");
        return;
    }
    std::vector<unsigned char> body(length);
    if (!readExact(body.data(), body.size()))
        return;
    DecodedRequest request;
    std::string error;
    if (!DecodeRequest(body, request, &error))
    {
        m_log.Line(peer + ": undecodable request: " + error);
        return;
    }
    ++m_requests;
    m_log.Line(peer + ": " + DescribeRequest(request));

    int left = m_retryLeft.load();
    while (left > 0 && !m_retryLeft.compare_exchange_weak(left, left - 1))
    {
    }
    if (left > 0)
    {
        m_log.Line(peer + ": answered with status " + std::to_string(m_options.retryStatus));
        send(EncodeBreak(m_options.retryStatus));
        return;
    }

    // The configuration lists every channel the server has; packets refer to it by index.
    std::vector<ConfigEntryStation> stations;
    std::vector<std::pair<int, int>> indexOf; // per catalog channel: station, channel index
    for (const SimChannel& channel : m_catalog.channels)
    {
        auto station =
            std::find_if(stations.begin(), stations.end(),
                         [&](const ConfigEntryStation& s) { return s.name == channel.station; });
        if (station == stations.end())
        {
            stations.push_back({channel.station, {}});
            station = stations.end() - 1;
        }
        ConfigEntryChannel entry;
        entry.name = channel.channel;
        entry.auxName = channel.auxName;
        entry.sampleIntervalUs = channel.intervalUs;
        entry.beginUs = channel.FirstUs();
        entry.endUs = channel.LastUs();
        station->channels.push_back(entry);
        indexOf.emplace_back(static_cast<int>(station - stations.begin()),
                             static_cast<int>(station->channels.size() - 1));
    }

    // A server that lost its place (--forget-after) serves every connection after the first
    // from its oldest data, whatever the request asks.
    const int served = m_served.fetch_add(1) + 1;
    const bool forgetful = m_options.forgetAfter > 0 && served > 1;
    if (forgetful)
        m_log.Line(peer + ": serving from the oldest data, whatever was asked");
    std::vector<CCursor> cursors;
    for (const RequestedStation& station : request.stations)
    {
        for (RequestedChannel wanted : station.channels)
        {
            if (forgetful)
            {
                wanted.beginUs = -1;
                wanted.beginTime = kFromOldestData;
            }
            std::size_t i = 0;
            while (i < m_catalog.channels.size() &&
                   !(EqualsIgnoreCase(m_catalog.channels[i].station, station.name) &&
                     EqualsIgnoreCase(m_catalog.channels[i].channel, wanted.name)))
                ++i;
            if (i == m_catalog.channels.size())
            {
                m_log.Line(peer + ": " + station.name + ":" + wanted.name + " is not served");
                continue;
            }
            cursors.emplace_back(m_catalog.channels[i], indexOf[i].first, indexOf[i].second,
                                 wanted);
            const std::string name =
                m_catalog.channels[i].station + ":" + m_catalog.channels[i].channel;
            for (const auto& [stalled, after] : m_options.stallChannels)
                if (stalled == name)
                    cursors.back().stallAfter = after;
        }
    }
    if (!send(EncodeConfig(stations, m_options.encoding)))
        return;
    lastSendUs = WallUs();

    const std::int64_t streamStartUs = WallUs();
    std::optional<std::int64_t> firstRecordedUs;
    for (const CCursor& cursor : cursors)
        if (!cursor.Channel().synthetic && !cursor.Exhausted())
            firstRecordedUs =
                std::min(firstRecordedUs.value_or(cursor.BeginUs()), cursor.BeginUs());
    // In real time a synthetic channel is live (a packet goes out once its last sample's time
    // has passed); a recorded one is replayed at its own speed from the connection's start.
    auto dueUs = [&](const CCursor& cursor) -> std::int64_t
    {
        if (!m_options.realtime)
            return 0;
        if (cursor.Channel().synthetic)
            return cursor.BeginUs() +
                   std::int64_t{m_options.samplesPerPacket - 1} * cursor.Channel().intervalUs;
        return streamStartUs + cursor.BeginUs() - firstRecordedUs.value_or(0);
    };

    const int stationCount = static_cast<int>(stations.size());
    int packets = 0;
    std::vector<std::int32_t> samples;
    auto sendEvent = [&](const char* what, const std::vector<unsigned char>& message)
    {
        m_log.Line(peer + ": " + what + " after " + std::to_string(packets) + " packets");
        return send(message);
    };
    while (!Stopping())
    {
        CCursor* next = nullptr;
        for (CCursor& cursor : cursors)
        {
            if (cursor.Exhausted() || cursor.silent)
                continue;
            if (next == nullptr || dueUs(cursor) < dueUs(*next) ||
                (dueUs(cursor) == dueUs(*next) && cursor.BeginUs() < next->BeginUs()))
                next = &cursor;
        }
        if (next == nullptr)
        {
            if (m_options.endStatus >= 0)
            {
                sendEvent(("end status " + std::to_string(m_options.endStatus)).c_str(),
                          EncodeBreak(m_options.endStatus));
                return;
            }
            // Nothing more to send: stay connected like a server waiting for new data.
            if (!waitUntil(lastSendUs +
                           static_cast<std::int64_t>(m_options.keepaliveSeconds * 1e6)))
                return;
            continue;
        }
        if (m_options.realtime && !waitUntil(dueUs(*next)))
            return;

        next->Peek(m_options.samplesPerPacket, samples);
        int encoded = 0;
        const std::vector<unsigned char> message =
            EncodePacket(next->StationIndex(), next->ChannelIndex(), next->BeginUs(),
                         packets & 0xFFFF, samples, m_options.encoding, &encoded);
        next->Advance(encoded);
        ++next->packetsSent;
        if (next->stallAfter > 0 && next->packetsSent == next->stallAfter)
        {
            next->silent = true;
            m_log.Line(peer + ": channel " + next->Channel().station + ":" +
                       next->Channel().channel + " silent after " +
                       std::to_string(next->packetsSent) + " packets");
        }
        if (m_options.gapAfter > 0 && next->packetsSent == m_options.gapAfter && !next->gapTaken)
        {
            // The next packet of this channel is left out: a gap in the data.
            next->gapTaken = true;
            if (!next->Exhausted())
            {
                next->Peek(m_options.samplesPerPacket, samples);
                int leftOut = 0;
                EncodePacket(0, 0, 0, 0, samples, m_options.encoding, &leftOut);
                next->Advance(leftOut);
            }
        }
        if (!send(message))
            return;
        lastSendUs = WallUs();
        ++packets;

        if (m_options.breakEvery > 0 && packets % m_options.breakEvery == 0 &&
            !send(EncodeBreak(0)))
            return;
        if (m_options.format3Every > 0 && packets % m_options.format3Every == 0 &&
            !send(EncodeFormat3Packet(16)))
            return;
        if (m_options.badIndexAfter > 0 && packets == m_options.badIndexAfter)
        {
            int ignored = 0;
            if (!sendEvent(
                    "packet with station index out of range",
                    EncodePacket(stationCount, 0, 0, 0, samples, m_options.encoding, &ignored)))
                return;
        }
        if (m_options.oversizeAfter > 0 && packets == m_options.oversizeAfter &&
            !sendEvent("packet of 1025 sample bytes", EncodeOversizedPacket(1025)))
            return;
        if (m_options.oversizePrefixAfter > 0 && packets == m_options.oversizePrefixAfter)
        {
            const std::vector<unsigned char> tooLong = {0x00, 0x05, 0x87, 0x11}; // 362257
            if (!sendEvent("length prefix of 362257", tooLong))
                return;
        }
        if (m_options.stallAfter > 0 && packets == m_options.stallAfter)
        {
            m_log.Line(peer + ": stalling after " + std::to_string(packets) + " packets");
            while (!clientGone(kSliceMs))
            {
            }
            return;
        }
        if (m_options.closeAfter > 0 && packets == m_options.closeAfter)
        {
            m_log.Line(peer + ": closing after " + std::to_string(packets) + " packets");
            return;
        }
        if (m_options.forgetAfter > 0 && served == 1 && packets == m_options.forgetAfter)
        {
            m_log.Line(peer + ": closing after " + std::to_string(packets) +
                       " packets; later connections are served from the oldest data");
            return;
        }
        if (m_options.futureAfter > 0 && packets == m_options.futureAfter)
        {
            // 2038-01-19 03:14:00 UTC, within the wire's 32-bit seconds.
            int ignored = 0;
            if (!sendEvent("packet dated 2038",
                           EncodePacket(next->StationIndex(), next->ChannelIndex(),
                                        2147483640LL * 1000000, 0, samples, m_options.encoding,
                                        &ignored)))
                return;
        }
        if (m_options.trickleAfter > 0 && packets == m_options.trickleAfter && !next->Exhausted())
        {
            m_log.Line(peer + ": trickling one byte a second after " + std::to_string(packets) +
                       " packets");
            next->Peek(m_options.samplesPerPacket, samples);
            int ignored = 0;
            const std::vector<unsigned char> slow =
                EncodePacket(next->StationIndex(), next->ChannelIndex(), next->BeginUs(), 0,
                             samples, m_options.encoding, &ignored);
            for (unsigned char byte : slow)
            {
                if (!send({byte}) || clientGone(1000))
                    return;
            }
        }
    }
}

} // namespace tarvell::sim
