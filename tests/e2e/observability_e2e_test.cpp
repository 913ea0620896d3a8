// What the running program tells beyond its event log, end to end: the status server read
// by a real HTTP client and checked by promtool and a real browser, the stall watchdog on a
// channel that falls silent while another flows, the service manager's notifications on a
// datagram socket of the test's own, and kdx-db availability after a run with a gap.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "e2e/e2e_world.h"
#include "e2e/notify_socket.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

using test::ChildProcess;
using test::CNotifySocket;
using test::FreePort;
using test::kStart;
using test::ReadFile;
using test::WaitUntil;
using Json = nlohmann::json;

// A program on PATH, or empty.
std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string directories = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= directories.size();)
    {
        const std::size_t end = std::min(directories.find(':', start), directories.size());
        const std::string candidate = directories.substr(start, end - start) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

// The colour class of the latency cell in the page's row of channel.
std::string LatencyClass(const std::string& dom, const std::string& channel)
{
    const std::size_t row = dom.find("<td>" + channel + "</td>");
    const std::string cell = "<td class=\"num ";
    const std::size_t latency = row == std::string::npos ? row : dom.find(cell, row);
    if (latency == std::string::npos)
        return {};
    const std::size_t begin = latency + cell.size();
    return dom.substr(begin, dom.find('"', begin) - begin);
}

class ObservabilityEndToEnd : public test::TarvellEndToEnd
{
protected:
    static constexpr const char* kToken = "observability-token";

    // An answer of the status server; empty when there is none.
    std::string Get(const std::string& path) const
    {
        httplib::Client client("127.0.0.1", m_statusPort);
        client.set_connection_timeout(2, 0);
        client.set_bearer_token_auth(kToken);
        const httplib::Result answer = client.Get(path);
        return answer && answer->status == 200 ? answer->body : std::string();
    }

    Json Status() const
    {
        const std::string body = Get("/status");
        return body.empty() ? Json() : Json::parse(body, nullptr, false);
    }

    static const Json* FindChannel(const Json& status, const std::string& channel)
    {
        if (!status.is_object())
            return nullptr;
        for (const Json& entry : status["channels"])
            if (entry["channel"] == channel)
                return &entry;
        return nullptr;
    }

    // Runs a program to its end; returns its exit status, its output in *output.
    int Run(const std::string& program, const std::vector<std::string>& arguments,
            std::string* output)
    {
        const std::string file = m_box.File("run" + std::to_string(++m_runs) + ".out");
        ChildProcess child(program, arguments, file);
        const int status = child.Wait(60000);
        *output = ReadFile(file);
        return status;
    }

    // Two 100 Hz channels from a minute ago, live after that; BHN falls silent after its
    // fifth packet of every connection while BHZ goes on.
    void StartWithASilentChannel(const std::string& extraSystem)
    {
        m_db.AddSiteChan("ABC", "BHZ", 100);
        m_db.AddSiteChan("ABC", "BHN", 100);
        const std::string from = std::to_string(std::time(nullptr) - 60);
        const int port = StartSim({"--realtime", "--stall-channel", "ABC:BHN:5", "--synthetic",
                                   "ABC:BHZ:100:" + from, "--synthetic", "ABC:BHN:100:" + from});
        m_statusPort = FreePort();
        // Asked with a token, as a site whose status server others can reach would be.
        const std::string tokenFile = m_box.Write("token", std::string(kToken) + "\n");
        ASSERT_EQ(::chmod(tokenFile.c_str(), 0600), 0);
        WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port}}, "STALL_SECONDS=2\n" + extraSystem,
                 "\n[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(m_statusPort) +
                     "\nTOKEN_FILE=" + tokenFile + "\n");
        m_tarvell = StartTarvell();
        ASSERT_TRUE(WaitUntil([&] { return !Get("/status").empty(); }, 20000))
            << ReadFile(m_box.File("tarvell.out"));
    }

    int m_statusPort = 0;
    int m_runs = 0;
    std::unique_ptr<ChildProcess> m_tarvell;
};

