#include "log/journal_echo.h"

#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "log/event_log.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

// The journal's kinds of line, with lines as the program writes them.
TEST(JournalEcho, EachKindOfLineHasItsPriority)
{
    const struct
    {
        const char* line;
        LogSeverity severity;
    } cases[] = {
        {"TARVELL started...", LogSeverity::Info},
        {"TARVELL stopped...", LogSeverity::Info},
        {"Cannot connect to server: waveserver.example.org port 14002 (host name not found, "
         "code 17); retrying",
         LogSeverity::Warning},
        {"Connected to server: 127.0.0.1", LogSeverity::Info},
        {"Not Found. Station: ABC  Channel: QQQ", LogSeverity::Warning},
        {"Channel not acquired, its name is longer than 7 characters and cannot be requested. "
         "Station: ABC  Channel: LONGNAME",
         LogSeverity::Warning},
        {"Data root '/var/lib/kdx/data' does not exist: chunks are requested again until it does",
         LogSeverity::Error},
        {"Data root '/var/lib/kdx/data' is there again", LogSeverity::Info},
        {"Station ABC channel BHZ is not archived for now: File create error 'x': Permission "
         "denied; the chunk is requested again. Its samples stay on the server",
         LogSeverity::Error},
        {"Station ABC channel BHZ is archived again after 12 s: asked for again from x",
         LogSeverity::Info},
        {"Station ABC channel BHZ: a packet dated 2038:001-00:00:00.000 lies ahead of the clock "
         "by more than 86400 s: not archived, and the channel's resume point stays",
         LogSeverity::Warning},
        {"Channel ABC BHN silent since 2026:341-13:04:55.000 (server 127.0.0.1 connected)",
         LogSeverity::Warning},
        {"Database unreachable: no connection could be made; chunks are taken back",
         LogSeverity::Error},
        {"Rows not written (disk I/O error); the chunks are taken back", LogSeverity::Error},
        {"Database reachable again after 30 s; 4 chunks were requested again from the servers",
         LogSeverity::Info},
        {"Fleet: the leases cannot be renewed (the database does not answer); the servers held "
         "here stop writing when their leases are no longer fresh",
         LogSeverity::Warning},
        {"Fleet: server 127.0.0.1:16001 is held by 'b' now; nothing more of it is written here",
         LogSeverity::Warning},
        {"Rows of server 127.0.0.1:16001 not committed: another instance holds it now; the "
         "chunks are taken back",
         LogSeverity::Warning},
        {"Fleet: the leases are renewed again", LogSeverity::Info},
        // Lines the event log keeps for itself.
        {"Fleet: server 127.0.0.1:16001 held here (fence 3)", LogSeverity::Event},
        {"Connection closed", LogSeverity::Event},
        {"Deleted file '/var/lib/kdx/data/ABC/13/x'", LogSeverity::Event},
        {"File created (/var/lib/kdx/data/ABC/ABC_BHZ.DAT)", LogSeverity::Event},
        {"Open files: at most 65536", LogSeverity::Event},
        {"TARVELL started... and more", LogSeverity::Event},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SeverityOfLine(c.line), c.severity) << c.line;

    EXPECT_TRUE(MatchesPattern("a*b*c", "aXXbYYbc"));
    EXPECT_TRUE(MatchesPattern("*", ""));
    EXPECT_FALSE(MatchesPattern("a*b", "aXXbY"));
    EXPECT_FALSE(MatchesPattern("ab", "a"));
}

// stderr into a file while it lives.
class CCapturedStderr
{
public:
    explicit CCapturedStderr(const std::string& path) : m_saved(::dup(STDERR_FILENO)), m_path(path)
    {
        std::fflush(stderr);
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(file, STDERR_FILENO);
        ::close(file);
    }
    ~CCapturedStderr() { Release(); }
    std::string Release()
    {
        if (m_saved >= 0)
        {
            std::fflush(stderr);
            ::dup2(m_saved, STDERR_FILENO);
            ::close(m_saved);
            m_saved = -1;
        }
        return test::ReadFile(m_path);
    }

private:
    int m_saved;
    std::string m_path;
};

TEST(JournalEcho, TroubleGoesToStderrOncePerLineOnlyWithTheEchoOn)
{
    test::Sandbox box;
    ResetLogForTest();
    InitLog(box.Write("t.ini", "[LOG]\nDIR=" + box.File("log") + "\n"));
    CCapturedStderr captured(box.File("stderr"));
    LogEvent("Not Found. Station: ABC  Channel: QQQ"); // echo off: the event log only
    LogAndTell(LogSeverity::Warning, "a secret file others can read");
    SetJournalEcho(true);
    LogEvent("Not Found. Station: ABC  Channel: QQQ");
    LogEvent("Connection closed");
    LogAndTell(LogSeverity::Error, "KDX database open error");
    LogEvent("Rows not written (one\nline); the chunks are taken back");
    SetJournalEcho(false);
    EXPECT_EQ(captured.Release(), "tarvell: warning: a secret file others can read\n"
                                  "<4>Not Found. Station: ABC  Channel: QQQ\n"
                                  "<3>KDX database open error\n"
                                  "<3>Rows not written (one line); the chunks are taken back\n");
    ResetLogForTest();
}

} // namespace
} // namespace tarvell
