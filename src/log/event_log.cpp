#include "log/event_log.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/ini_profile.h"
#include "platform/unique_fd.h"

namespace tarvell
{

std::string g_logDir;
std::string g_startTime;

namespace
{

// The log lock: held from the formatting of a line to the closing of its file, so that
// lines of different threads never interleave and a day's header comes before its lines.
std::mutex g_logLock;
bool g_logInitialised = false;

constexpr std::size_t kEventLineSize = 4096;
constexpr std::size_t kHeaderLineSize = 2048;
constexpr std::size_t kFileNameSize = 2048;

std::string FormatLocal(const std::tm& calendar, const char* format)
{
    char text[64];
    std::size_t length = std::strftime(text, sizeof text, format, &calendar);
    return std::string(text, length);
}

std::atomic<std::int64_t> g_linesLost{0};

// The local day whose file is known to be there: [from, until) in wall-clock seconds. Every
// written chunk asks for today's file; only the first of a day (or after the clock stepped)
// touches the log directory.
std::atomic<std::time_t> g_fileDayFrom{0};
std::atomic<std::time_t> g_fileDayUntil{0};

bool TodaysFileKnown(std::time_t at)
{
    return at >= g_fileDayFrom.load(std::memory_order_relaxed) &&
           at < g_fileDayUntil.load(std::memory_order_relaxed);
}

// The local midnight that begins the day of now, or the next one (days 1).
std::time_t LocalMidnight(const std::tm& now, int days)
{
    std::tm midnight = now;
    midnight.tm_mday += days;
    midnight.tm_hour = 0;
    midnight.tm_min = 0;
    midnight.tm_sec = 0;
    midnight.tm_isdst = -1;
    return std::mktime(&midnight);
}

void NoteTodaysFileThere(const std::tm& now, std::time_t at)
{
    if (TodaysFileKnown(at))
        return;
    const std::time_t dayStart = LocalMidnight(now, 0);
    const std::time_t dayEnd = LocalMidnight(now, 1);
    if (dayStart == -1 || dayEnd == -1 || at < dayStart || at >= dayEnd)
        return;
    g_fileDayFrom.store(dayStart, std::memory_order_relaxed);
    g_fileDayUntil.store(dayEnd, std::memory_order_relaxed);
}

// Appends line plus CR LF to the file in one write, so that another program appending to
// the same file cannot split it either. False (errno set) when it was not written whole.
bool AppendLine(int fd, const char* line)
{
    std::string bytes(line);
    bytes += "\r\n";
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written >= 0 && static_cast<std::size_t>(written) < bytes.size())
        errno = ENOSPC;
    return written >= 0 && static_cast<std::size_t>(written) == bytes.size();
}

// A line the log could not take goes to stderr (the journal of a service) and is counted:
// the only record must not lose a line without a trace.
void LineLost(const char* fileName, int error, const char* line)
{
    g_linesLost.fetch_add(1, std::memory_order_relaxed);
    std::fprintf(stderr, "%starvell: event log %s: %s; the line was: %s\n",
                 JournalEchoOn() ? "<3>" : "", fileName, std::strerror(error), line);
}

enum class LogWrite
{
    Event,      // the event line
    StartOfRun, // the event line, whose time becomes the start time
    HeaderOnly, // only today's file with its header
};

int WriteToLog(std::string_view text, LogWrite what)
{
    // One reading of the clock names the file and stamps the line and the header alike.
    const std::time_t at = WallClockNow();
    const std::tm now = LocalCalendar(at);
    const std::string stamp = FormatLocal(now, "%H:%M:%S %d.%m.%Y");
    const std::string message(text);

    std::lock_guard lock(g_logLock);
    if (what == LogWrite::StartOfRun)
        g_startTime = stamp;
    if (!g_logInitialised)
        return 0;

    char line[kEventLineSize];
    std::snprintf(line, sizeof line, "%s  #[TARVELL] %s#", stamp.c_str(), message.c_str());
    char fileName[kFileNameSize];
    std::snprintf(fileName, sizeof fileName, "%s%s.log", g_logDir.c_str(),
                  FormatLocal(now, "%d%m%Y").c_str());

    // The directory may have been deleted while the program runs; one level is made again.
    // Why it could not be made says more than the ENOENT of the file that follows.
    const int directoryError = MakeDirectory(g_logDir) ? 0 : errno;

    UniqueFd created(::open(fileName, O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666));
    const int createError = created || errno == EEXIST ? 0 : errno;
    if (createError == 0)
        NoteTodaysFileThere(now, at);
    if (created)
    {
        char header[kHeaderLineSize];
        std::snprintf(header, sizeof header, "%s  #[TARVELL] TARVELL is working since %s#",
                      stamp.c_str(), g_startTime.c_str());
        if (!AppendLine(created.Get(), header))
            LineLost(fileName, errno, header);
    }
    if (what != LogWrite::HeaderOnly)
    {
        UniqueFd file(created ? std::move(created)
                              : UniqueFd(::open(fileName, O_WRONLY | O_APPEND | O_CLOEXEC)));
        if (!file)
        {
            // A file that could not be made reads as missing when opened again: the reason is
            // that of the making (a directory others own), or of the directory's.
            int error = errno;
            if (error == ENOENT && createError != 0 && createError != ENOENT)
                error = createError;
            else if (error == ENOENT && directoryError != 0)
                error = directoryError;
            LineLost(fileName, error, line);
        }
        else if (!AppendLine(file.Get(), line))
            LineLost(fileName, errno, line);
    }
    return 1;
}

} // namespace

void InitLog(std::string_view iniPath)
{
    std::string dir = ReadProfileString(iniPath, "LOG", "DIR", "../log", 1023);
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    std::lock_guard lock(g_logLock);
    g_logDir = dir;
    g_logInitialised = true;
    g_fileDayUntil.store(0, std::memory_order_relaxed);
}

int LogEvent(std::string_view text)
{
    const int written = WriteToLog(text, LogWrite::Event);
    // The journal hears the line even when the log is not written yet (or cannot be).
    if (JournalEchoOn())
        EchoLine(SeverityOfLine(text), text);
    return written;
}

int LogAndTell(LogSeverity severity, std::string_view text)
{
    const int written = WriteToLog(text, LogWrite::Event);
    if (!EchoLine(severity, text))
    {
        const char* name = severity == LogSeverity::Error     ? "error"
                           : severity == LogSeverity::Warning ? "warning"
                                                              : "info";
        std::fprintf(stderr, "tarvell: %s: %.*s\n", name, static_cast<int>(text.size()),
                     text.data());
    }
    return written;
}

int LogStartOfRun(std::string_view text)
{
    const int written = WriteToLog(text, LogWrite::StartOfRun);
    if (JournalEchoOn())
        EchoLine(SeverityOfLine(text), text);
    return written;
}

void EnsureTodaysLogFile()
{
    if (TodaysFileKnown(WallClockNow()))
        return;
    WriteToLog("", LogWrite::HeaderOnly);
}

std::int64_t LogLinesLost()
{
    return g_linesLost.load(std::memory_order_relaxed);
}

std::string LogStartTime()
{
    std::lock_guard lock(g_logLock);
    return g_startTime;
}

void ResetLogForTest()
{
    std::lock_guard lock(g_logLock);
    g_logInitialised = false;
    g_logDir.clear();
    g_startTime.clear();
}

} // namespace tarvell
