#pragma once
// A datagram socket in the role of the service manager (NOTIFY_SOCKET): what the program
// tells it. Main test thread only.

#include <chrono>
#include <string>

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/unique_fd.h"

namespace tarvell::test
{

class CNotifySocket
{
public:
    explicit CNotifySocket(const std::string& path) : m_path(path)
    {
        m_socket.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }

    // The next message within timeoutMs, or empty.
    std::string Receive(int timeoutMs)
    {
        pollfd entry{m_socket.Get(), POLLIN, 0};
        if (::poll(&entry, 1, timeoutMs) <= 0)
            return {};
        char buffer[4096];
        const ssize_t size = ::recv(m_socket.Get(), buffer, sizeof buffer, 0);
        return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : std::string();
    }

    // Forgets the messages received so far.
    void Drain()
    {
        while (!Receive(0).empty())
        {
        }
    }

    // Waits at most timeoutMs for a message holding text; true when one came.
    bool WaitFor(const std::string& text, int timeoutMs, std::string* seen)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end)
        {
            const std::string message = Receive(100);
            *seen += message.empty() ? "" : message + "|";
            if (message.find(text) != std::string::npos)
                return true;
        }
        return false;
    }

private:
    std::string m_path;
    UniqueFd m_socket;
};

} // namespace tarvell::test
