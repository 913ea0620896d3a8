// The whole program on loopback: xfer-sim serves synthetic channels, tarvell --headless
// writes them into a temporary data root and a fresh SQLite KDX database, and every file
// and row is checked against what the server sent.

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "e2e/child_process.h"
#include "platform/ini_profile.h"
#include "support/kdx_database.h"
#include "support/sandbox.h"
#include "xfer-sim/synthetic_signal.h"

namespace tarvell
{
namespace
{

using test::Backend;
using test::ChildProcess;
using test::KdxDatabase;
using test::ReadFile;
using test::Sandbox;
using test::WaitUntil;

constexpr long long kStart = 1796648700; // 2026-12-07 13:05:00 UTC

struct Group
{
    std::string station;
    std::string channels; // CHAN value
    std::string server;
    int port = 0;
    int sizeMb = 1000;
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

class TarvellEndToEnd : public ::testing::Test
{
protected:
    // Starts an xfer-sim on a free loopback port with the given switches; returns its port.
    int StartSim(const std::vector<std::string>& switches)
    {
        const std::string portFile = m_box.File("port" + std::to_string(++m_simsStarted));
        std::vector<std::string> arguments = {"--port", "0", "--port-file", portFile,
                                              "--end-status", "1"};
        arguments.insert(arguments.end(), switches.begin(), switches.end());
        m_sims.push_back(std::make_unique<ChildProcess>(XFER_SIM_BINARY, arguments,
                                                         m_box.File("xfer-sim.out")));
        int port = 0;
        EXPECT_TRUE(WaitUntil([&] {
            port = std::atoi(ReadFile(portFile).c_str());
            return port > 0;
        })) << ReadFile(m_box.File("xfer-sim.out"));
        return port;
    }

    static std::string Synthetic(const std::string& station, const std::string& channel,
                                 int rate, long long seconds)
    {
        return station + ":" + channel + ":" + std::to_string(rate) + ":" +
               std::to_string(kStart) + ":" + std::to_string(seconds);
    }

    void WriteIni(const std::vector<Group>& groups, const std::string& extraSystem = "")
    {
        std::ostringstream ini;
        ini << "[SYSTEM]\nGROUPS=" << groups.size() << "\nMODE=DETAIL\n" << extraSystem << "\n";
        for (std::size_t g = 0; g < groups.size(); ++g)
        {
            ini << "[GROUP" << g + 1 << "]\nSTATION=" << groups[g].station
                << "\nCHAN=" << groups[g].channels << "\nSERVER=" << groups[g].server
                << "\nPORT=" << groups[g].port << "\nSIZEMB=" << groups[g].sizeMb
                << "\nFILELENGTH(MIN)=5\n\n";
        }
        ini << "[DATA]\nDIR=" << g_waveRoot << "\n\n[DATABASE]\nODBC=" << m_db.Dsn()
            << "\nUSER=" << m_db.User() << "\nPASSWORD=" << m_db.Password() << "\n\n[LOG]\nDIR="
            << m_box.File("log") << "\n";
        m_ini = m_box.Write("tarvell.ini", ini.str());
    }

    std::unique_ptr<ChildProcess> StartTarvell()
    {
        return std::make_unique<ChildProcess>(
            TARVELL_BINARY, std::vector<std::string>{"--headless", "--ini", m_ini},
            m_box.File("tarvell.out"));
    }

