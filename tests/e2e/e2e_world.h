#pragma once
// The world of an end-to-end test: xfer-sim servers on loopback, a program INI, a KDX
// database (SQLite, or PostgreSQL on a server of the test's own), the real tarvell started
// and stopped, and the archive read back and checked against what the servers sent. Main
// test thread only.

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "datafiles/file_header.h"
#include "db/connection.h"
#include "db/db_access.h"
#include "e2e/child_process.h"
#include "platform/unique_fd.h"
#include "support/kdx_database.h"
#include "support/sandbox.h"
#include "xfer-sim/synthetic_signal.h"

namespace tarvell::test
{

inline constexpr long long kStart = 1796648700; // 2026-12-07 13:05:00 UTC

// A loopback port that socket listens on, as another program would, until it is closed.
inline int HoldPort(UniqueFd& socket)
{
    socket.Reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(socket.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(socket.Get(), 1) != 0 ||
        ::getsockname(socket.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return 0;
    return ntohs(address.sin_port);
}

// A loopback port nothing listens on (held once, then released).
inline int FreePort()
{
    UniqueFd socket;
    return HoldPort(socket);
}

struct Group
{
    std::string station;
    std::string channels; // CHAN value
    std::string server;
    int port = 0;
    int sizeMb = 1000;
    std::string loopChannel = ""; // a channel written into a loop file <STATION>_<CHANNEL>.DAT
};

struct ChannelArchive
{
    long long files = 0;
    long long samples = 0;
    long long missing = 0;
    long long duplicates = 0;
    long long wrong = 0;
    long long firstHeld = -1; // first and last sample index on disk
    long long lastHeld = -1;
};

class EndToEndWorld
{
public:
    // SQLite, or PostgreSQL on server when it is given.
    explicit EndToEndWorld(const PostgresServer* server = nullptr)
        : m_db(server ? std::make_unique<KdxDatabase>(m_box, *server)
                      : std::make_unique<KdxDatabase>(Backend::Sqlite, m_box))
    {
    }

    // SQLite in the file kdx.db of sqliteDirectory (a file system of the test's own).
    explicit EndToEndWorld(const std::string& sqliteDirectory)
        : m_db(std::make_unique<KdxDatabase>(m_box, sqliteDirectory))
    {
    }

    KdxDatabase& Db() { return *m_db; }
    const Sandbox& Box() const { return m_box; }
    const std::string& Ini() const { return m_ini; }

    // Starts an xfer-sim on a free loopback port with the given switches; returns its port.
    int StartSim(const std::vector<std::string>& switches)
    {
        const std::string portFile = m_box.File("port" + std::to_string(++m_simsStarted));
        std::vector<std::string> arguments = {"--port",       "0", "--port-file", portFile,
                                              "--end-status", "1"};
        arguments.insert(arguments.end(), switches.begin(), switches.end());
        m_sims.push_back(
            std::make_unique<ChildProcess>(XFER_SIM_BINARY, arguments, m_box.File("xfer-sim.out")));
        int port = 0;
        EXPECT_TRUE(WaitUntil(
            [&]
            {
                port = std::atoi(ReadFile(portFile).c_str());
                return port > 0;
            }))
            << ReadFile(m_box.File("xfer-sim.out"));
        return port;
    }
    void StopSims() { m_sims.clear(); }

    static std::string Synthetic(const std::string& station, const std::string& channel, int rate,
                                 long long seconds, long long start = kStart)
    {
        return station + ":" + channel + ":" + std::to_string(rate) + ":" + std::to_string(start) +
               ":" + std::to_string(seconds);
    }

    void WriteIni(const std::vector<Group>& groups, const std::string& extraSystem = "",
                  const std::string& extraSections = "")
    {
        std::ostringstream ini;
        ini << "[SYSTEM]\nGROUPS=" << groups.size() << "\nMODE=DETAIL\n" << extraSystem << "\n";
        for (std::size_t g = 0; g < groups.size(); ++g)
        {
            ini << "[GROUP" << g + 1 << "]\nSTATION=" << groups[g].station
                << "\nCHAN=" << groups[g].channels << "\nSERVER=" << groups[g].server
                << "\nPORT=" << groups[g].port << "\nSIZEMB=" << groups[g].sizeMb
                << "\nFILELENGTH(MIN)=5\n";
            if (!groups[g].loopChannel.empty())
                ini << "FILE_" << groups[g].loopChannel << "=" << groups[g].station << "_"
                    << groups[g].loopChannel << ".DAT\n";
            ini << "\n";
        }
        ini << "[DATA]\nDIR=" << g_waveRoot << "\n\n[DATABASE]\nODBC=" << m_db->Dsn()
            << "\nUSER=" << m_db->User() << "\nPASSWORD=" << m_db->Password()
            << "\n\n[LOG]\nDIR=" << m_box.File("log") << "\n"
            << extraSections;
        m_ini = m_box.Write("tarvell.ini", ini.str());
    }

    // Starts tarvell --headless on the INI; faultPoint, when given, is its
    // TARVELL_FAULT_POINT. prefix runs before it (for example prlimit); tail follows the
    // program's own options (ODBC=... DATA=...); environment is set for it alone. The
    // program is TARVELL_TEST_BINARY when that is set (another build, to compare).
    std::unique_ptr<ChildProcess>
    StartTarvell(const std::string& faultPoint = "", const std::vector<std::string>& prefix = {},
                 const std::vector<std::string>& tail = {},
                 const std::map<std::string, std::string>& environment = {})
    {
        const char* other = std::getenv("TARVELL_TEST_BINARY");
        const std::string binary = other != nullptr ? other : TARVELL_BINARY;
        std::string program = binary;
        std::vector<std::string> arguments = {"--headless", "--ini", m_ini};
        arguments.insert(arguments.end(), tail.begin(), tail.end());
        if (!prefix.empty())
        {
            program = prefix.front();
            arguments.insert(arguments.begin(), binary);
            arguments.insert(arguments.begin(), prefix.begin() + 1, prefix.end());
        }
        std::map<std::string, std::string> all = environment;
        if (!faultPoint.empty())
            all["TARVELL_FAULT_POINT"] = faultPoint;
        for (const auto& [name, value] : all)
            ::setenv(name.c_str(), value.c_str(), 1);
        auto tarvell =
            std::make_unique<ChildProcess>(program, arguments, m_box.File("tarvell.out"));
        for (const auto& [name, value] : all)
            ::unsetenv(name.c_str());
        return tarvell;
    }

    // Waits until tarvell asks the server for channel from until on: it has then received,
    // merged and asked past everything before (the servers end their data with status 1,
    // so the client reconnects and asks again once it has all).
    ::testing::AssertionResult WaitForRequestFrom(const std::string& channel, long long until,
                                                  int timeoutMs = 60000)
    {
        const std::string asked = channel + "@" + std::to_string(until) + ".000000";
        if (WaitUntil(
                [&]
                {
                    const std::string requests = ReadFile(m_box.File("xfer-sim.out"));
                    return requests.size() > m_requestsSeen &&
                           requests.find(asked, m_requestsSeen) != std::string::npos;
                },
                timeoutMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no request for " << asked << "\n" << Outputs();
    }

    // Requests made so far do not count for WaitForRequestFrom (a second run of tarvell must
    // ask by itself).
    void ForgetRequests() { m_requestsSeen = ReadFile(m_box.File("xfer-sim.out")).size(); }

    // Waits until the event log holds text.
    ::testing::AssertionResult WaitForLog(const std::string& text, int timeoutMs = 60000)
    {
        if (WaitUntil([&] { return LogText().find(text) != std::string::npos; }, timeoutMs))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no log line " << text << "\n" << Outputs();
    }

    // Stops tarvell with the stop command; it must end in an orderly way.
    void Stop(ChildProcess& tarvell)
    {
        ASSERT_TRUE(tarvell.Signal(SIGTERM));
        EXPECT_EQ(tarvell.Wait(30000), 0) << ReadFile(m_box.File("tarvell.out"));
    }

    std::string LogText() const
    {
        std::string all;
        // The days of the run, in order (a run may cross midnight).
        std::map<std::string, std::string> days;
        std::error_code missing;
        for (const auto& entry : std::filesystem::directory_iterator(m_box.File("log"), missing))
        {
            const std::string name = entry.path().filename().string(); // DDMMYYYY.log
            if (name.size() == 12)
                days[name.substr(4, 4) + name.substr(2, 2) + name.substr(0, 2)] =
                    entry.path().string();
        }
        for (const auto& [day, path] : days)
            all += ReadFile(path);
        return all;
    }

    std::string Outputs() const
    {
        return "--- event log\n" + LogText() + "--- tarvell\n" +
               ReadFile(m_box.File("tarvell.out")) + "--- xfer-sim\n" +
               ReadFile(m_box.File("xfer-sim.out"));
    }

    // Reads every FILELIST row of a channel and its samples (time-named files, or the
    // segments of its loop file), and compares every sample with the synthetic signal the
    // server sent from start on.
    ChannelArchive Check(const std::string& station, const std::string& channel, int rate,
                         long long expectedSamples, long long start = kStart)
    {
        ChannelArchive archive;
        DbOutcome rows = m_db->Query(
            "select CPATH, TBEGIN, TQTY, SPS, FOFF from FILELIST where STA='" + station +
                "' and CH='" + channel + "' order by TBEGIN",
            {DbType::Text, DbType::Double, DbType::Double, DbType::Double, DbType::Double});
        EXPECT_TRUE(rows.ok) << rows.message;
        std::vector<int> hits(static_cast<std::size_t>(expectedSamples), 0);
        for (const DbRow& row : rows.rows)
        {
            ++archive.files;
            const bool loop = !row[0].text.empty() && row[0].text.front() == '/';
            const std::string bytes = ReadFile(loop ? row[0].text : g_waveRoot + "/" + row[0].text);
            const long long offset = std::llround(row[4].number);
            const long long count = std::llround(row[2].number * row[3].number);
            if (!loop)
            {
                EXPECT_EQ(bytes.compare(0, 10, "[KDX5.x]\r\n"), 0) << row[0].text;
                EXPECT_EQ(static_cast<long long>(bytes.size()), 512 + 4 * count) << row[0].text;
            }
            EXPECT_LE(offset + 4 * count, static_cast<long long>(bytes.size())) << row[0].text;
            const long long first =
                std::llround((row[1].number - static_cast<double>(start)) * rate);
            for (long long i = 0;
                 i < count && offset + 4 * i + 4 <= static_cast<long long>(bytes.size()); ++i)
            {
                float value = 0;
                std::memcpy(&value, bytes.data() + offset + 4 * i, 4);
                const long long k = first + i;
                if (k < 0 || k >= expectedSamples)
                {
                    ++archive.wrong;
                    continue;
                }
                if (value != static_cast<float>(sim::SyntheticSample(k)))
                    ++archive.wrong;
                if (++hits[static_cast<std::size_t>(k)] > 1)
                    ++archive.duplicates;
                ++archive.samples;
            }
        }
        for (std::size_t k = 0; k < hits.size(); ++k)
        {
            archive.missing += hits[k] == 0 ? 1 : 0;
            if (hits[k] > 0 && archive.firstHeld < 0)
                archive.firstHeld = static_cast<long long>(k);
            if (hits[k] > 0)
                archive.lastHeld = static_cast<long long>(k);
        }
        return archive;
    }

    // Every file under the data root has its row and every row its bytes: a time-named file
    // is exactly as long as its row says, no two segments of a loop file share a byte, and
    // every loop file's header is the one its rows give.
    void ExpectArchiveConsistent()
    {
        DbOutcome rows = m_db->Query("select CPATH, TQTY, SPS, FOFF, STA, CH from FILELIST",
                                     {DbType::Text, DbType::Double, DbType::Double, DbType::Double,
                                      DbType::Text, DbType::Text});
        ASSERT_TRUE(rows.ok) << rows.message;
        std::set<std::string> registered;
        std::map<std::string, std::vector<std::pair<long long, long long>>> segments;
        std::map<std::string, std::pair<std::string, std::string>> loopFiles;
        for (const DbRow& row : rows.rows)
        {
            const std::string& path = row[0].text;
            const long long bytes = 4 * std::llround(row[1].number * row[2].number);
            if (!path.empty() && path.front() == '/')
            {
                segments[path].emplace_back(std::llround(row[3].number),
                                            std::llround(row[3].number) + bytes);
                loopFiles[path] = {row[4].text, row[5].text};
                continue;
            }
            registered.insert(g_waveRoot + "/" + path);
            std::error_code error;
            const auto size = std::filesystem::file_size(g_waveRoot + "/" + path, error);
            EXPECT_FALSE(error) << path << " has a row but no file";
            EXPECT_EQ(static_cast<long long>(size), 512 + bytes) << path;
        }
        for (auto& [path, ranges] : segments)
        {
            std::sort(ranges.begin(), ranges.end());
            for (std::size_t i = 1; i < ranges.size(); ++i)
                EXPECT_LE(ranges[i - 1].second, ranges[i].first) << path << " segments overlap";
            EXPECT_LE(ranges.back().second,
                      static_cast<long long>(std::filesystem::file_size(path)))
                << path;
            FileHeader expected;
            const auto& [station, channel] = loopFiles[path];
            const DbOutcome rate = m_db->Query("select SPS from SITECHAN where STA='" + station +
                                                   "' and CHAN='" + channel + "'",
                                               {DbType::Double});
            ASSERT_TRUE(rate.ok && !rate.rows.empty());
            BuildLoopHeader(expected, station, channel, rate.rows[0][0].number, path);
            EXPECT_EQ(ReadFile(path).substr(0, 512), std::string(expected.data(), 512))
                << path << " header";
        }
        for (const auto& entry : std::filesystem::recursive_directory_iterator(g_waveRoot))
        {
            const std::string path = entry.path().string();
            if (!entry.is_regular_file() || segments.count(path) != 0 ||
                (path.size() > 13 && path.substr(path.size() - 13) == ".unregistered"))
                continue;
            EXPECT_EQ(registered.count(path), 1u) << path << " has no row";
        }
    }

private:
    Sandbox m_box;
    std::unique_ptr<KdxDatabase> m_db;
    std::vector<std::unique_ptr<ChildProcess>> m_sims;
    int m_simsStarted = 0;
    std::string m_ini;
    std::size_t m_requestsSeen = 0;
};

// Every sample of the channel (samples at rate from start on) is in the archive once and
// right.
inline void ExpectEverySampleOnce(EndToEndWorld& world, const char* station, const char* channel,
                                  int rate, long long samples, long long start = kStart)
{
    const ChannelArchive archive = world.Check(station, channel, rate, samples, start);
    EXPECT_EQ(archive.missing, 0) << station << " " << channel << "\n" << world.Outputs();
    EXPECT_EQ(archive.duplicates, 0) << station << " " << channel;
    EXPECT_EQ(archive.wrong, 0) << station << " " << channel;
}

// The fixture of the end-to-end tests on SQLite: the world, its database, sandbox and INI.
class TarvellEndToEnd : public ::testing::Test, public EndToEndWorld
{
protected:
    KdxDatabase& m_db = Db();
    const Sandbox& m_box = Box();
    const std::string& m_ini = Ini();
};

} // namespace tarvell::test
