#include "status/request_stream.h"

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace tarvell
{
namespace
{

// How long, and how much of, a refused body is read before the socket is closed.
constexpr std::chrono::milliseconds kDrainTime(1000);
constexpr std::size_t kMaxDrainBytes = 1 << 20;

std::string AddressText(const sockaddr_storage& address, int* port)
{
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET)
    {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        *port = ntohs(in.sin_port);
    }
    else if (address.ss_family == AF_INET6)
    {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        *port = ntohs(in6.sin6_port);
    }
    return text;
}

} // namespace

std::string PeerAddress(int socket)
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    int port = 0;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return "?";
    return AddressText(address, &port);
}

CRequestStream::CRequestStream(int socket, std::chrono::milliseconds requestTime)
    : m_socket(socket), m_requestTime(requestTime)
{
}

void CRequestStream::BeginRequest()
{
    m_readDeadline = Clock::now() + m_requestTime;
    m_writing = false;
    m_headBytes = 0;
    m_timedOut = false;
    m_headTooLarge = false;
}

CRequestStream::Wait CRequestStream::WaitFor(short events, Clock::time_point deadline) const
{
    for (;;)
    {
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return Wait::TimedOut;
        // Rounded up: a poll that ended a fraction of a millisecond early is no timeout.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        pollfd entry{m_socket, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0)
            return Wait::Ready;
        if (ready < 0 && errno != EINTR)
            return Wait::Failed;
    }
}

bool CRequestStream::Fill()
{
    const Wait wait = WaitFor(POLLIN, m_readDeadline);
    if (wait != Wait::Ready)
    {
        m_timedOut = wait == Wait::TimedOut;
        return false;
    }
    ssize_t got = 0;
    do
        got = ::recv(m_socket, m_buffer.data(), m_buffer.size(), 0);
    while (got < 0 && errno == EINTR);
    if (got <= 0)
        return false;
    m_begin = 0;
    m_end = static_cast<std::size_t>(got);
    return true;
}

bool CRequestStream::WaitForRequest()
{
    return m_begin < m_end || Fill();
}

bool CRequestStream::is_readable() const
{
    return m_begin < m_end || WaitFor(POLLIN, m_readDeadline) == Wait::Ready;
}

ssize_t CRequestStream::read(char* ptr, size_t size)
{
    if (m_headBytes >= kMaxRequestHeadBytes)
    {
        m_headTooLarge = true;
        return -1;
    }
    if (m_begin == m_end && !Fill())
        return m_timedOut ? -1 : 0;
    const std::size_t count = std::min({size, m_end - m_begin, kMaxRequestHeadBytes - m_headBytes});
    std::copy_n(m_buffer.data() + m_begin, count, ptr);
    m_begin += count;
    m_headBytes += count;
    return static_cast<ssize_t>(count);
}

bool CRequestStream::is_writable() const
{
    const Clock::time_point deadline =
        m_writing ? m_writeDeadline : Clock::now() + std::chrono::seconds(kAnswerSeconds);
    return WaitFor(POLLOUT, deadline) == Wait::Ready;
}

ssize_t CRequestStream::write(const char* ptr, size_t size)
{
    if (!m_writing)
    {
        m_writing = true;
        m_writeDeadline = Clock::now() + std::chrono::seconds(kAnswerSeconds);
    }
    if (WaitFor(POLLOUT, m_writeDeadline) != Wait::Ready)
        return -1;
    ssize_t sent = 0;
    do
        sent = ::send(m_socket, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return 0;
    return sent;
}

void CRequestStream::EndGently()
{
    ::shutdown(m_socket, SHUT_WR);
    const Clock::time_point deadline = Clock::now() + kDrainTime;
    std::size_t drained = 0;
    while (drained < kMaxDrainBytes && WaitFor(POLLIN, deadline) == Wait::Ready)
    {
        const ssize_t got = ::recv(m_socket, m_buffer.data(), m_buffer.size(), 0);
        if (got <= 0)
            break;
        drained += static_cast<std::size_t>(got);
    }
    m_begin = m_end = 0;
}

void CRequestStream::get_remote_ip_and_port(std::string& ip, int& port) const
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(m_socket, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        ip = AddressText(address, &port);
}

void CRequestStream::get_local_ip_and_port(std::string& ip, int& port) const
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        ip = AddressText(address, &port);
}

} // namespace tarvell