    // Waits until the channel's resume time in the INI has reached at least until.
    // Waits until tarvell asks the server for channel from until on: it has then received,
    // merged and asked past everything before (the servers end their data with status 1,
    // so the client reconnects and asks again once it has all).
    ::testing::AssertionResult WaitForRequestFrom(const std::string& channel, long long until)
    {
        const std::string asked = channel + "@" + std::to_string(until) + ".000000";
        if (WaitUntil([&] { return ReadFile(m_box.File("xfer-sim.out")).find(asked) !=
                                   std::string::npos; },
                      60000))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "no request for " << asked << "\n--- event log\n" << LogText()
               << "--- tarvell\n" << ReadFile(m_box.File("tarvell.out")) << "--- xfer-sim\n"
               << ReadFile(m_box.File("xfer-sim.out"));
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

    // Reads every FILELIST row of a channel and its file, and compares every sample with the
    // synthetic signal the server sent from kStart on.
    ChannelArchive Check(const std::string& station, const std::string& channel, int rate,
                         long long expectedSamples)
    {
        ChannelArchive archive;
        DbOutcome rows = m_db.Query(
            "select CPATH, TBEGIN, TQTY, SPS from FILELIST where STA='" + station +
                "' and CH='" + channel + "' order by TBEGIN",
            {DbType::Text, DbType::Double, DbType::Double, DbType::Double});
        EXPECT_TRUE(rows.ok) << rows.message;
        std::vector<int> hits(static_cast<std::size_t>(expectedSamples), 0);
        for (const DbRow& row : rows.rows)
        {
            ++archive.files;
            const std::string bytes = ReadFile(g_waveRoot + "/" + row[0].text);
            EXPECT_GE(bytes.size(), 512u) << row[0].text;
            EXPECT_EQ(bytes.compare(0, 10, "[KDX5.x]\r\n"), 0) << row[0].text;
            const long long count = static_cast<long long>(bytes.size() - 512) / 4;
            EXPECT_EQ((bytes.size() - 512) % 4, 0u);
            EXPECT_EQ(std::llround(row[2].number * row[3].number), count)
                << row[0].text << " TQTY " << row[2].number;
            const long long first = std::llround((row[1].number - kStart) * rate);
            for (long long i = 0; i < count; ++i)
            {
                float value = 0;
                std::memcpy(&value, bytes.data() + 512 + 4 * i, 4);
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

    Sandbox m_box;
    KdxDatabase m_db{Backend::Sqlite, m_box};
    std::vector<std::unique_ptr<ChildProcess>> m_sims;
    int m_simsStarted = 0;
    std::string m_ini;
};

TEST_F(TarvellEndToEnd, WritesEverySampleOnceFlushesOnStopAndLogsInOrder)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("ABC", "BHN", 100);
    const int port = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 600), "--synthetic",
                               Synthetic("ABC", "BHN", 100, 600)});
    WriteIni({{"abc", "bhz, BHN", "127.0.0.1", port}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 600));
    ASSERT_TRUE(WaitForRequestFrom("BHN", kStart + 600));
    Stop(*tarvell);

    for (const char* channel : {"BHZ", "BHN"})
    {
        ChannelArchive archive = Check("ABC", channel, 100, 60000);
        EXPECT_EQ(archive.missing, 0) << channel; // the last chunk was written on stop
        EXPECT_EQ(archive.duplicates, 0) << channel;
        EXPECT_EQ(archive.wrong, 0) << channel;
        EXPECT_GE(archive.files, 2) << channel; // FILELENGTH(MIN)=5 rotates within 10 minutes
        EXPECT_EQ(ReadProfileInt(m_ini, "GROUP1", channel, 0), kStart + 600);
    }

    const std::string log = LogText();
    std::size_t at = 0;
    for (const std::string& line :
         {std::string("#[TARVELL] TARVELL started...#"),
          "#[TARVELL] Connected to database. ODBC: " + m_db.Dsn() + "  USER: " + m_db.User(),
          "#[TARVELL] Catalog with data: " + g_waveRoot + "#",
          std::string("#[TARVELL] Number of channels: 1#"),
          std::string("#[TARVELL] Connected to server: 127.0.0.1#"),
          std::string("#[TARVELL] Connection closed#"),
          std::string("#[TARVELL] TARVELL stopped...#")})
    {
        std::size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n" << log;
        at = found + line.size();
    }
}

TEST_F(TarvellEndToEnd, RestartContinuesWhereTheArchiveEndsWithoutAGapOrARepeat)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    // Packets of 37 samples never end on a whole second: a restart from the INI's whole
    // seconds alone would write up to a second twice.
    int port = StartSim({"--samples", "37", "--synthetic", Synthetic("ABC", "BHZ", 100, 300)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    auto first = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 300));
    Stop(*first);
    EXPECT_EQ(ReadProfileInt(m_ini, "GROUP1", "BHZ", 0), kStart + 300);
    m_sims.clear();

