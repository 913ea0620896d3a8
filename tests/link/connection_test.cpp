#include "link/framed_transport.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/packet_decoding.h"
#include "link/transfer_error.h"
#include "link/transfer_request.h"
#include "link/transfer_session.h"
#include "link_test_support.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

using Clock = std::chrono::steady_clock;
using test::CBytes;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A connected pair of loopback TCP sockets would need a listener; for the framing a Unix
// stream pair behaves the same.
struct SocketPair
{
    SocketPair()
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client.Reset(fds[0]);
        server.Reset(fds[1]);
    }
    UniqueFd client;
    UniqueFd server;
};

// The configuration a scripted server answers with: one station, one channel.
std::vector<unsigned char> OneChannelConfig()
{
    CBytes body;
    body.U16(1).U32(0).U16(1).Name("STA1").U32(0).U32(0).U32(0).U32(0).U16(1);
    body.Name("BHZ").Name("").U16(4).U32(kOwnByteOrderSignature).U32(10000).U32(1).U32(1);
    body.U32(0).U32(0).U32(0).U32(0).U32(0).U32(0).U32(0);
    return body.Framed();
}

std::unique_ptr<TransferRequest> OneChannelRequest()
{
    auto request = std::make_unique<TransferRequest>();
    request->stationCount = 1;
    std::memcpy(request->stations[0].name, "STA1", 5);
    request->stations[0].channelCount = 1;
    std::memcpy(request->stations[0].channels[0].name, "BHZ", 4);
    return request;
}

class ConnectionTest : public ::testing::Test
{
protected:
    CLinkConnection m_link;
};

