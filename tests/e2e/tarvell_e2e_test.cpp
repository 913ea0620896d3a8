// The whole program on loopback: xfer-sim serves synthetic channels, tarvell --headless
// writes them into a temporary data root and a fresh SQLite KDX database, and every file
// and row is checked against what the server sent.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "db/connection.h"
#include "db/db_access.h"
#include "e2e/child_process.h"
#include "platform/ini_profile.h"
#include "e2e/e2e_world.h"
#include "e2e/notify_socket.h"

namespace tarvell
{
namespace
{

using test::ChannelArchive;
using test::ChildProcess;
using test::CNotifySocket;
using test::Group;
using test::kStart;
using test::ReadFile;
using test::WaitUntil;

using test::TarvellEndToEnd;

TEST_F(TarvellEndToEnd, WritesEverySampleOnceFlushesOnStopAndLogsInOrder)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    Db().AddSiteChan("ABC", "BHN", 100);
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
        EXPECT_EQ(ReadProfileInt(Ini(), "GROUP1", channel, 0), kStart + 600);
    }

    const std::string log = LogText();
    std::size_t at = 0;
    for (const std::string& line :
         {std::string("#[TARVELL] TARVELL started...#"),
          "#[TARVELL] Connected to database. ODBC: " + Db().Dsn() + "  USER: " + Db().User(),
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
    Db().AddSiteChan("ABC", "BHZ", 100);
    // Packets of 37 samples never end on a whole second: a restart from the INI's whole
    // seconds alone would write up to a second twice.
    int port = StartSim({"--samples", "37", "--synthetic", Synthetic("ABC", "BHZ", 100, 300)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    auto first = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 300));
    Stop(*first);
    EXPECT_EQ(ReadProfileInt(Ini(), "GROUP1", "BHZ", 0), kStart + 300);
    StopSims();

    // The server now holds twice as much; the second run asks from where the first ended.
    port = StartSim({"--samples", "37", "--synthetic", Synthetic("ABC", "BHZ", 100, 600)});
    ASSERT_TRUE(WriteProfileString(Ini(), "GROUP1", "PORT", std::to_string(port)));
    auto second = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 600));
    EXPECT_NE(ReadFile(Box().File("xfer-sim.out")).find("BHZ@" + std::to_string(kStart + 300)),
              std::string::npos);
    Stop(*second);

    ChannelArchive archive = Check("ABC", "BHZ", 100, 60000);
    EXPECT_EQ(archive.missing, 0);
    EXPECT_EQ(archive.wrong, 0);
    EXPECT_EQ(archive.duplicates, 0);
}

TEST_F(TarvellEndToEnd, ReconnectionsLoseNothingAndRepeatNothing)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    Db().AddSiteChan("ABC", "BHE", 40);
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

TEST_F(TarvellEndToEnd, OneLinkPerHostAndPortAndAGroupWithoutKnownChannels)
{
    Db().AddSiteChan("ABC", "BHZ", 20);
    Db().AddSiteChan("DEF", "BHZ", 20);
    Db().AddSiteChan("GHI", "HHZ", 50);
    const int first = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 20, 300)});
    const int second = StartSim({"--synthetic", Synthetic("DEF", "BHZ", 20, 300), "--synthetic",
                                 Synthetic("GHI", "HHZ", 50, 300)});
    // Two servers on one host at different ports are two links, both archived; localhost and
    // LOCALHOST at one port are one server.
    WriteIni({{"ABC", "BHZ", "127.0.0.1", first},
              {"DEF", "BHZ", "127.0.0.1", second},
              {"XYZ", "QQQ", "localhost", second},
              {"GHI", "HHZ", "LOCALHOST", second}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("HHZ", kStart + 300));
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const std::string requests = ReadFile(Box().File("xfer-sim.out"));
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
    const std::string requests = ReadFile(Box().File("xfer-sim.out"));
    EXPECT_NE(requests.find("stations=1 ABC[BHZ@"), std::string::npos);
    EXPECT_NE(requests.find("stations=1 DEF[BHZ@"), std::string::npos);
    EXPECT_NE(requests.find("stations=2 [] GHI[HHZ@"), std::string::npos) << requests;
}