    // The server now holds twice as much; the second run asks from where the first ended.
    port = StartSim({"--samples", "37", "--synthetic", Synthetic("ABC", "BHZ", 100, 600)});
    ASSERT_TRUE(WriteProfileString(m_ini, "GROUP1", "PORT", std::to_string(port)));
    auto second = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 600));
    EXPECT_NE(ReadFile(m_box.File("xfer-sim.out")).find("BHZ@" + std::to_string(kStart + 300)),
              std::string::npos);
    Stop(*second);

    ChannelArchive archive = Check("ABC", "BHZ", 100, 60000);
    EXPECT_EQ(archive.missing, 0);
    EXPECT_EQ(archive.wrong, 0);
    EXPECT_EQ(archive.duplicates, 0);
}

TEST_F(TarvellEndToEnd, ReconnectionsLoseNothingAndRepeatNothing)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("ABC", "BHE", 40);
    const int port = StartSim({"--close-after", "7", "--format3-every", "5", "--synthetic",
                               Synthetic("ABC", "BHZ", 100, 300), "--synthetic",
                               Synthetic("ABC", "BHE", 40, 300)});
    WriteIni({{"ABC", "BHZ,BHE", "127.0.0.1", port}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 300));
    ASSERT_TRUE(WaitForRequestFrom("BHE", kStart + 300));
    Stop(*tarvell);

    ChannelArchive bhz = Check("ABC", "BHZ", 100, 30000);
    EXPECT_EQ(bhz.missing, 0);
    EXPECT_EQ(bhz.duplicates, 0);
    EXPECT_EQ(bhz.wrong, 0);
    ChannelArchive bhe = Check("ABC", "BHE", 40, 12000);
    EXPECT_EQ(bhe.missing, 0);
    EXPECT_EQ(bhe.duplicates, 0);
    EXPECT_EQ(bhe.wrong, 0);
}

TEST_F(TarvellEndToEnd, TwoServersOneLinkPerHostAndAGroupWithoutKnownChannels)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("DEF", "BHZ", 20);
    m_db.AddSiteChan("GHI", "HHZ", 50);
    const int first = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 20, 300)});
    const int second = StartSim({"--synthetic", Synthetic("DEF", "BHZ", 20, 300), "--synthetic",
                                 Synthetic("GHI", "HHZ", 50, 300)});
    // localhost and LOCALHOST are one host: one link, whose port is the first group's.
    WriteIni({{"ABC", "BHZ", "127.0.0.1", first},
              {"DEF", "BHZ", "localhost", second},
              {"XYZ", "QQQ", "localhost", second},
              {"GHI", "HHZ", "LOCALHOST", 1}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("HHZ", kStart + 300));
    ASSERT_TRUE(WaitUntil([&] {
        const std::string requests = ReadFile(m_box.File("xfer-sim.out"));
        const std::string asked = "BHZ@" + std::to_string(kStart + 300);
        const std::size_t once = requests.find(asked);
        return once != std::string::npos && requests.find(asked, once + 1) != std::string::npos;
    })); // both servers were asked for BHZ from its end
    Stop(*tarvell);

    for (auto [station, channel, rate] :
         {std::tuple{"ABC", "BHZ", 20}, std::tuple{"DEF", "BHZ", 20}, std::tuple{"GHI", "HHZ", 50}})
    {
        ChannelArchive archive = Check(station, channel, rate, 300LL * rate);
        EXPECT_EQ(archive.missing, 0) << station;
        EXPECT_EQ(archive.duplicates, 0) << station;
        EXPECT_EQ(archive.wrong, 0) << station;
    }
    const std::string log = LogText();
    EXPECT_NE(log.find("Not Found. Station: XYZ  Channel: QQQ"), std::string::npos);
    EXPECT_NE(log.find("Connected to server: 127.0.0.1#"), std::string::npos);
    EXPECT_NE(log.find("Connected to server: localhost#"), std::string::npos);
    EXPECT_EQ(log.find("Connected to server: LOCALHOST#"), std::string::npos);
}

