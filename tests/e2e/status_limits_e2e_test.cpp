// The status server against clients that do not behave, end to end: a flood of idle and
// dripping connections under a low descriptor limit while live data flow, and requests no
// address takes (bodies, other methods, heads too large, a missing or wrong token). The
// archive must stay complete, the server must answer a scraper during and after the flood,
// and every refusal must be counted and logged, a flood of them in a line.

#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e/e2e_world.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

using test::ChannelArchive;
using test::FreePort;
using test::WaitUntil;

// A connection to the status port; blocking unless said otherwise.
UniqueFd Connect(int port, bool blocking = true)
{
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    (void)::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    return socket;
}

// Sends text, then up to bodyBytes more (a body the server may refuse to read), and returns
// the first line of the answer ("" when none came within 10 s).
std::string Exchange(int port, const std::string& text, std::size_t bodyBytes = 0)
{
    UniqueFd socket = Connect(port);
    (void)::send(socket.Get(), text.data(), text.size(), MSG_NOSIGNAL);
    const std::string chunk(65536, 'x');
    for (std::size_t sent = 0; sent < bodyBytes; sent += chunk.size())
    {
        pollfd entry{socket.Get(), POLLOUT, 0};
        if (::poll(&entry, 1, 2000) <= 0 ||
            ::send(socket.Get(), chunk.data(), chunk.size(), MSG_NOSIGNAL) <= 0)
            break; // the server stopped reading: it has answered already
    }
    std::string answer;
    char byte = 0;
    pollfd entry{socket.Get(), POLLIN, 0};
    while (answer.find("\r\n") == std::string::npos && ::poll(&entry, 1, 10000) > 0 &&
           ::recv(socket.Get(), &byte, 1, 0) == 1)
        answer += byte;
    return answer.substr(0, answer.find("\r\n"));
}

class StatusLimitsEndToEnd : public test::TarvellEndToEnd
{
protected:
    // Two live 100 Hz channels from a minute ago, the status server on a free port.
    void StartLive(const std::string& statusSection, const std::vector<std::string>& prefix,
                   const std::string& token = "")
    {
        m_db.AddSiteChan("ABC", "BHZ", 100);
        m_db.AddSiteChan("ABC", "BHN", 100);
        m_start = std::time(nullptr) - 60;
        const std::string from = ":100:" + std::to_string(m_start);
        const int port = StartSim(
            {"--realtime", "--synthetic", "ABC:BHZ" + from, "--synthetic", "ABC:BHN" + from});
        m_statusPort = FreePort();
        WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}}, "",
                 "\n[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(m_statusPort) + "\n" +
                     statusSection);
        m_tarvell = StartTarvell("", prefix);
        ASSERT_TRUE(WaitUntil([&] { return !Metrics(token).empty(); }, 20000)) << Outputs();
    }

    // /metrics, or empty when it does not answer within 2 s.
    std::string Metrics(const std::string& token = "") const
    {
        httplib::Client client("127.0.0.1", m_statusPort);
        client.set_connection_timeout(2, 0);
        client.set_read_timeout(2, 0);
        if (!token.empty())
            client.set_bearer_token_auth(token);
        const httplib::Result answer = client.Get("/metrics");
        return answer && answer->status == 200 ? answer->body : std::string();
    }

    int m_statusPort = 0;
    long long m_start = 0;
    std::unique_ptr<test::ChildProcess> m_tarvell;
};