TEST_F(TarvellEndToEnd, SecondInstanceOnTheSameIniRefusesToStart)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    const int port = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 60)});
    WriteIni({{"ABC", "BHZ", "127.0.0.1", port}});
    auto first = StartTarvell();
    ASSERT_TRUE(WaitUntil(
        [&] { return LogText().find("Connected to server") != std::string::npos; }, 30000));
    ChildProcess second(TARVELL_BINARY, {"--headless", "--ini", Ini()}, Box().File("second.out"));
    EXPECT_EQ(second.Wait(30000), 1);
    EXPECT_NE(ReadFile(Box().File("second.out")).find("is already running with " + Ini()),
              std::string::npos);
    Stop(*first);
}

TEST_F(TarvellEndToEnd, StopIsPromptWhileTheServerRefusesOrStalls)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    Db().AddSiteChan("DEF", "BHZ", 100);
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

// A service's journal: without a window, the lines that mean trouble (and the start and the
// stop) also go to stderr with the journal's priority prefix, once per event like the log.
TEST_F(TarvellEndToEnd, TheJournalHearsEachTroubleOnceWithItsPriority)
{
    Db().AddSiteChan("ABC", "BHZ", 100); // QQQ has no SITECHAN row
    const int refused = test::FreePort();
    WriteIni({{"ABC", "BHZ,QQQ", "127.0.0.1", refused}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForLog("Cannot connect to server"));
    test::SleepMs(3500); // the attempts after 1 s and 2 s fail the same way
    Stop(*tarvell);

    const std::string cannot = "Cannot connect to server: 127.0.0.1 port " +
                               std::to_string(refused) +
                               " (connection refused: nothing listens on the port); retrying";
    std::vector<std::string> lines;
    std::istringstream stderrText(ReadFile(Box().File("tarvell.out")));
    for (std::string line; std::getline(stderrText, line);)
    {
        EXPECT_TRUE(line.rfind("<3>", 0) == 0 || line.rfind("<4>", 0) == 0 ||
                    line.rfind("<6>", 0) == 0)
            << "a line without its priority: " << line;
        lines.push_back(line);
    }
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "<6>TARVELL started...");
    EXPECT_EQ(lines.back(), "<6>TARVELL stopped...");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<4>" + cannot), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "<4>Not Found. Station: ABC  Channel: QQQ"),
              1);
    // The event log holds the same line once, without the prefix.
    const std::string log = LogText();
    const std::size_t first = log.find("#[TARVELL] " + cannot + "#");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("#[TARVELL] " + cannot + "#", first + 1), std::string::npos);
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
    Db().AddSiteChan("ABC", "BHZ", 100);
    Db().AddSiteChan("DEF", "HHZ", 100);
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

