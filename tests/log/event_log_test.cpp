#include "log/event_log.h"

#include <atomic>
#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/clock.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

using test::ReadFile;
using test::Sandbox;

std::atomic<std::time_t> g_fakeNow{0};
std::time_t FakeClock()
{
    return g_fakeNow.load();
}

constexpr std::time_t k20261207_130455 = 1796648695; // Monday 7 December 2026, UTC

class EventLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        ResetLogForTest();
        g_fakeNow = k20261207_130455;
        SetWallClockForTest(&FakeClock);
        m_ini = m_box.Write("tarvell.ini", "[LOG]\nDIR=" + m_box.File("log") + "\n");
    }
    void TearDown() override
    {
        SetWallClockForTest(nullptr);
        ResetLogForTest();
    }

    std::string LogFile(const char* day) const { return m_box.File("log/") + day + ".log"; }

    Sandbox m_box;
    std::string m_ini;
};

TEST_F(EventLogTest, WritesTheDaysHeaderThenEventLinesEndedByCrLf)
{
    EXPECT_EQ(LogEvent("TARVELL started..."), 0); // not yet initialised: nothing written,
    EXPECT_EQ(LogStartTime(), "");                // and only the start of the run sets the time
    EXPECT_EQ(LogStartOfRun("TARVELL started..."), 0);
    EXPECT_EQ(LogStartTime(), "13:04:55 07.12.2026"); // kept before the log is on
    InitLog(m_ini);
    EXPECT_EQ(g_logDir, m_box.File("log/"));
    EXPECT_EQ(LogStartOfRun("TARVELL started..."), 1);
    g_fakeNow += 2;
    EXPECT_EQ(LogEvent("Number of channels: 3"), 1);
    EXPECT_EQ(ReadFile(LogFile("07122026")),
              "13:04:55 07.12.2026  #[TARVELL] TARVELL is working since 13:04:55 07.12.2026#\r\n"
              "13:04:55 07.12.2026  #[TARVELL] TARVELL started...#\r\n"
              "13:04:57 07.12.2026  #[TARVELL] Number of channels: 3#\r\n");
}

TEST_F(EventLogTest, FirstEventAfterMidnightOpensTheNewDayWithItsHeader)
{
    InitLog(m_ini);
    LogStartOfRun("TARVELL started...");
    g_fakeNow = 1796687999; // 23:59:59
    LogEvent("last of the day");
    g_fakeNow = 1796688001; // 00:00:01 on the 8th
    LogEvent("first of the day");
    EXPECT_NE(
        ReadFile(LogFile("07122026")).find("23:59:59 07.12.2026  #[TARVELL] last of the day#"),
        std::string::npos);
    EXPECT_EQ(ReadFile(LogFile("08122026")),
              "00:00:01 08.12.2026  #[TARVELL] TARVELL is working since 13:04:55 07.12.2026#\r\n"
              "00:00:01 08.12.2026  #[TARVELL] first of the day#\r\n");
}

TEST_F(EventLogTest, EnsuringTodaysFileWritesItsHeaderAndNoEventOncePerDay)
{
    InitLog(m_ini);
    EnsureTodaysLogFile();
    EnsureTodaysLogFile();
    EXPECT_EQ(ReadFile(LogFile("07122026")),
              "13:04:55 07.12.2026  #[TARVELL] TARVELL is working since #\r\n");
    g_fakeNow = 1796688001; // 00:00:01 on the 8th
    EnsureTodaysLogFile();
    EXPECT_EQ(ReadFile(LogFile("08122026")),
              "00:00:01 08.12.2026  #[TARVELL] TARVELL is working since #\r\n");
}

TEST_F(EventLogTest, MessageIsCopiedUnchangedAndLongLinesAreCut)
{
    InitLog(m_ini);
    LogEvent("Deleted file '%s %d %n 100%'");
    LogEvent(std::string(5000, 'x'));
    std::string content = ReadFile(LogFile("07122026"));
    EXPECT_NE(content.find("#[TARVELL] Deleted file '%s %d %n 100%'#\r\n"), std::string::npos);
    std::size_t last = content.rfind("13:04:55");
    std::string longLine = content.substr(last);
    EXPECT_EQ(longLine.size(), 4095u + 2u); // 4096-byte line buffer, then CR LF
    EXPECT_EQ(longLine.substr(longLine.size() - 2), "\r\n");
}

TEST_F(EventLogTest, DirectoryIsMadeAgainWhenDeletedAndSlashIsAppended)
{
    m_box.Write("tarvell.ini", "[LOG]\nDIR=" + m_box.File("log") + "/\n");
    InitLog(m_ini);
    EXPECT_EQ(g_logDir, m_box.File("log/"));
    LogEvent("one");
    ASSERT_EQ(::unlink(LogFile("07122026").c_str()), 0);
    ASSERT_EQ(::rmdir(m_box.File("log").c_str()), 0);
    LogEvent("two");
    std::string content = ReadFile(LogFile("07122026"));
    EXPECT_NE(content.find("TARVELL is working since"), std::string::npos);
    EXPECT_NE(content.find("#[TARVELL] two#"), std::string::npos);
}

TEST_F(EventLogTest, DefaultAndEmptyDirectories)
{
    InitLog(m_box.File("missing.ini"));
    EXPECT_EQ(g_logDir, "../log/");
    m_box.Write("tarvell.ini", "[LOG]\nDIR=\n");
    InitLog(m_ini);
    EXPECT_EQ(g_logDir, "/");
}

TEST_F(EventLogTest, ALineTheLogCannotTakeGoesToStderrAndIsCounted)
{
    m_box.Write("log", "a file where the directory should be");
    InitLog(m_ini);
    const std::int64_t lostBefore = LogLinesLost();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LogEvent("Channel ABC BHZ lost"), 1);
    const std::string echoed = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(echoed.find("the line was: "), std::string::npos) << echoed;
    EXPECT_NE(echoed.find("Channel ABC BHZ lost"), std::string::npos) << echoed;
    EXPECT_EQ(LogLinesLost(), lostBefore + 1);
}

TEST_F(EventLogTest, LinesOfConcurrentWritersNeverInterleave)
{
    InitLog(m_ini);
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [t]
            {
                std::string text = "thread " + std::to_string(t) + " " +
                                   std::string(300, static_cast<char>('a' + t));
                for (int i = 0; i < kLines; ++i)
                    LogEvent(text + " " + std::to_string(i));
            });
    }
    for (std::thread& thread : threads)
        thread.join();

    std::istringstream content(ReadFile(LogFile("07122026")));
    std::string line;
    std::getline(content, line);
    EXPECT_NE(line.find("TARVELL is working since"), std::string::npos);
    std::set<std::string> seen;
    int count = 0;
    while (std::getline(content, line))
    {
        ++count;
        ASSERT_EQ(line.rfind("13:04:55 07.12.2026  #[TARVELL] thread ", 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - 2), "#\r");
        seen.insert(line);
    }
    EXPECT_EQ(count, kThreads * kLines);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

} // namespace
} // namespace tarvell