TEST_F(TarvellEndToEnd, SecondInstanceOnTheSameIniRefusesToStart)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    const int port = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 60)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    auto first = StartTarvell();
    ASSERT_TRUE(WaitUntil([&] { return LogText().find("Connected to server") != std::string::npos; },
                          30000));
    ChildProcess second(TARVELL_BINARY, {"--headless", "--ini", m_ini}, m_box.File("second.out"));
    EXPECT_EQ(second.Wait(30000), 1);
    EXPECT_NE(ReadFile(m_box.File("second.out")).find("is already running with " + m_ini),
              std::string::npos);
    Stop(*first);
}

TEST_F(TarvellEndToEnd, StopIsPromptWhileTheServerRefusesOrStalls)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("DEF", "BHZ", 100);
    const int stalled = StartSim({"--stall-after", "3", "--keepalive", "1000", "--synthetic",
                                  Synthetic("ABC", "BHZ", 100, 600)});
    // Nothing listens on the second group's port: its thread keeps retrying with a pause.
    WriteIni({{"ABC", "BHZ", "127.0.0.1", stalled}, {"DEF", "BHZ", "localhost", 1}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitUntil(
        [&] { return LogText().find("Connected to server: 127.0.0.1") != std::string::npos; },
        30000));
    test::SleepMs(1500);
    const auto begin = std::chrono::steady_clock::now();
    Stop(*tarvell);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    EXPECT_NE(LogText().find("Cannot connect to server: localhost port 1"), std::string::npos);
    // The three packets received before the stall are on disk.
    ChannelArchive archive = Check("ABC", "BHZ", 100, 300);
    EXPECT_EQ(archive.missing, 0);
}

// The seconds of the time stamp "HH:MM:SS DD.MM.YYYY" that begins an event line (counted as
// if the local time were UTC: only differences matter).
long long LineSeconds(const std::string& line)
{
    std::tm t{};
    if (std::sscanf(line.c_str(), "%d:%d:%d %d.%d.%d", &t.tm_hour, &t.tm_min, &t.tm_sec, &t.tm_mday,
                    &t.tm_mon, &t.tm_year) != 6)
        return -1;
    t.tm_mon -= 1;
    t.tm_year -= 1900;
    return static_cast<long long>(::timegm(&t));
}

TEST_F(TarvellEndToEnd, AnExceptionInOneThreadIsLoggedOnceAndItsServerRetriedAfterThePause)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("DEF", "HHZ", 100);
    const int first = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 300)});
    const int second = StartSim({"--synthetic", Synthetic("DEF", "HHZ", 100, 300)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", first}, {"DEF", "HHZ", "localhost", second}});
    // The 50th packet that either thread handles throws, as memory running short would.
    ::setenv("TARVELL_FAULT_POINT", "packet-handling:throw:50", 1);
    auto tarvell = StartTarvell();
    ::unsetenv("TARVELL_FAULT_POINT");
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 300));
    ASSERT_TRUE(WaitForRequestFrom("HHZ", kStart + 300));
    Stop(*tarvell);

    // Both servers' data are whole: the thread that failed asked again from its resume time.
    for (auto [station, channel] : {std::pair{"ABC", "BHZ"}, std::pair{"DEF", "HHZ"}})
    {
        ChannelArchive archive = Check(station, channel, 100, 30000);
        EXPECT_EQ(archive.missing, 0) << station;
        EXPECT_EQ(archive.duplicates, 0) << station;
        EXPECT_EQ(archive.wrong, 0) << station;
    }
    std::vector<std::string> lines;
    std::istringstream log(LogText());
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    const std::string failed = "#[TARVELL] Acquisition failed on server: ";
    std::size_t failure = lines.size();
    int failures = 0;
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        if (lines[i].find(failed) == std::string::npos)
            continue;
        failure = i;
        ++failures;
    }
    ASSERT_EQ(failures, 1) << LogText();
    EXPECT_NE(lines[failure].find("(fault point packet-handling); retrying#"), std::string::npos)
        << lines[failure];
    // The same server is connected again, not at once but after the retry pause.
    const bool firstFailed = lines[failure].find("127.0.0.1 port ") != std::string::npos;
    const std::string again =
        std::string("Connected to server: ") + (firstFailed ? "127.0.0.1" : "localhost") + "#";
    std::size_t next = failure + 1;
    while (next < lines.size() && lines[next].find(again) == std::string::npos)
        ++next;
    ASSERT_LT(next, lines.size()) << LogText();
    EXPECT_GE(LineSeconds(lines[next]) - LineSeconds(lines[failure]), 1) << LogText();
}

} // namespace
} // namespace tarvell