TEST_F(ObservabilityEndToEnd, StatusAndMetricsShowWhatTheServerSentAndTheSilentChannel)
{
    ASSERT_NO_FATAL_FAILURE(StartWithASilentChannel("MAX_LATENCY=1\n"));
    // The limit is never below three packets' duration: 3 s here.
    Json status;
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            status = Status();
            const Json* silent = FindChannel(status, "BHN");
            return silent && (*silent)["stalled"] == true;
        },
        15000))
        << status.dump(1) << "\n"
        << LogText();

    const Json& silent = *FindChannel(status, "BHN");
    const Json& flowing = *FindChannel(status, "BHZ");
    EXPECT_EQ(silent["samples_received"], 500) << "five packets of 100 samples, then nothing";
    EXPECT_EQ(silent["packets_received"], 5);
    EXPECT_FALSE(flowing["stalled"].get<bool>());
    EXPECT_GE(flowing["samples_received"].get<long long>(), 6000) << "the minute before now";
    EXPECT_LT(flowing["latency_seconds"].get<double>(), 3.0);
    EXPECT_EQ(flowing["server"], "127.0.0.1");
    EXPECT_EQ(status["stalled_channels"], 1);
    EXPECT_TRUE(status["database"]["reachable"].get<bool>());
    ASSERT_EQ(status["links"].size(), 1u);
    EXPECT_EQ(status["links"][0]["state"], "connected");
    EXPECT_NE(LogText().find("Channel ABC BHN silent since"), std::string::npos);

    const std::string metrics = Get("/metrics");
    EXPECT_NE(metrics.find("tarvell_samples_received_total{station=\"ABC\",channel=\"BHN\","
                           "server=\"127.0.0.1\"} 500\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("tarvell_channel_stalled{station=\"ABC\",channel=\"BHN\","
                           "server=\"127.0.0.1\"} 1\n"),
              std::string::npos);
    EXPECT_NE(metrics.find("tarvell_database_reachable 1\n"), std::string::npos);
    // Under the latency bound the silent channel's 500 samples are archived now, not when a
    // buffer that never fills is written at the stop; the delay histogram counts the commits.
    EXPECT_TRUE(WaitUntil([&] { return m_db.Count("CH='BHN'") > 0; }, 15000)) << LogText();
    const std::string later = Get("/metrics");
    EXPECT_NE(later.find("tarvell_archive_delay_seconds_bucket{server=\"127.0.0.1\",port=\""),
              std::string::npos)
        << later;
    const std::size_t commits = later.find("tarvell_archive_delay_seconds_count{");
    ASSERT_NE(commits, std::string::npos);
    EXPECT_GE(std::atoll(later.c_str() + later.find(' ', commits) + 1), 2) << later;
    const std::string promtool = FindProgram("promtool");
    if (promtool.empty())
    {
        ADD_FAILURE() << "promtool is missing (Debian prometheus; scripts/install-deps.sh)";
    }
    else
    {
        const std::string file = m_box.Write("metrics.txt", metrics);
        std::string output;
        EXPECT_EQ(Run("/bin/sh", {"-c", promtool + " check metrics < " + file}, &output), 0)
            << output;
    }

    // The terminal view and monitoring scripts: a silent channel is a non-zero exit.
    std::string table;
    EXPECT_EQ(Run(TARVELL_BINARY, {"--status", "--ini", m_ini}, &table), 1) << table;
    EXPECT_NE(table.find("SILENT"), std::string::npos) << table;
    std::string json;
    EXPECT_EQ(Run(TARVELL_BINARY, {"--status", "--json", "--ini", m_ini}, &json), 1);
    // The JSON is the one line on stdout; why it is no 0 follows on stderr.
    EXPECT_EQ(Json::parse(json.substr(0, json.find('\n')), nullptr, false)["stalled_channels"], 1)
        << json;
    EXPECT_NE(json.find("\ntarvell: not all well: 1 silent"), std::string::npos) << json;
    Stop(*m_tarvell);
}

// A server that is down is trouble for --status from the start, before any channel could be
// called silent, and the channels of the server that is up do not hide it.
TEST_F(ObservabilityEndToEnd, StatusExitsOneWhileAServerIsDown)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("DEF", "BHZ", 100);
    const int up = StartSim(
        {"--realtime", "--synthetic", "ABC:BHZ:100:" + std::to_string(std::time(nullptr) - 60)});
    const int down = FreePort();
    m_statusPort = FreePort();
    WriteIni({{"ABC", "BHZ", "127.0.0.1", up}, {"DEF", "BHZ", "127.0.0.1", down}}, "",
             "\n[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(m_statusPort) + "\n");
    m_tarvell = StartTarvell();
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const Json status = Status();
            const Json* flowing = FindChannel(status, "BHZ");
            return flowing && (*flowing)["station"] == "ABC" &&
                   !(*flowing)["last_sample_time"].is_null();
        },
        20000))
        << Status().dump(1);
    std::string table;
    EXPECT_EQ(Run(TARVELL_BINARY, {"--status", "--ini", m_ini}, &table), 1) << table;
    EXPECT_NE(table.find("not all well: server 127.0.0.1:" + std::to_string(down) + " is "),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("1 without data since the start"), std::string::npos) << table;
    Stop(*m_tarvell);
}