TEST_F(ConnectionTest, FramingOfBreaksAndOfTooLongMessages)
{
    SocketPair pair;
    unsigned char buffer[64];
    std::uint32_t length = 99;
    ASSERT_TRUE(test::WriteAll(pair.server.Get(), {0, 0, 0, 0, 0, 0, 0, 3, 7, 8, 9}));
    EXPECT_EQ(RecvFramed(m_link, pair.client.Get(), buffer, sizeof buffer, &length), 0);
    EXPECT_EQ(length, 0u) << "a break";
    EXPECT_EQ(RecvFramed(m_link, pair.client.Get(), buffer, sizeof buffer, &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(buffer[2], 9);

    EXPECT_EQ(RecvFramed(m_link, pair.client.Get(), buffer, 3, &length), -1);
    EXPECT_EQ(g_transferError, kTransferTooLarge);

    // Too long for the message buffer, and a prefix of 2^31 or more: both fail at once, the
    // silence limit (60 s) is never waited for.
    auto message = std::make_unique<unsigned char[]>(kMessageBufferSize);
    for (std::uint32_t prefix :
         {std::uint32_t{362256}, std::uint32_t{362257}, 0x80000000u, 0xFFFFFFFFu})
    {
        const auto start = Clock::now();
        ASSERT_TRUE(test::WriteAll(pair.server.Get(), CBytes().U32(prefix).Body()));
        if (prefix == 362256)
        {
            // Exactly the buffer fits; the body is larger than the socket's buffer, so it is
            // written while the client reads.
            std::thread writer(
                [&] { test::WriteAll(pair.server.Get(), std::vector<unsigned char>(prefix, 1)); });
            EXPECT_EQ(
                RecvFramed(m_link, pair.client.Get(), message.get(), kMessageBufferSize, &length),
                0);
            writer.join();
            EXPECT_EQ(length, prefix);
            continue;
        }
        g_transferError = 0;
        EXPECT_EQ(RecvFramed(m_link, pair.client.Get(), message.get(), kMessageBufferSize, &length),
                  -1);
        EXPECT_EQ(g_transferError, kTransferTooLong) << prefix;
        EXPECT_LT(SecondsSince(start), 5.0);
    }
}

TEST_F(ConnectionTest, ServerThatClosesIsNoticedAtOnce)
{
    SocketPair pair;
    ASSERT_TRUE(test::WriteAll(pair.server.Get(), {0, 0}));
    pair.server.Reset();
    unsigned char buffer[16];
    std::uint32_t length = 0;
    const auto start = Clock::now();
    EXPECT_EQ(RecvFramed(m_link, pair.client.Get(), buffer, sizeof buffer, &length), -1);
    EXPECT_EQ(g_transferError, kTransferSocketError);
    EXPECT_LT(SecondsSince(start), 5.0) << "not after the 60 seconds of silence";
}

TEST_F(ConnectionTest, SilenceEndsTheWaitAndTheWaitIsReported)
{
    std::vector<int> reported;
    std::mutex reportedLock;
    m_link.onWait = [&](int seconds)
    {
        std::lock_guard lock(reportedLock);
        if (reported.empty() || reported.back() != seconds)
            reported.push_back(seconds);
    };
    m_link.silenceLimit = 1;
    SocketPair pair;
    unsigned char buffer[16];
    const auto start = Clock::now();
    EXPECT_EQ(RecvAll(m_link, pair.client.Get(), buffer, 4), -1);
    const double waited = SecondsSince(start);
    EXPECT_EQ(g_transferError, kTransferSocketError);
    EXPECT_GE(waited, 2.0) << "the wait ends when more than the limit in whole seconds passed";
    EXPECT_LT(waited, 6.0);
    EXPECT_EQ(reported, (std::vector<int>{0, 1, 2, 0}));

    // Data that arrive during the wait are read at once and end the wait.
    std::thread late(
        [&]
        {
            test::SleepMs(1300);
            test::WriteAll(pair.server.Get(), {1, 2, 3, 4});
        });
    const auto second = Clock::now();
    EXPECT_EQ(RecvAll(m_link, pair.client.Get(), buffer, 4), 4);
    EXPECT_LT(SecondsSince(second), 2.5);
    late.join();
    std::lock_guard lock(reportedLock);
    EXPECT_EQ(reported.back(), 0);
}

TEST_F(ConnectionTest, StopOrReconnectRequestEndsAWaitWithinASecond)
{
    // The stop command and the stall watchdog's request for a new connection both end a
    // wait for data, each with its own code.
    for (bool reconnect : {false, true})
    {
        CLinkConnection link;
        std::atomic<int> running{1};
        link.runFlag = &running;
        SocketPair pair;
        std::thread stopper(
            [&]
            {
                test::SleepMs(200);
                if (reconnect)
                    link.Counters().reconnectRequested = true;
                else
                    running = 0;
            });
        unsigned char buffer[4];
        const auto start = Clock::now();
        EXPECT_EQ(RecvAll(link, pair.client.Get(), buffer, 4), -1);
        EXPECT_EQ(g_transferError, reconnect ? kTransferReconnectAsked : kTransferStopped);
        EXPECT_LT(SecondsSince(start), 2.0);
        stopper.join();
    }
}

TEST_F(ConnectionTest, SendingToAClosedOrStalledPeer)
{
    {
        SocketPair pair;
        pair.server.Reset();
        const std::vector<unsigned char> bytes(100, 1);
        EXPECT_EQ(SendAll(m_link, pair.client.Get(), bytes.data(), 100), 0);
        EXPECT_EQ(g_transferError, kTransferBroken);
    }
    {
        // A peer that never reads: the send gives up after the silence limit.
        m_link.silenceLimit = 0;
        SocketPair pair;
        const int small = 4096;
        ::setsockopt(pair.client.Get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const std::vector<unsigned char> bytes(4 << 20, 1);
        ASSERT_EQ(::fcntl(pair.client.Get(), F_SETFL, O_NONBLOCK), 0);
        const int written =
            SendAll(m_link, pair.client.Get(), bytes.data(), static_cast<int>(bytes.size()));
        EXPECT_LT(written, static_cast<int>(bytes.size()));
        EXPECT_EQ(g_transferError, kTransferSocketError);
    }
}

TEST_F(ConnectionTest, OpenConnectionFailures)
{
    auto request = OneChannelRequest();
    auto config = std::make_unique<ServerConfig>();
    EXPECT_EQ(OpenConnection(m_link, "", 14002, 0, 0), -1);

    g_transferError = 0;
    EXPECT_EQ(ConnectServer(m_link, "no-such-host.invalid", 14002, *request, *config, 1), -2);
    EXPECT_EQ(g_transferError, kTransferHostNotFound);

    EXPECT_EQ(ConnectServer(m_link, "127.0.0.1", 0, *request, *config, 1), -4);
    EXPECT_EQ(ConnectServer(m_link, "127.0.0.1", 70000, *request, *config, 1), -4);

    request->timeout = 0;
    EXPECT_EQ(ConnectServer(m_link, "127.0.0.1", 14002, *request, *config, 1), -1);

    // Refused: -6 at once, without a pause, in every retry mode.
    request->timeout = 260;
    const int port = test::UnusedPort();
    for (int mode : {1, 0, -1})
    {
        const auto start = Clock::now();
        EXPECT_EQ(ConnectServer(m_link, "localhost", port, *request, *config, mode), -6);
        EXPECT_LT(SecondsSince(start), 0.25);
    }
}

// What the log says of a connection that could not be made: the real cause of each, told
// apart where the codes alone are the same (16: a close, or silence).
TEST_F(ConnectionTest, EveryFailedConnectionNamesItsCause)
{
    using Script = std::function<void(int socket, int index)>;
    const Script closes = [](int socket, int)
    {
        std::vector<unsigned char> body;
        test::ReadMessage(socket, &body);
    };
    const Script silent = [](int socket, int)
    {
        std::vector<unsigned char> body;
        test::ReadMessage(socket, &body);
        test::ReadExactly(socket, 1); // until the client gives up
    };
    const Script status5 = [](int socket, int)
    {
        std::vector<unsigned char> body;
        test::ReadMessage(socket, &body);
        test::WriteAll(socket, CBytes().Framed());
        test::WriteAll(socket, CBytes().U32(5).Framed());
    };
    struct Case
    {
        const char* what;
        std::string host;
        int port; // 0 with a script: the scripted server's
        Script script;
        int result;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"no host", "", 14002, nullptr, -1, "no host name"},
        {"unknown host", "no-such-host.invalid", 14002, nullptr, -2,
         "host name not found, code 17"},
        {"port zero", "127.0.0.1", -1, nullptr, -4, "port not between 1 and 65535"},
        {"refused", "127.0.0.1", test::UnusedPort(), nullptr, -6,
         "connection refused: nothing listens on the port"},
        {"closed by the server", "127.0.0.1", 0, closes, -1,
         "the opening exchange failed: the server closed the connection, code 16"},
        {"silent server", "127.0.0.1", 0, silent, -1,
         "the opening exchange failed: no data from the server within the silence limit, "
         "code 16"},
        {"a status of the server", "127.0.0.1", 0, status5, -1,
         "the opening exchange failed: server status 5, code 5"},
    };
    auto request = OneChannelRequest();
    auto config = std::make_unique<ServerConfig>();
    m_link.silenceLimit = 1;
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        std::unique_ptr<test::CScriptedServer> server;
        if (c.script)
            server = std::make_unique<test::CScriptedServer>(c.script);
        const int port = server ? server->Port() : c.port < 0 ? 0 : c.port;
        g_transferError = 0;
        const int result = ConnectServer(m_link, c.host, port, *request, *config, 1);
        ASSERT_EQ(result, c.result);
        EXPECT_EQ(ConnectFailureText(result, c.host, g_transferError, m_link.systemError), c.text);
    }
}

TEST_F(ConnectionTest, StatusThirteenIsAskedAgainWithGrowingPauses)
{
    // Five refusals with status 13, then the configuration: pauses of 0, 260, 520, 780 and
    // then 0 again before the attempts.
    std::atomic<int> requests{0};
    test::CScriptedServer server(
        [&](int socket, int index)
        {
            std::vector<unsigned char> body;
            if (!test::ReadMessage(socket, &body))
                return;
            ++requests;
            if (index < 5)
            {
                test::WriteAll(socket, CBytes().Framed());
                test::WriteAll(socket, CBytes().U32(13).Framed());
                return;
            }
            test::WriteAll(socket, OneChannelConfig());
        },
        6);
    auto request = OneChannelRequest();
    auto config = std::make_unique<ServerConfig>();
    const int socket = ConnectServer(m_link, "127.0.0.1", server.Port(), *request, *config, 1);
    ASSERT_GE(socket, 0);
    ::close(socket);
    EXPECT_EQ(requests.load(), 6);
    EXPECT_STREQ(config->stations[0].channels[0].name, "BHZ");
    const auto times = server.AcceptTimes();
    ASSERT_EQ(times.size(), 6u);
    const int pauses[] = {260, 520, 780, 0, 260};
    for (std::size_t k = 1; k < times.size(); ++k)
    {
        const double gapMs =
            std::chrono::duration<double, std::milli>(times[k] - times[k - 1]).count();
        EXPECT_GE(gapMs, pauses[k - 1] - 2) << "attempt " << k;
        EXPECT_LT(gapMs, pauses[k - 1] + 900) << "attempt " << k;
    }
}

TEST_F(ConnectionTest, RetryModesOnOtherFailures)
{
    auto request = OneChannelRequest();
    auto config = std::make_unique<ServerConfig>();
    auto refuser = [](std::int32_t status, int answerAfter)
    {
        return [status, answerAfter](int socket, int index)
        {
            std::vector<unsigned char> body;
            if (!test::ReadMessage(socket, &body))
                return;
            if (index >= answerAfter)
            {
                test::WriteAll(socket, OneChannelConfig());
                return;
            }
            test::WriteAll(socket, CBytes().Framed());
            test::WriteAll(socket, CBytes().U32(static_cast<std::uint32_t>(status)).Framed());
        };
    };
    {
        test::CScriptedServer server(refuser(13, 9), 1);
        EXPECT_EQ(ConnectServer(m_link, "127.0.0.1", server.Port(), *request, *config, 0), -1);
        EXPECT_EQ(g_transferError, kTransferRetryStatus) << "mode 0 never asks again";
    }
    {
        test::CScriptedServer server(refuser(5, 9), 1);
        EXPECT_EQ(ConnectServer(m_link, "127.0.0.1", server.Port(), *request, *config, 1), -1);
        EXPECT_EQ(g_transferError, 5);
    }
    {
        request->timeout = 20;
        test::CScriptedServer server(refuser(5, 2), 3);
        const int socket = ConnectServer(m_link, "127.0.0.1", server.Port(), *request, *config, -1);
        EXPECT_GE(socket, 0) << "a negative mode asks again after any failure";
        ::close(socket);
    }
}

TEST_F(ConnectionTest, PauseEndsEarlyOnAStopRequest)
{
    EXPECT_TRUE(PauseUnlessStopped(m_link, 20));
    std::atomic<int> running{1};
    m_link.runFlag = &running;
    std::thread stopper(
        [&]
        {
            test::SleepMs(100);
            running = 0;
        });
    const auto start = Clock::now();
    EXPECT_FALSE(PauseUnlessStopped(m_link, 10000));
    EXPECT_LT(SecondsSince(start), 2.0);
    stopper.join();
}

TEST_F(ConnectionTest, StopRequestEndsTheRetries)
{
    std::atomic<int> running{1};
    m_link.runFlag = &running;
    test::CScriptedServer server(
        [](int socket, int)
        {
            std::vector<unsigned char> body;
            if (test::ReadMessage(socket, &body))
            {
                test::WriteAll(socket, CBytes().Framed());
                test::WriteAll(socket, CBytes().U32(13).Framed());
            }
        },
        100);
    auto request = OneChannelRequest();
    request->timeout = 5000; // pauses of 5, 10 and 15 seconds
    auto config = std::make_unique<ServerConfig>();
    std::thread stopper(
        [&]
        {
            test::SleepMs(300);
            running = 0;
        });
    const auto start = Clock::now();
    EXPECT_EQ(ConnectServer(m_link, "127.0.0.1", server.Port(), *request, *config, 1), -1);
    EXPECT_EQ(g_transferError, kTransferStopped);
    EXPECT_LT(SecondsSince(start), 2.0);
    stopper.join();
}

} // namespace
} // namespace tarvell
