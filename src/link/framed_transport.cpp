#include "link/framed_transport.h"

#include <cerrno>
#include <climits>
#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "link/transfer_error.h"
#include "link/wire.h"
#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace tarvell
{

namespace
{

// Every wait polls in this step, so new data is read at once, silence is noticed to the
// second, and a stop request within half a second.
constexpr int kPollStepMs = 500;

enum class WaitResult
{
    Ready,
    TimedOut,
    Failed,
    Stopped,
};

// Polls socket for events in steps of kPollStepMs until it is ready, more than limitSeconds
// whole seconds have passed, the poll fails, or a stop is requested. With showWait the whole
// seconds waited go to the wait display, which returns to 0 when the wait ends.
WaitResult PollSocket(const CLinkConnection& link, int socket, short events, int limitSeconds,
                      bool showWait)
{
    const auto start = std::chrono::steady_clock::now();
    // The idle work is done as soon as nothing is there to read (a server that sent a burst
    // of packets has its burst committed at once), and again after each step of waiting.
    bool looked = false;
    for (;;)
    {
        if (link.StopRequested())
        {
            if (showWait)
                link.ReportWait(0);
            return WaitResult::Stopped;
        }
        pollfd entry{socket, events, 0};
        const bool idleFirst = showWait && link.idleWork && !std::exchange(looked, true);
        const int ready = ::poll(&entry, 1, idleFirst ? 0 : kPollStepMs);
        if (ready < 0 && errno != EINTR)
            return WaitResult::Failed;
        if (ready > 0)
        {
            // POLLHUP and POLLERR count as ready: the read or write that follows reports the
            // closed connection or the error at once.
            if (showWait)
                link.ReportWait(0);
            return WaitResult::Ready;
        }
        if (showWait && link.idleWork && !link.idleWork())
        {
            link.ReportWait(0);
            return WaitResult::Stopped;
        }
        const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        const int seconds = static_cast<int>(elapsed);
        if (showWait)
            link.ReportWait(seconds);
        if (seconds > limitSeconds)
        {
            if (showWait)
                link.ReportWait(0);
            return WaitResult::TimedOut;
        }
    }
}

// Sleeps ms milliseconds in short slices; false when a stop was requested meanwhile.
bool PauseSlices(const CLinkConnection& link, std::int64_t ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;)
    {
        if (link.StopRequested())
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - now, std::chrono::milliseconds(50)));
    }
}

int CodeForFailedWait(const CLinkConnection& link)
{
    return link.StopRequested() ? link.StopCode() : kTransferSocketError;
}

void SetIntOption(int socket, int level, int name, int value)
{
    // A refused option leaves the system's default in place, which only costs speed.
    (void)::setsockopt(socket, level, name, &value, sizeof value);
}

} // namespace

bool PauseUnlessStopped(const CLinkConnection& link, int milliseconds)
{
    return PauseSlices(link, milliseconds);
}

int OpenConnection(CLinkConnection& link, std::string_view host, int port, int sendBufferSize,
                   int receiveBufferSize)
{
    if (host.empty())
    {
        errno = EINVAL;
        return -1;
    }

    // getaddrinfo takes both names and dotted IPv4 addresses, and unlike gethostbyname it is
    // safe while other acquisition threads resolve their own servers.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string name(host);
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    {
        g_transferError = kTransferHostNotFound;
        return -2;
    }
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);

    // A port above 65535 would silently wrap to another port.
    if (port <= 0 || port > 65535)
        return -4;
    address.sin_port = htons(static_cast<std::uint16_t>(port));

    if (link.currentTimeout <= 0)
        return -1;

    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket)
    {
        link.systemError = errno;
        return -5;
    }
    link.DropReadAhead(); // the new socket may have the number of the last one
    SetIntOption(socket.Get(), SOL_SOCKET, SO_KEEPALIVE, 1);
    if (sendBufferSize > 0)
        SetIntOption(socket.Get(), SOL_SOCKET, SO_SNDBUF, sendBufferSize);
    if (receiveBufferSize > 0)
        SetIntOption(socket.Get(), SOL_SOCKET, SO_RCVBUF, receiveBufferSize);

    // Connecting without blocking lets a stop request end an attempt at a server that does
    // not answer, instead of waiting out the system's connect timeout.
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    {
        if (errno != EINPROGRESS && errno != EINTR)
        {
            link.systemError = errno;
            return -6;
        }
        if (PollSocket(link, socket.Get(), POLLOUT, link.silenceLimit, false) != WaitResult::Ready)
        {
            link.systemError = ETIMEDOUT;
            return -6;
        }
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
        {
            link.systemError = error != 0 ? error : errno;
            return -6;
        }
    }
    return socket.Release();
}