namespace tarvell
{
namespace
{

TEST_F(TarvellEndToEnd, ReloadOnSighupKeepsTheBufferedSamples)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    const int port = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 300)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 300));
    ASSERT_TRUE(tarvell->Signal(SIGHUP));
    ASSERT_TRUE(WaitUntil([&] {
        const std::string log = LogText();
        return log.find("Number of channels: 1#", log.find("Configuration reload")) !=
               std::string::npos;
    }));
    // The reload wrote the buffered samples: the resume time is the end of the data.
    EXPECT_EQ(ReadProfileInt(m_ini, "GROUP1", "BHZ", 0), kStart + 300);
    Stop(*tarvell);
    ChannelArchive archive = Check("ABC", "BHZ", 100, 30000);
    EXPECT_EQ(archive.missing, 0);
    EXPECT_EQ(archive.duplicates, 0);
}

TEST_F(TarvellEndToEnd, CheckConfigPrintsTheGroupsAndFindsTheProblems)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("DEF", "BHZ", 20);
    m_db.AddSiteChan("DEF", "BHN", 20);
    std::string longChan = "BHN";
    while (longChan.size() < 252)
        longChan += ",BHN";
    longChan += ",BHE"; // "BHE" straddles character 255: neither BH nor BHE is read
    WriteIni({{"abc", "BHZ,LONGNAME1", "127.0.0.1", 14002},
              {"DEF", "BHZ", "localhost", 14002},
              {"LONGSTATION", "BHZ", "localhost", 14002},
              {"ABC", "BHZ", "localhost", 14002},
              {"DEF", longChan, "localhost", 14002}});
    ASSERT_TRUE(WriteProfileString(m_ini, "SYSTEM", "GROUPS", "6"));
    ASSERT_TRUE(WriteProfileString(m_ini, "GROUP1", "BHZ", std::to_string(kStart)));
    ASSERT_TRUE(WriteProfileString(m_ini, "GROUP2", "PORT", "abc"));
    ChildProcess check(TARVELL_BINARY, {"--check-config", "--ini", m_ini},
                       m_box.File("check.out"));
    EXPECT_EQ(check.Wait(30000), 1);
    const std::string out = ReadFile(m_box.File("check.out"));
    for (const std::string& expected :
         {std::string("GROUP1 station ABC  server 127.0.0.1:14002 (xfer)"),
          "time-named files under " + g_waveRoot + "/ABC",
          "resume " + std::to_string(kStart) + " (2026:341-13:05:00.000)",
          std::string("GROUP2 station DEF  server localhost:0 (xfer)"), std::string("Servers: 2"),
          std::string("GROUP6 has no STATION"),
          std::string("GROUP1 channel LONGNAME1 is longer than 7 characters: not acquired"),
          std::string("[GROUP2] PORT 'abc' is not a number"),
          std::string("GROUP3 STATION LONGSTATION is longer than 7 characters: not acquired"),
          std::string("GROUP4 channel ABC BHZ is acquired by GROUP1 already: not acquired here"),
          std::string("GROUP5 CHAN is longer than 255 characters: BHE not acquired")})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    EXPECT_EQ(out.find("GROUP5 channel DEF BH "), std::string::npos) << out;
    // A check writes no event log and takes no lock.
    EXPECT_FALSE(std::filesystem::exists(m_box.File("log")));
}

