// Several instances of tarvell share four live servers through one KDX database: one is
// killed, one frozen past its lease, one cut off from the database (PostgreSQL only), one
// joins late, and every sample is still archived exactly once. PostgreSQL when the tests have
// a server, else SQLite (a fleet on one machine).

#include <atomic>
#include <chrono>
#include <csignal>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e/e2e_world.h"
#include "support/kdx_database.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

using test::EndToEndWorld;

constexpr int kRate = 1000; // a chunk every 4.9 s, so rows are committed throughout the run
constexpr long long kSeconds = 60;
const std::pair<const char*, const char*> kChannels[] = {
    {"FA", "BHZ"}, {"FB", "BHN"}, {"FC", "BHE"}, {"FD", "HHZ"}};

// A TCP relay on loopback in front of the database server, for one instance: Cut() breaks
// every relayed connection and refuses new ones, as a lost network would, until Mend().
class DatabaseRelay
{
public:
    explicit DatabaseRelay(int serverPort) : m_serverPort(serverPort)
    {
        sockaddr_in address = Loopback(0);
        socklen_t size = sizeof address;
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
            ::listen(m_listener, 16) == 0 &&
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            m_port = ntohs(address.sin_port);
        m_acceptor = std::thread([this] { Accept(); });
    }
    ~DatabaseRelay()
    {
        m_stopping = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_acceptor.join(); // no relay starts after this
        Cut();
        for (std::thread& thread : m_relays)
            thread.join();
        ::close(m_listener);
        for (int fd : m_all)
            ::close(fd);
    }
    DatabaseRelay(const DatabaseRelay&) = delete;
    DatabaseRelay& operator=(const DatabaseRelay&) = delete;

    int Port() const { return m_port; }

    void Cut()
    {
        m_cut = true;
        std::lock_guard lock(m_lock);
        for (int fd : m_all)
            ::shutdown(fd, SHUT_RDWR);
    }
    void Mend() { m_cut = false; }

private:
    static sockaddr_in Loopback(int port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        return address;
    }

    void Accept()
    {
        while (!m_stopping)
        {
            const int client = ::accept(m_listener, nullptr, nullptr);
            if (client < 0)
                return;
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            const sockaddr_in address = Loopback(m_serverPort);
            std::lock_guard lock(m_lock);
            m_all.push_back(client);
            m_all.push_back(server);
            if (m_cut || m_stopping ||
                ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            {
                ::shutdown(client, SHUT_RDWR);
                continue;
            }
            m_relays.emplace_back([client, server] { Copy(client, server); });
            m_relays.emplace_back([client, server] { Copy(server, client); });
        }
    }

    static void Copy(int from, int to)
    {
        char buffer[16384];
        ssize_t got = 0;
        // MSG_NOSIGNAL: a side that closed first must end this copy, not the test process.
        while ((got = ::read(from, buffer, sizeof buffer)) > 0)
            if (::send(to, buffer, static_cast<std::size_t>(got), MSG_NOSIGNAL) != got)
                break;
        ::shutdown(from, SHUT_RDWR);
        ::shutdown(to, SHUT_RDWR);
    }

    const int m_serverPort;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_cut{false};
    std::atomic<bool> m_stopping{false};
    std::mutex m_lock;
    std::vector<int> m_all; // closed at the end only, so that no number is reused meanwhile
    std::vector<std::thread> m_relays; // by the acceptor, under m_lock
    std::thread m_acceptor;
};

class Fleet : public ::testing::Test
{
protected:
    Fleet()
        : m_server(test::PostgresConfigured()
                       ? std::make_unique<test::PostgresServer>(test::TestPostgresServer())
                       : nullptr),
          m_world(m_server.get())
    {
    }

    // An instance of its own name, INI, event log and output, on the world's database (through
    // the data source dsn when given), data root and servers.
    void StartInstance(const std::string& name, const std::string& dsn = "")
    {
        std::string ini = test::ReadFile(m_world.Ini());
        const std::string sharedLog = "DIR=" + m_world.Box().File("log") + "\n";
        ini.replace(ini.find(sharedLog), sharedLog.size(),
                    "DIR=" + m_world.Box().File("log-" + name) + "\n");
        if (!dsn.empty())
        {
            const std::string shared = "ODBC=" + m_world.Db().Dsn() + "\n";
            ini.replace(ini.find(shared), shared.size(), "ODBC=" + dsn + "\n");
        }
        ini += "\n[CLUSTER]\nNAME=" + name + "\nLEASE_SECONDS=3\n";
        const std::string path = m_world.Box().Write("tarvell-" + name + ".ini", ini);
        m_instances[name] = std::make_unique<test::ChildProcess>(
            TARVELL_BINARY, std::vector<std::string>{"--headless", "--ini", path},
            m_world.Box().File("tarvell-" + name + ".out"));
    }

    std::string Log(const std::string& name) const
    {
        std::string all;
        std::error_code missing;
        for (const auto& entry :
             std::filesystem::directory_iterator(m_world.Box().File("log-" + name), missing))
            all += test::ReadFile(entry.path().string());
        return all;
    }