// A reload applies everything: a server added, a station removed, a channel list changed,
// while a server whose request stays the same goes on untouched; a configuration that
// --check-config rejects changes nothing. Every sample of every channel is archived once, the
// new ones from their begin.
TEST_F(TarvellEndToEnd, AReloadAppliesEveryChangeAndLosesNothing)
{
    for (auto [station, channel] : {std::pair{"ABC", "BHZ"},
                                    {"ABC", "BHN"},
                                    {"DEF", "BHZ"},
                                    {"DEF", "BHN"},
                                    {"XYZ", "BHZ"},
                                    {"GHI", "HHZ"}})
        Db().AddSiteChan(station, channel, 100);
    const int a = StartSim({"--synthetic", Synthetic("ABC", "BHZ", 100, 300), "--synthetic",
                            Synthetic("ABC", "BHN", 100, 300)});
    const int b = StartSim({"--synthetic", Synthetic("DEF", "BHZ", 100, 300), "--synthetic",
                            Synthetic("DEF", "BHN", 100, 300), "--synthetic",
                            Synthetic("XYZ", "BHZ", 100, 300)});
    const int c = StartSim({"--synthetic", Synthetic("GHI", "HHZ", 100, 300)});
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", a},
              {"DEF", "BHZ", "127.0.0.1", b},
              {"XYZ", "BHZ", "127.0.0.1", b}});
    auto tarvell = StartTarvell();
    // Both servers' data are in before the reloads: XYZ is removed by the second, so what it
    // had not received by then is never asked for.
    const std::string end = std::to_string(kStart + 300) + ".000000";
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const std::string requests = ReadFile(Box().File("xfer-sim.out"));
            return requests.find("ABC[BHZ@" + end) != std::string::npos &&
                   requests.find("XYZ[BHZ@" + end) != std::string::npos;
        },
        60000))
        << Outputs();

    // Rejected: the running configuration stays.
    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", a}, {"QQQ", "BHZ", "127.0.0.1", c}});
    ASSERT_TRUE(tarvell->Signal(SIGHUP));
    ASSERT_TRUE(WaitForLog("Configuration not applied, the running one stays: 1 problems"));
    EXPECT_EQ(LogText().find("Reload: server"), std::string::npos);

    WriteIni({{"ABC", "BHZ,BHN", "127.0.0.1", a},
              {"DEF", "BHZ,BHN", "127.0.0.1", b},
              {"GHI", "HHZ", "127.0.0.1", c}});
    ForgetRequests();
    ASSERT_TRUE(tarvell->Signal(SIGHUP));
    const std::string server = "Reload: server 127.0.0.1:";
    ASSERT_TRUE(WaitForLog(server + std::to_string(a) + " unchanged"));
    ASSERT_TRUE(WaitForLog(server + std::to_string(b) +
                           " asked again with its new request (1 channels added, 1 removed)"));
    ASSERT_TRUE(WaitForLog(server + std::to_string(c) + " started"));
    ASSERT_TRUE(WaitForRequestFrom("HHZ", kStart + 300));
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            const std::string requests = ReadFile(Box().File("xfer-sim.out"));
            return requests.find("DEF[BHZ@" + std::to_string(kStart + 300) +
                                 ".000000..-1.000000 "
                                 "BHN@" +
                                 std::to_string(kStart + 300)) != std::string::npos;
        }))
        << Outputs();
    Stop(*tarvell);

    for (auto [station, channel] : {std::pair{"ABC", "BHZ"},
                                    {"ABC", "BHN"},
                                    {"DEF", "BHZ"},
                                    {"DEF", "BHN"},
                                    {"XYZ", "BHZ"},
                                    {"GHI", "HHZ"}})
        test::ExpectEverySampleOnce(*this, station, channel, 100, 30000);
    ExpectArchiveConsistent();
}