TEST_F(ObservabilityEndToEnd, ASilentChannelMakesItsLinkAskAgainWhenConfigured)
{
    ASSERT_NO_FATAL_FAILURE(StartWithASilentChannel("STALL_RECONNECT=1\n"));
    // After the new connection BHN sends five packets again (from its resume time), which
    // ends the silence, and then falls silent once more.
    ASSERT_TRUE(WaitUntil(
        [&] { return LogText().find("Channel ABC BHN flows again") != std::string::npos; }, 20000))
        << LogText();
    EXPECT_NE(LogText().find("connecting again to ask for it"), std::string::npos);
    const Json status = Status();
    EXPECT_GE(status["links"][0]["reconnects"].get<int>(), 1) << status.dump(1);
    EXPECT_GE(status["links"][0]["failures"]["19"].get<int>(), 1) << status.dump(1);
    EXPECT_EQ((*FindChannel(status, "BHN"))["samples_received"].get<int>() % 500, 0);
    Stop(*m_tarvell);
}

TEST_F(ObservabilityEndToEnd, ThePageShowsTheChannelTableInABrowser)
{
    const std::string chromium = FindProgram("chromium");
    if (chromium.empty())
        GTEST_SKIP() << "chromium is not installed";
    ASSERT_NO_FATAL_FAILURE(StartWithASilentChannel(""));
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const Json status = Status();
            const Json* silent = FindChannel(status, "BHN");
            return silent && (*silent)["stalled"] == true;
        },
        15000));
    // The page takes the token from its address and sends it with its own requests.
    const std::string url =
        "http://127.0.0.1:" + std::to_string(m_statusPort) + "/#token=" + kToken;
    const std::vector<std::string> browser = {"--headless",
                                              "--no-sandbox",
                                              "--disable-gpu",
                                              "--disable-quic",
                                              "--no-first-run",
                                              "--disable-background-networking",
                                              "--disable-component-update",
                                              "--disable-sync",
                                              "--user-data-dir=" + m_box.File("chromium"),
                                              "--virtual-time-budget=5000",
                                              "--window-size=1200,360"};
    std::vector<std::string> dump = browser;
    dump.insert(dump.end(), {"--dump-dom", url});
    std::string dom;
    ASSERT_EQ(Run(chromium, dump, &dom), 0) << dom;
    // The script has read /status and drawn the rows: names, the silent channel in red, the
    // flowing one green (well within what its buffering allows), the 24-hour bars.
    EXPECT_NE(dom.find("<td>BHZ</td>"), std::string::npos) << dom;
    EXPECT_NE(dom.find("bad\">silent</td>"), std::string::npos) << dom;
    EXPECT_EQ(LatencyClass(dom, "BHZ"), "good") << dom;
    EXPECT_NE(dom.find("<svg class=\"bar\""), std::string::npos);
    EXPECT_NE(dom.find("database up"), std::string::npos);

    // The server goes away: the flowing channel's latency is still small, yet red while its
    // link is not connected.
    StopSims();
    ASSERT_TRUE(WaitUntil([&] { return Status()["links"][0]["state"] != "connected"; }, 15000));
    std::string outage;
    ASSERT_EQ(Run(chromium, dump, &outage), 0) << outage;
    EXPECT_EQ(LatencyClass(outage, "BHZ"), "bad") << outage;

    std::vector<std::string> shot = browser;
    const std::string png = m_box.File("status-page.png");
    shot.insert(shot.end(), {"--screenshot=" + png, url});
    std::string output;
    ASSERT_EQ(Run(chromium, shot, &output), 0) << output;
    const std::string image = ReadFile(png);
    ASSERT_GT(image.size(), 1000u);
    EXPECT_EQ(image.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    Stop(*m_tarvell);
}