TEST_F(TarvellEndToEnd, AnIniPathHoldingOdbcIsNoDatabaseSetting)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    WriteIni({{"ABC", "BHZ", "127.0.0.1", 14002}});
    ASSERT_TRUE(std::filesystem::create_directory(m_box.File("ODBC=x")));
    const std::string ini = m_box.File("ODBC=x/tarvell.ini");
    std::filesystem::copy_file(m_ini, ini);
    int run = 0;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--check-config", "--ini", ini},
          std::vector<std::string>{"--check-config", "--ini=" + ini}})
    {
        // The database settings come from the INI file, not from the INI file's path.
        const std::string output = m_box.File("check" + std::to_string(++run) + ".out");
        ChildProcess check(TARVELL_BINARY, arguments, output);
        EXPECT_EQ(check.Wait(30000), 0) << ReadFile(output);
        EXPECT_NE(ReadFile(output).find("Database: ODBC=" + m_db.Dsn() + " USER=" + m_db.User()),
                  std::string::npos)
            << ReadFile(output);
    }
}

TEST_F(TarvellEndToEnd, StartWithoutADatabaseFailsWithTheMessageAndNoStopLine)
{
    WriteIni({{"ABC", "BHZ", "127.0.0.1", 14002}});
    ASSERT_TRUE(WriteProfileString(m_ini, "DATABASE", "ODBC", "NOSUCHDSN"));
    auto tarvell = StartTarvell();
    EXPECT_EQ(tarvell->Wait(30000), 1);
    EXPECT_NE(ReadFile(m_box.File("tarvell.out")).find("KDX database open error"),
              std::string::npos);
    const std::string log = LogText();
    EXPECT_NE(log.find("TARVELL started...#"), std::string::npos);
    EXPECT_NE(log.find("KDX database open error"), std::string::npos);
    EXPECT_EQ(log.find("TARVELL stopped...#"), std::string::npos);
}

} // namespace
} // namespace tarvell

namespace tarvell
{
namespace
{

TEST_F(TarvellEndToEnd, TheDiskLoopKeepsTheNewestFilesWithinSizemb)
{
    m_db.AddSiteChan("ABC", "BHZ", 100);
    m_db.AddSiteChan("ABC", "BHN", 100);
    // Two hours of two channels, 5.8 MB of samples, into a disk loop of 1 MB.
    const int port = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 3600),
                               "--synthetic", Synthetic("ABC", "BHN", 100, 3600)});
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", port, 1}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 3600));
    ASSERT_TRUE(WaitForRequestFrom("BHN", kStart + 3600));
    Stop(*tarvell);

    DbOutcome rows = m_db.Query("select CPATH, TQTY, SPS from FILELIST order by TBEGIN",
                                {DbType::Text, DbType::Double, DbType::Double});
    ASSERT_TRUE(rows.ok) << rows.message;
    ASSERT_FALSE(rows.rows.empty());
    long long registered = 0;
    for (const DbRow& row : rows.rows)
    {
        // Every row still has its file, of the size the row says.
        const std::string path = g_waveRoot + "/" + row[0].text;
        ASSERT_TRUE(std::filesystem::exists(path)) << row[0].text;
        const auto bytes = static_cast<long long>(std::filesystem::file_size(path));
        EXPECT_EQ(bytes, 512 + 4 * std::llround(row[1].number * row[2].number)) << row[0].text;
        registered += bytes;
    }
    long long onDisk = 0;
    long long files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(g_waveRoot))
    {
        if (entry.is_regular_file())
        {
            onDisk += static_cast<long long>(entry.file_size());
            ++files;
        }
    }
    EXPECT_EQ(files, static_cast<long long>(rows.rows.size())); // no file without its row
    EXPECT_EQ(onDisk, registered);
    // Below the limit before the last chunk of each channel was written.
    EXPECT_LT(onDisk, 1048576 + 2 * (512 + 4 * 4900));
    // The newest data are there, the oldest are gone.
    ChannelArchive archive = Check("ABC", "BHZ", 100, 360000);
    EXPECT_GT(archive.firstHeld, 0);
    EXPECT_EQ(archive.lastHeld, 359999);
    EXPECT_EQ(archive.missing, archive.firstHeld); // only the oldest went, without a hole
    EXPECT_EQ(archive.duplicates, 0);
    EXPECT_EQ(archive.wrong, 0);
    EXPECT_EQ(ReadProfileInt(m_ini, "GROUP1", "BHZ", 0), kStart + 3600);
}

} // namespace
} // namespace tarvell