TEST_F(TarvellEndToEnd, CheckConfigPrintsTheGroupsAndFindsTheProblems)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    Db().AddSiteChan("DEF", "BHZ", 20);
    Db().AddSiteChan("DEF", "BHN", 20);
    std::string longChan = "BHN";
    while (longChan.size() < 252)
        longChan += ",BHN";
    longChan += ",BHE"; // "BHE" straddles character 255: neither BH nor BHE is read
    UniqueFd held;
    WriteIni({{"abc", "BHZ,LONGNAME1", "127.0.0.1", 14002},
              {"DEF", "BHZ", "localhost", 14002},
              {"LONGSTATION", "BHZ", "localhost", 14002},
              {"ABC", "BHZ", "localhost", 14002},
              {"DEF", longChan, "localhost", 14002},
              {"../..", "BHZ", "localhost", 14002},
              {"GHI", "..,A/B,\xE9Z", "localhost", 14002},
              {"JKL", "BHZ", "no-such-host.invalid", 14002}},
             "", "\n[STATUS]\nLISTEN=127.0.0.1:" + std::to_string(test::HoldPort(held)) + "\n");
    ASSERT_TRUE(WriteProfileString(Ini(), "SYSTEM", "GROUPS", "9"));
    // What only a running program would meet: no data root, a host that does not resolve, a
    // status address another program listens on.
    const std::string missingRoot = Box().File("no-data-root");
    ASSERT_TRUE(WriteProfileString(Ini(), "DATA", "DIR", missingRoot));
    ASSERT_TRUE(WriteProfileString(Ini(), "GROUP1", "BHZ", std::to_string(kStart)));
    ASSERT_TRUE(WriteProfileString(Ini(), "GROUP2", "PORT", "abc"));
    ChildProcess check(TARVELL_BINARY, {"--check-config", "--ini", Ini()}, Box().File("check.out"));
    EXPECT_EQ(check.Wait(30000), 1);
    const std::string out = ReadFile(Box().File("check.out"));
    for (const std::string& expected :
         {std::string("GROUP1 station ABC  server 127.0.0.1:14002 (xfer)"),
          "time-named files under " + missingRoot + "/ABC",
          "resume " + std::to_string(kStart) + " (2026:341-13:05:00.000)",
          std::string("GROUP2 station DEF  server localhost:0 (xfer)"), std::string("Servers: 4"),
          std::string("  localhost:0 (xfer): DEF\n"), std::string("GROUP9 has no STATION"),
          "Data root '" + missingRoot + "': ",
          std::string("Server no-such-host.invalid:14002: the host name does not resolve ("),
          std::string("cannot be listened on (Address already in use)"),
          std::string("GROUP6 STATION ../.. holds '..': not acquired"),
          std::string("GROUP7 channel .. holds '..': not acquired"),
          std::string("GROUP7 channel A/B holds '/': not acquired"),
          std::string("GROUP7 channel \\xE9Z holds the byte 0xE9, which is no printable ASCII "
                      "character: not acquired"),
          std::string("GROUP1 channel LONGNAME1 is longer than 7 characters: not acquired"),
          std::string("[GROUP2] PORT 'abc' is not a number"),
          std::string("GROUP3 STATION LONGSTATION is longer than 7 characters: not acquired"),
          std::string("GROUP4 channel ABC BHZ is acquired by GROUP1 already: not acquired here"),
          std::string("GROUP5 CHAN is longer than 255 characters: BHE not acquired")})
        EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
    EXPECT_EQ(out.find("GROUP5 channel DEF BH "), std::string::npos) << out;
    // A check writes no event log and takes no lock.
    EXPECT_FALSE(std::filesystem::exists(Box().File("log")));
}

TEST_F(TarvellEndToEnd, AnIniPathHoldingOdbcIsNoDatabaseSetting)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    WriteIni({{"ABC", "BHZ", "127.0.0.1", 14002}});
    ASSERT_TRUE(std::filesystem::create_directory(Box().File("ODBC=x")));
    const std::string ini = Box().File("ODBC=x/tarvell.ini");
    std::filesystem::copy_file(Ini(), ini);
    int run = 0;
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"--check-config", "--ini", ini},
          std::vector<std::string>{"--check-config", "--ini=" + ini}})
    {
        // The database settings come from the INI file, not from the INI file's path.
        const std::string output = Box().File("check" + std::to_string(++run) + ".out");
        ChildProcess check(TARVELL_BINARY, arguments, output);
        EXPECT_EQ(check.Wait(30000), 0) << ReadFile(output);
        EXPECT_NE(ReadFile(output).find("Database: ODBC=" + Db().Dsn() + " USER=" + Db().User()),
                  std::string::npos)
            << ReadFile(output);
    }
}