TEST_F(ObservabilityEndToEnd, ServiceManagerHearsReadinessStatusPingsUntilAWriteHangsAndStop)
{
    // One sample per second, each a chunk of its own: the sixth chunk's write hangs.
    m_db.AddSiteChan("ABC", "LHZ", 1);
    const int port = StartSim({"--realtime", "--samples", "1", "--synthetic",
                               "ABC:LHZ:1:" + std::to_string(std::time(nullptr) - 2)});
    WriteIni({{"ABC", "LHZ", "127.0.0.1", port}});
    CNotifySocket manager(m_box.File("notify"));
    ::setenv("NOTIFY_SOCKET", m_box.File("notify").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "2000000", 1);
    ::setenv("TARVELL_FAULT_POINT", "chunk-bytes-written:hold:6", 1);
    auto tarvell = StartTarvell();
    ::unsetenv("NOTIFY_SOCKET");
    ::unsetenv("WATCHDOG_USEC");
    ::unsetenv("TARVELL_FAULT_POINT");

    std::string seen;
    ASSERT_TRUE(manager.WaitFor("READY=1", 20000, &seen)) << seen << LogText();
    EXPECT_NE(seen.find("STATUS=1 channel, "), std::string::npos) << seen;
    ASSERT_TRUE(manager.WaitFor("WATCHDOG=1", 5000, &seen)) << seen;
    ASSERT_TRUE(WaitUntil(
        [&] { return LogText().find("watchdog pings stop") != std::string::npos; }, 20000))
        << LogText();
    // Pings went out three times per 2 s interval; held in a write, the thread stops them.
    // Those still queued were sent before the log line.
    manager.Drain();
    std::string after;
    EXPECT_FALSE(manager.WaitFor("WATCHDOG=1", 3000, &after)) << after;

    ASSERT_TRUE(tarvell->Signal(SIGTERM));
    EXPECT_TRUE(manager.WaitFor("STOPPING=1", 10000, &after)) << after;
    // The held thread never lets the program end by itself; the service manager would kill
    // it, and so does the test.
    tarvell->Signal(SIGKILL);
}

TEST_F(ObservabilityEndToEnd, AvailabilityReportsExactlyTheGapTheServerLeftOut)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    // Five minutes of one channel; the server leaves out its eleventh packet (samples
    // 1000-1099, one second from kStart + 10).
    const int port =
        StartSim({"--gap-after", "10", "--synthetic", Synthetic("ABC", "BHZ", 100, 300)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 300));
    Stop(*tarvell);

    std::string text;
    ASSERT_EQ(Run(KDX_DB_BINARY,
                  {"availability", "--station", "abc", "--svg", m_box.File("availability.svg")},
                  &text),
              0)
        << text;
    EXPECT_NE(text.find("ABC     BHZ     first 2026-12-07T13:05:00.000 last "
                        "2026-12-07T13:09:59.990 covered 99.667 % gaps 1\n"
                        "  gap 2026-12-07T13:05:10.000 .. 2026-12-07T13:05:11.000 (1.000 s)\n"),
              std::string::npos)
        << text;

    std::string json;
    ASSERT_EQ(Run(KDX_DB_BINARY,
                  {"availability", "--json", "--from", std::to_string(kStart), "--to",
                   "2026-12-07T13:10:00"},
                  &json),
              0);
    const Json report = Json::parse(json, nullptr, false);
    ASSERT_EQ(report["channels"].size(), 1u) << json;
    const Json& channel = report["channels"][0];
    ASSERT_EQ(channel["gaps"].size(), 1u) << json;
    EXPECT_DOUBLE_EQ(channel["gaps"][0]["begin"].get<double>(), kStart + 10.0);
    EXPECT_DOUBLE_EQ(channel["gaps"][0]["end"].get<double>(), kStart + 11.0);
    EXPECT_NEAR(channel["covered_seconds"].get<double>(), 299.0, 1e-6);
    EXPECT_DOUBLE_EQ(channel["first_sample"].get<double>(), kStart);

    // A browser shows the drawing: it must be well-formed XML.
    const std::string xmllint = FindProgram("xmllint");
    if (xmllint.empty())
    {
        ADD_FAILURE() << "xmllint is missing (Debian libxml2-utils; scripts/install-deps.sh)";
        return;
    }
    std::string output;
    EXPECT_EQ(Run(xmllint, {"--noout", m_box.File("availability.svg")}, &output), 0) << output;
    EXPECT_NE(ReadFile(m_box.File("availability.svg")).find("fill=\"#d03030\""), std::string::npos);
}

TEST_F(ObservabilityEndToEnd, AStatusAddressThatCannotBeUsedStopsTheStartWithAClearMessage)
{
    // A port taken by another program, and values that are no address.
    UniqueFd taken(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(taken.Get(), reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(taken.Get(), 1), 0);
    ASSERT_EQ(::getsockname(taken.Get(), reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string busy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    struct Case
    {
        std::string listen;
        std::string message;
    };
    for (const Case& c : {Case{"127.0.0.1:65536", "the port must be a number from 0 to 65535"},
                          Case{"localhost:http", "the port must be a number"},
                          Case{"my host:9780", "is no IPv4 address or host name"},
                          Case{busy, "cannot listen on " + busy}})
    {
        WriteIni({{"ABC", "BHZ", "127.0.0.1", 1}}, "", "\n[STATUS]\nLISTEN=" + c.listen + "\n");
        std::string output;
        EXPECT_EQ(Run(TARVELL_BINARY, {"--headless", "--ini", m_ini}, &output), 1) << c.listen;
        EXPECT_NE(output.find(c.message), std::string::npos) << c.listen << "\n" << output;
    }
}

} // namespace
} // namespace tarvell
