#pragma once
// One status connection as the HTTP library reads and writes it, within the status server's
// limits: a request (the next one of a kept-alive connection included) must arrive whole
// within the request time, its head within kMaxRequestHeadBytes, and an answer must be taken
// by the client within kAnswerSeconds. A client that sends nothing, drips, or never reads
// holds its connection no longer than that. The serving thread of the connection only.

#include <array>
#include <chrono>
#include <cstddef>
#include <string>

#include <httplib.h>

namespace tarvell
{

// Browsers send a few hundred bytes, with the cookies of other services of the same host a
// few kilobytes.
inline constexpr std::size_t kMaxRequestHeadBytes = 16384;
inline constexpr int kAnswerSeconds = 10;

class CRequestStream final : public httplib::Stream
{
public:
    CRequestStream(int socket, std::chrono::milliseconds requestTime);

    // A new request is awaited from now on.
    void BeginRequest();

    // Waits for the first bytes of the request. False when the client closed the connection,
    // nothing came within the request time, or the socket failed.
    bool WaitForRequest();

    // What ended the reading of the request, if anything did.
    bool TimedOut() const { return m_timedOut; }
    bool HeadTooLarge() const { return m_headTooLarge; }

    // Ends the connection so that the client reads the answer already sent: no more is sent,
    // and what the client still sends (a refused body) is read and dropped for a moment
    // before the socket is closed, since closing with unread bytes would reset the
    // connection under the answer.
    void EndGently();

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return m_socket; }

private:
    using Clock = std::chrono::steady_clock;

    enum class Wait
    {
        Ready,
        TimedOut,
        Failed,
    };
    // Waits until the socket is ready for events (POLLIN or POLLOUT) or deadline passes.
    Wait WaitFor(short events, Clock::time_point deadline) const;
    // Reads what the client sent into the buffer; false at its end, on failure or timeout.
    bool Fill();

    const int m_socket;
    const std::chrono::milliseconds m_requestTime;
    Clock::time_point m_readDeadline;
    Clock::time_point m_writeDeadline;
    bool m_writing = false;      // the answer has begun: its deadline is set
    std::size_t m_headBytes = 0; // given to the library for the current request
    bool m_timedOut = false;
    bool m_headTooLarge = false;
    std::array<char, 4096> m_buffer{};
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

// The address of a socket's peer ("192.0.2.1"), for messages; "?" when it has none.
std::string PeerAddress(int socket);

} // namespace tarvell