// A start that cannot do its work ends at once with exit 1: one line on stderr names the
// cause with the journal's error priority, the service manager gets it as the unit's status,
// and there is no stop line. Each case is a fault an operator makes on the first day.
TEST_F(TarvellEndToEnd, AStartThatCannotWorkEndsAtOnceNamingTheCause)
{
    Db().AddSiteChan("ABC", "BHZ", 100);
    struct Case
    {
        std::string name;
        std::function<std::string()> prepare; // returns the INI to start with
        std::string told;                     // the line on stderr, from its beginning
        std::string status;                   // what the service manager shows
        bool logMade = true;                  // the event log was opened first
    };
    std::vector<std::string> asOther; // how tarvell is started for the read-only database
    const std::vector<Case> cases = {
        {"a mistyped --ini", [&] { return Box().File("tarvel.ini"); },
         "<3>TARVELL not started: the program INI " + Box().File("tarvel.ini") +
             " cannot be read: does not exist",
         "TARVELL not started: the program INI", false},
        {"no channel SITECHAN knows",
         [&]
         {
             WriteIni({{"ABC", "BHN,QQQ", "127.0.0.1", 14002}});
             return Ini();
         },
         "<3>TARVELL not started: nothing to acquire in " + Box().File("tarvell.ini") +
             ": no channel of its groups can be acquired",
         "TARVELL not started: nothing to acquire"},
        {"no data source",
         [&]
         {
             WriteIni({{"ABC", "BHZ", "127.0.0.1", 14002}});
             EXPECT_TRUE(WriteProfileString(Ini(), "DATABASE", "ODBC", "NOSUCHDSN"));
             return Ini();
         },
         // After the driver's message, what failed in plain words; no dialog library.
         "<3>The KDX database cannot be opened: connecting to the ODBC data source 'NOSUCHDSN'",
         "KDX database open error"},
        {"a database the program's user cannot write",
         [&]
         {
             WriteIni({{"ABC", "BHZ", "127.0.0.1", 14002}});
             // The SQLite file as root left it: readable, not writable by the service's user
             // (root itself is not held back by permissions, so it starts tarvell as nobody).
             DbClose();
             if (::geteuid() == 0)
             {
                 asOther = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
                 EXPECT_EQ(::chmod(Box().Path().c_str(), 0777), 0);
                 std::filesystem::remove(Ini() + ".lock"); // root's, of the cases before
                 EXPECT_EQ(::chmod(Db().OdbcDir().c_str(), 0755), 0);
                 EXPECT_EQ(::chmod(Ini().c_str(), 0644), 0);
             }
             EXPECT_EQ(::chmod(Db().DatabaseName().c_str(), 0444), 0);
             return Ini();
         },
         "<3>TARVELL not started: the KDX database (ODBC " + Db().Dsn() + ", user " + Db().User() +
             ") cannot be written: [SQLite]attempt to write a readonly database",
         "TARVELL not started: the KDX database"},
    };
    for (const Case& c : cases)
    {
        std::filesystem::remove_all(Box().File("log"));
        const std::string ini = c.prepare();
        CNotifySocket manager(Box().File("notify"));
        EXPECT_EQ(::chmod(Box().File("notify").c_str(), 0777), 0);
        const std::string output = Box().File("failed.out");
        std::vector<std::string> arguments = {"--headless", "--ini", ini};
        std::string program = TARVELL_BINARY;
        if (!asOther.empty())
        {
            arguments.insert(arguments.begin(), program);
            arguments.insert(arguments.begin(), asOther.begin() + 1, asOther.end());
            program = asOther.front();
        }
        ::setenv("NOTIFY_SOCKET", Box().File("notify").c_str(), 1);
        ChildProcess tarvell(program, arguments, output);
        ::unsetenv("NOTIFY_SOCKET");
        EXPECT_EQ(tarvell.Wait(30000), 1) << c.name;
        const std::string told = "\n" + ReadFile(output);
        EXPECT_NE(told.find("\n" + c.told), std::string::npos) << c.name << told;
        EXPECT_EQ(told.find("MFC"), std::string::npos) << told;
        std::string seen;
        EXPECT_TRUE(manager.WaitFor("STATUS=", 5000, &seen)) << c.name;
        EXPECT_NE(seen.find("STATUS=" + c.status), std::string::npos) << c.name << "\n" << seen;
        const std::string log = LogText();
        EXPECT_EQ(log.find("TARVELL started...#") != std::string::npos, c.logMade) << c.name;
        EXPECT_EQ(std::filesystem::exists(Box().File("log")), c.logMade) << c.name;
        EXPECT_EQ(log.find("TARVELL stopped...#"), std::string::npos) << c.name;
        std::filesystem::remove(Box().File("notify"));
    }
}