TEST_F(StatusLimitsEndToEnd, AFloodOfIdleConnectionsNeverStopsTheArchiveNorBlindsTheScraper)
{
    // A service manager's usual soft limit, lowered: the flood alone could exhaust it.
    ASSERT_NO_FATAL_FAILURE(StartLive("", {"/usr/bin/prlimit", "--nofile=256:256"}));
    std::vector<UniqueFd> idle;
    for (int i = 0; i < 400; ++i)
        idle.push_back(Connect(m_statusPort, false));
    std::vector<UniqueFd> dripping;
    for (int i = 0; i < 20; ++i)
        dripping.push_back(Connect(m_statusPort));
    // For six seconds the dripping clients send a byte of their request now and then, and the
    // scraper asks: it must be answered while the flood holds its connections.
    int answered = 0;
    for (int round = 0; round < 30; ++round)
    {
        for (const UniqueFd& socket : dripping)
            (void)::send(socket.Get(), "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        answered += Metrics().empty() ? 0 : 1;
        test::SleepMs(200);
    }
    EXPECT_GT(answered, 25) << "of 30 scrapes during the flood";
    idle.clear();
    dripping.clear();
    std::string metrics;
    ASSERT_TRUE(WaitUntil([&] { return !(metrics = Metrics()).empty(); }, 10000));
    const long long floodEnd = std::time(nullptr);

    // Every kind of refusal the flood caused is counted, and logged in one line.
    const std::string sample = "tarvell_status_connections_refused_total{reason=\"made_room\"} ";
    const std::size_t at = metrics.find(sample);
    ASSERT_NE(at, std::string::npos) << metrics;
    EXPECT_GT(std::stoll(metrics.substr(at + sample.size())), 100) << metrics;
    const std::string log = LogText();
    const std::string line = "the one waiting longest for its request was closed";
    std::size_t lines = 0;
    for (std::size_t found = log.find(line); found != std::string::npos;
         found = log.find(line, found + 1))
        ++lines;
    EXPECT_EQ(lines, 1u) << log;
    EXPECT_EQ(log.find("Too many open files"), std::string::npos) << log;
    EXPECT_EQ(log.find("Connection closed"), std::string::npos) << "the server link dropped\n"
                                                                << log;

    // The archive went on: every sample from the start to past the end of the flood, once.
    Stop(*m_tarvell);
    for (const char* channel : {"BHZ", "BHN"})
    {
        const long long expected = (floodEnd + 60 - m_start) * 100;
        const ChannelArchive archive = Check("ABC", channel, 100, expected, m_start);
        EXPECT_EQ(archive.firstHeld, 0) << channel;
        EXPECT_GE(archive.lastHeld, (floodEnd - m_start) * 100 - 200) << channel;
        EXPECT_EQ(archive.missing, expected - 1 - archive.lastHeld) << channel << " has a gap";
        EXPECT_EQ(archive.duplicates, 0) << channel;
        EXPECT_EQ(archive.wrong, 0) << channel;
    }
    ExpectArchiveConsistent();
}

TEST_F(StatusLimitsEndToEnd, RequestsNoAddressTakesAreRefusedBeforeTheirBodyAndWithoutTheToken)
{
    const std::string token = "k7-Token.of+the~site/0123456789";
    const std::string tokenFile = m_box.Write("token", token + "\n");
    ASSERT_EQ(::chmod(tokenFile.c_str(), 0600), 0);
    ASSERT_NO_FATAL_FAILURE(
        StartLive("TOKEN_FILE=" + tokenFile + "\nREQUEST_SECONDS=1\n", {}, token));
    ASSERT_TRUE(Metrics().empty()) << "answered without the token";
    const std::string bearer = "Authorization: Bearer " + token + "\r\n";
    struct Case
    {
        std::string request;
        std::size_t bodyBytes;
        std::string answer;
    };
    const std::vector<Case> cases = {
        {"POST /metrics HTTP/1.1\r\nContent-Length: 1073741824\r\n" + bearer + "\r\n", 64 << 20,
         "HTTP/1.1 405 Method Not Allowed"},
        {"GET /status HTTP/1.1\r\nContent-Length: 1073741824\r\nExpect: 100-continue\r\n" + bearer +
             "\r\n",
         0, "HTTP/1.1 413 Payload Too Large"},
        {"GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + bearer + "\r\n", 1 << 20,
         "HTTP/1.1 413 Payload Too Large"},
        {"GET /status HTTP/1.1\r\nX-Filler: " + std::string(20000, 'x') + "\r\n\r\n", 0,
         "HTTP/1.1 400 Bad Request"},
        // A client that sends its request too slowly, or nothing at all.
        {"GET /status HTTP/1.1\r\n", 0, "HTTP/1.1 400 Bad Request"},
        {"", 0, ""},
        {"GET /metrics HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 401 Unauthorized"},
        {"GET /status HTTP/1.1\r\nAuthorization: Bearer " + token.substr(0, 10) + "\r\n\r\n", 0,
         "HTTP/1.1 401 Unauthorized"},
        {"GET /status HTTP/1.1\r\nAuthorization: Basic " + token + "\r\n\r\n", 0,
         "HTTP/1.1 401 Unauthorized"},
        // The page holds no state and is served without the token; its requests carry it.
        {"GET / HTTP/1.1\r\n\r\n", 0, "HTTP/1.1 200 OK"},
        {"GET /status HTTP/1.1\r\nAuthorization: bearer " + token + "\r\n\r\n", 0,
         "HTTP/1.1 200 OK"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Exchange(m_statusPort, c.request, c.bodyBytes), c.answer)
            << c.request.substr(0, 80);

    const std::string metrics = Metrics(token);
    for (const char* sample :
         {"tarvell_status_requests_refused_total{reason=\"method\"} 1\n",
          "tarvell_status_requests_refused_total{reason=\"body\"} 2\n",
          "tarvell_status_requests_refused_total{reason=\"head_too_large\"} 1\n",
          "tarvell_status_requests_refused_total{reason=\"token\"} 4\n",
          "tarvell_status_connections_refused_total{reason=\"timeout\"} 2\n"})
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample << metrics;
    for (const char* line :
         {"a POST request from 127.0.0.1 was refused",
          "a request with a body from 127.0.0.1 was refused", "its head is larger than 16384 bytes",
          "without the right token was refused", "sent no complete request within 1 s"})
        EXPECT_NE(LogText().find(line), std::string::npos) << line << "\n" << LogText();

    // The terminal view sends the token of the INI.
    test::ChildProcess status(TARVELL_BINARY, {"--status", "--ini", m_ini},
                              m_box.File("status.out"));
    EXPECT_EQ(status.Wait(30000), 0) << test::ReadFile(m_box.File("status.out"));
    Stop(*m_tarvell);
}

} // namespace
} // namespace tarvell