int SendAll(CLinkConnection& link, int socket, const unsigned char* bytes, int count)
{
    int written = 0;
    while (written < count)
    {
        const ssize_t sent = ::send(socket, bytes + written,
                                    static_cast<std::size_t>(count - written), MSG_NOSIGNAL);
        if (sent > 0)
        {
            written += static_cast<int>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
        {
            // A server that stops reading must not hold the thread forever.
            if (PollSocket(link, socket, POLLOUT, link.silenceLimit, false) == WaitResult::Ready)
                continue;
            g_transferError = CodeForFailedWait(link);
            link.systemError = ETIMEDOUT;
            break;
        }
        g_transferError = errno == EPIPE ? kTransferBroken : kTransferSocketError;
        link.systemError = errno;
        break;
    }
    return written;
}

// The whole seconds left before the message being read must be whole (a large number when it
// has no deadline); 0 when it is overdue.
int SecondsLeft(const CLinkConnection& link)
{
    if (link.messageDeadline == std::chrono::steady_clock::time_point::max())
        return INT_MAX;
    const auto now = std::chrono::steady_clock::now();
    if (now >= link.messageDeadline)
        return 0;
    const auto left = std::chrono::ceil<std::chrono::seconds>(link.messageDeadline - now).count();
    return static_cast<int>(std::min<std::int64_t>(left, INT_MAX));
}

int RecvAll(CLinkConnection& link, int socket, unsigned char* destination, int count)
{
    // Bytes count when they are handed on, so the link's figure is what its messages hold.
    int read = 0;
    const auto handOn = [&](std::size_t bytes)
    {
        read += static_cast<int>(bytes);
        link.Counters().bytesReceived.fetch_add(static_cast<std::int64_t>(bytes),
                                                std::memory_order_relaxed);
    };
    handOn(link.TakeReadAhead(socket, destination, static_cast<std::size_t>(count)));
    while (read < count)
    {
        // What is missing of a small message is read together with whatever the server
        // sent after it; a message larger than the read-ahead goes straight into place.
        const auto missing = static_cast<std::size_t>(count - read);
        const bool ahead = missing < kReadAheadSize;
        unsigned char* into = ahead ? link.ReadAheadRoom(socket) : destination + read;
        const std::size_t room = ahead ? kReadAheadSize : missing;
        // While a server sends faster than we read, the bytes are already here: reading
        // them first saves a poll per read, which is half the system calls of a backfill.
        // A stop or reconnect request still goes through the wait, which answers it.
        ssize_t received = -1;
        if (!link.StopRequested())
            received = ::recv(socket, into, room, MSG_DONTWAIT);
        if (received < 0)
        {
            const int left = SecondsLeft(link);
            if (left <= 0 || WaitReadable(link, socket, std::min(link.silenceLimit, left)) == 0)
            {
                g_transferError = link.StopRequested() || SecondsLeft(link) > 0
                                      ? CodeForFailedWait(link)
                                      : kTransferTooSlow;
                link.systemError = ETIMEDOUT;
                return -1;
            }
            received = ::recv(socket, into, room, 0);
        }
        else
        {
            link.ReportWait(0);
        }
        if (received > 0)
        {
            if (ahead)
            {
                link.ReadAheadFilled(static_cast<std::size_t>(received));
                handOn(link.TakeReadAhead(socket, destination + read, missing));
            }
            else
            {
                handOn(static_cast<std::size_t>(received));
            }
            continue;
        }
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        // 0: the server closed the connection; it is reported now, not after the silence
        // limit, so the client reconnects without losing a minute of data.
        g_transferError = kTransferSocketError;
        link.systemError = received == 0 ? 0 : errno;
        return -1;
    }
    return read;
}

int WaitReadable(const CLinkConnection& link, int socket, int limitSeconds)
{
    return PollSocket(link, socket, POLLIN, limitSeconds, true) == WaitResult::Ready ? 1 : 0;
}

// Message framing, both directions:
//   offset size field
//   0      4    body length L, big-endian, unsigned (0: a break, no body)
//   4      L    body
int SendFramed(CLinkConnection& link, int socket, unsigned char* buffer, std::uint32_t bodyLength)
{
    WriteBE32(buffer, bodyLength);
    const int total = static_cast<int>(bodyLength) + 4;
    return SendAll(link, socket, buffer, total) == total ? 0 : -1;
}

int RecvFramed(CLinkConnection& link, int socket, unsigned char* destination,
               std::size_t destinationSize, std::uint32_t* length)
{
    if (destinationSize < 4)
    {
        g_transferError = kTransferTooLarge;
        return -1;
    }
    // The prefix scratch lives on this call's stack: it is the connection's own by nature.
    unsigned char prefix[4];
    struct DeadlineScope
    {
        CLinkConnection& link;
        explicit DeadlineScope(CLinkConnection& owner) : link(owner)
        {
            link.messageDeadline = SteadyCoarseNow() + std::chrono::seconds(link.messageLimit);
        }
        ~DeadlineScope() { link.messageDeadline = std::chrono::steady_clock::time_point::max(); }
    } deadline(link);
    if (RecvAll(link, socket, prefix, 4) != 4)
        return -1;
    const std::uint32_t bodyLength = ReadBE32(prefix);
    *length = bodyLength;
    if (bodyLength == 0)
        return 0;
    // Unsigned: a prefix of 2^31 or more is too long here, never a negative count.
    if (bodyLength > destinationSize)
    {
        g_transferError = kTransferTooLong;
        return -1;
    }
    const int count = static_cast<int>(bodyLength);
    return RecvAll(link, socket, destination, count) == count ? 0 : -1;
}

} // namespace tarvell