// Options the program does not know print the usage and change nothing: no event log, no
// lock; --help is no mistake.
TEST_F(TarvellEndToEnd, AnUnknownOptionPrintsTheUsageAndStartsNothing)
{
    WriteIni({{"ABC", "BHZ", "127.0.0.1", 14002}});
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"-h", "--ini", Ini()},
          std::vector<std::string>{"--ini", Ini(), "--headles"},
          std::vector<std::string>{"--ini", Ini(), "--headless", "-x", "ODBC=KDX"}})
    {
        ChildProcess tarvell(TARVELL_BINARY, arguments, Box().File("usage.out"));
        EXPECT_EQ(tarvell.Wait(30000), 2) << arguments.front();
        const std::string told = ReadFile(Box().File("usage.out"));
        EXPECT_NE(told.find("tarvell: unknown option -"), std::string::npos) << told;
        EXPECT_NE(told.find("Usage: tarvell [OPTIONS]"), std::string::npos) << told;
    }
    EXPECT_FALSE(std::filesystem::exists(Box().File("log")));
    EXPECT_FALSE(std::filesystem::exists(Ini() + ".lock"));
    ChildProcess help(TARVELL_BINARY, {"--help"}, Box().File("help.out"));
    EXPECT_EQ(help.Wait(30000), 0);
    EXPECT_EQ(ReadFile(Box().File("help.out")).rfind("Usage: tarvell [OPTIONS]", 0), 0u);
}

} // namespace
} // namespace tarvell

namespace tarvell
{
namespace
{

TEST_F(TarvellEndToEnd, TheDiskLoopKeepsTheNewestFilesWithinSizemb)
{
    // An hour of six channels, 8.6 MB of samples, into a disk loop of 1 MB: many chunks of the
    // station are written within a second, before their rows are.
    std::vector<std::string> switches;
    for (const char* channel : {"BHZ", "BHN", "BHE", "HHZ", "HHN", "HHE"})
    {
        Db().AddSiteChan("ABC", channel, 100);
        switches.insert(switches.end(), {"--synthetic", Synthetic("ABC", channel, 100, 3600)});
    }
    const int port = StartSim(switches);
    WriteIni({{"ABC", "BHZ,BHN,BHE,HHZ,HHN,HHE", "127.0.0.1", port, 1}});
    auto tarvell = StartTarvell();
    ASSERT_TRUE(WaitForRequestFrom("BHZ", kStart + 3600));
    ASSERT_TRUE(WaitForRequestFrom("BHN", kStart + 3600));
    Stop(*tarvell);

    DbOutcome rows = Db().Query("select CPATH, TQTY, SPS from FILELIST order by TBEGIN",
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
    // Chunks written and not yet registered count before the purge decides: the loop stays
    // within SIZEMB and one chunk.
    EXPECT_LE(onDisk, 1048576 + 512 + 4 * 4900);
    // The newest data are there, the oldest are gone.
    ChannelArchive archive = Check("ABC", "BHZ", 100, 360000);
    EXPECT_GT(archive.firstHeld, 0);
    EXPECT_EQ(archive.lastHeld, 359999);
    EXPECT_EQ(archive.missing, archive.firstHeld); // only the oldest went, without a hole
    EXPECT_EQ(archive.duplicates, 0);
    EXPECT_EQ(archive.wrong, 0);
    EXPECT_EQ(ReadProfileInt(Ini(), "GROUP1", "BHZ", 0), kStart + 3600);
}

} // namespace
} // namespace tarvell