    ::testing::AssertionResult WaitForLog(const std::string& name, const std::string& text)
    {
        if (test::WaitUntil([&] { return Log(name).find(text) != std::string::npos; }, 60000))
            return ::testing::AssertionSuccess();
        ::testing::AssertionResult failure = ::testing::AssertionFailure();
        failure << name << " never logged " << text << "\n";
        for (const auto& [other, process] : m_instances)
            failure << "--- " << other << "\n"
                    << Log(other)
                    << test::ReadFile(m_world.Box().File("tarvell-" + other + ".out"));
        return failure;
    }

    std::unique_ptr<test::PostgresServer> m_server;
    EndToEndWorld m_world;
    std::map<std::string, std::unique_ptr<test::ChildProcess>> m_instances;
};

TEST_F(Fleet, AKilledAFrozenACutOffAndAJoiningInstanceLoseNoSampleAndWriteNoneTwice)
{
    if (::testing::Test::IsSkipped())
        return;
    const long long start = static_cast<long long>(std::time(nullptr)) - 10;
    std::vector<test::Group> groups;
    for (const auto& [station, channel] : kChannels)
    {
        m_world.Db().AddSiteChan(station, channel, kRate);
        const int port =
            m_world.StartSim({"--realtime", "--synthetic",
                              EndToEndWorld::Synthetic(station, channel, kRate, kSeconds, start)});
        groups.push_back({station, channel, "127.0.0.1", port});
    }
    m_world.WriteIni(groups);
    // On PostgreSQL, c reaches the database through a relay the test can cut.
    std::unique_ptr<DatabaseRelay> relay;
    std::string relayed;
    if (m_server)
    {
        relay = std::make_unique<DatabaseRelay>(std::stoi(m_server->port));
        relayed = "KDX_RELAY_" + std::to_string(relay->Port());
        test::AddTestDataSource(relayed, {"Driver=PostgreSQL Unicode", "Servername=127.0.0.1",
                                          "Port=" + std::to_string(relay->Port()),
                                          "Database=" + m_world.Db().DatabaseName()});
    }
    StartInstance("a");
    StartInstance("b");
    StartInstance("c", relayed);
    for (const char* name : {"a", "b", "c"})
        ASSERT_TRUE(WaitForLog(name, "Fleet: server 127.0.0.1:"));

    // A dead instance's servers are taken over, repaired against their rows and asked again,
    // within the lease and one renewal period after its last renewal (3 s + 1 s; the rest
    // of the bound is for a loaded machine under the sanitizers).
    constexpr auto kTakeoverBound = std::chrono::seconds(3 + 1 + 6);
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_instances["a"]->Signal(SIGKILL));
    ASSERT_TRUE(test::WaitUntil(
        [&]
        {
            return (Log("b") + Log("c")).find("taken over from 'a', whose lease lapsed") !=
                   std::string::npos;
        },
        60000))
        << Log("b") << Log("c");
    EXPECT_LE(std::chrono::steady_clock::now() - killed, kTakeoverBound);

    // A frozen instance finds, when it wakes, that its servers are held elsewhere now, and
    // writes nothing more of them.
    const auto frozen = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_instances["b"]->Signal(SIGSTOP));
    ASSERT_TRUE(WaitForLog("c", "taken over from 'b', whose lease lapsed"));
    EXPECT_LE(std::chrono::steady_clock::now() - frozen, kTakeoverBound);
    ASSERT_TRUE(m_instances["b"]->Signal(SIGCONT));
    ASSERT_TRUE(WaitForLog("b", "is held by 'c' now; nothing more of it is written here"));

    // An instance that loses the database stops writing before its lease can lapse; the
    // others take its servers over, and it takes part again once the database answers.
    if (relay)
    {
        relay->Cut();
        ASSERT_TRUE(WaitForLog("c", "Fleet: the leases cannot be renewed"));
        ASSERT_TRUE(WaitForLog("b", "taken over from 'c', whose lease lapsed"));
        relay->Mend();
        ASSERT_TRUE(WaitForLog("c", "Fleet: the leases are renewed again"));
    }

    // A late instance gets its share by a clean hand-over.
    StartInstance("d");
    ASSERT_TRUE(WaitForLog("d", "held here (fence "));

    for (const auto& [station, channel] : kChannels)
        ASSERT_TRUE(m_world.WaitForRequestFrom(channel, start + kSeconds, 90000)) << station;
    for (const char* name : {"b", "c", "d"})
    {
        ASSERT_TRUE(m_instances[name]->Signal(SIGTERM))
            << name << " ended by itself, status " << m_instances[name]->Wait(0) << " signal "
            << m_instances[name]->EndingSignal() << "\n"
            << Log(name)
            << test::ReadFile(m_world.Box().File(std::string("tarvell-") + name + ".out"));
        EXPECT_EQ(m_instances[name]->Wait(30000), 0)
            << name << "\n"
            << Log(name)
            << test::ReadFile(m_world.Box().File(std::string("tarvell-") + name + ".out"));
    }
    for (const auto& [station, channel] : kChannels)
        test::ExpectEverySampleOnce(m_world, station, channel, kRate, kRate * kSeconds, start);
    m_world.ExpectArchiveConsistent();
}

} // namespace
} // namespace tarvell
