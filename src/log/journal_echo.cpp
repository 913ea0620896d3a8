#include "log/journal_echo.h"

#include <atomic>
#include <cerrno>
#include <string>

#include <unistd.h>

namespace tarvell
{
namespace
{

std::atomic<bool> g_echo{false};

struct LineKind
{
    const char* pattern; // "*" stands for any run of characters
    LogSeverity severity;
};

// Every kind of event line the journal hears, by the words that begin it. A line of any
// other kind stays in the event log alone: files made and deleted, connections closed in
// turn, what start-up found in order. Keep a line's pattern here when its text changes.
const LineKind kLineKinds[] = {
    // The program and its state
    {"TARVELL started...", LogSeverity::Info},
    {"TARVELL stopped...", LogSeverity::Info},
    {"Configuration reload", LogSeverity::Info},
    {"Number of channels: *", LogSeverity::Info},
    {"Archive checked: *", LogSeverity::Info},
    {"Status server on http://*", LogSeverity::Info},
    {"Core dumps are allowed *", LogSeverity::Warning},
    {"[STATUS] MAX_CONNECTIONS=* is more than *", LogSeverity::Warning},
    {"Status server: a request from * without the right token *", LogSeverity::Warning},
    {"An acquisition thread has been busy for * watchdog pings stop", LogSeverity::Error},
    {"Acquisition makes progress again: *", LogSeverity::Info},
    {"Column widths not saved: *", LogSeverity::Warning},
    {"Configuration not applied, the running one stays: *", LogSeverity::Warning},

    // The configuration: what is not acquired
    {"Not Found. Station: *", LogSeverity::Warning},
    {"Channel not acquired, *", LogSeverity::Warning},
    {"Station not acquired, *", LogSeverity::Warning},
    {"More than * servers: station * is not acquired", LogSeverity::Warning},
    {"More than * stations for server *: station * is not acquired", LogSeverity::Warning},
    {"Station * (GROUP*) has * channels; only the first * are requested", LogSeverity::Warning},
    {"GROUPS * is more than *", LogSeverity::Warning},
    {"GROUP* SIZEMB '*' is not a positive number of megabytes*", LogSeverity::Warning},
    {"Station * is no longer in the program INI *", LogSeverity::Warning},
    {"The program INI's [DATA] DIR '*' is not the data root *", LogSeverity::Warning},

    // The servers
    {"Cannot connect to server: *", LogSeverity::Warning},
    {"Connected to server: *", LogSeverity::Info},
    {"Acquisition failed on server: *", LogSeverity::Error},
    {"Configuration from server *: * names fill their 8 bytes *", LogSeverity::Warning},
    {"Packet from server * skipped: *", LogSeverity::Warning},
    {"Channel * * silent since *", LogSeverity::Warning},
    {"Channel * * flows again after *", LogSeverity::Info},
    {"Station * channel *: a packet dated * not archived*", LogSeverity::Warning},
    {"Station * channel *: the server sent * samples again *", LogSeverity::Warning},
    {"Packets of station * channel * dropped: *", LogSeverity::Warning},
    {"Chunk of station * channel * dropped: *", LogSeverity::Warning},
    {"Channel *: the server sends a calibration that is no number*", LogSeverity::Warning},

    // The data root and the data files
    {"Data root '*' does not exist*", LogSeverity::Error},
    {"Data root '*' is there again", LogSeverity::Info},
    {"File create error '*", LogSeverity::Error},
    {"File write error '*", LogSeverity::Error},
    {"Data written again '*'", LogSeverity::Info},
    {"Station * channel * is not archived for now: *", LogSeverity::Error},
    {"Station * channel * is archived again after *", LogSeverity::Info},
    {"File '*' could not be * tried again at every commit", LogSeverity::Error},
    {"File '*' is taken back now", LogSeverity::Info},
    {"File '*' was changed by another program *", LogSeverity::Warning},
    {"File '*' vanished before it was registered", LogSeverity::Warning},
    {"Cannot delete file '*", LogSeverity::Error},
    {"Loop files not prepared: *", LogSeverity::Error},
    {"Loop file not created '*", LogSeverity::Error},
    {"Loop file '*' is shorter *", LogSeverity::Error},
    {"Loop file of station * channel * not found under the data root *", LogSeverity::Warning},
    {"Chunks of loop file '*' not written: *", LogSeverity::Error},
    {"Chunk of station * channel * not written: *", LogSeverity::Error},
    {"Header of loop file '*' not written: *", LogSeverity::Error},
    {"Resume times not stored: *", LogSeverity::Error},
    {"Resume times are stored in the program INI again", LogSeverity::Info},

    // What a crash left and the start-up mended
    {"File '*' held * bytes beyond its row*", LogSeverity::Warning},
    {"File '*' holds * samples fewer than its row*", LogSeverity::Warning},
    {"Loop file '*' holds * samples fewer than its latest segment*", LogSeverity::Warning},
    {"File '*' has no row*", LogSeverity::Warning},
    {"File '*' of the latest row of station * is missing", LogSeverity::Warning},
    {"Station * channel * has no row while its resume time *", LogSeverity::Warning},
    {"File '*' lies outside the data catalog*", LogSeverity::Warning},
    {"Station *: * rows claimed more samples than their files hold*", LogSeverity::Warning},

    // The database
    {"Connected to database. *", LogSeverity::Info},
    {"Catalog with data: *", LogSeverity::Info},
    {"Reconnected to database. *", LogSeverity::Info},
    {"Database unreachable: *", LogSeverity::Error},
    {"Database connection lost: *", LogSeverity::Error},
    {"Database reachable again *", LogSeverity::Info},
    {"Rows not written (*", LogSeverity::Error},
    {"Rows are written again", LogSeverity::Info},
    {"Rows of station * channel * are written again", LogSeverity::Info},
    {"The database password *", LogSeverity::Error},
    {"Table * (*) can be neither read nor made: *", LogSeverity::Error},

    // Instances sharing one database: the leases of the servers
    {"Fleet: this instance is '*', lease * s; * of * servers held here", LogSeverity::Info},
    {"Fleet: the leases cannot be renewed *", LogSeverity::Warning},
    {"Fleet: the leases are renewed again", LogSeverity::Info},
    {"Fleet: server * was taken by another instance named *", LogSeverity::Error},
    {"Fleet: server * is held by '*' now; *", LogSeverity::Warning},
    {"Fleet: the lease of server * was not renewed in time: *", LogSeverity::Warning},
    {"Fleet: server * taken over from '*', whose lease lapsed *", LogSeverity::Warning},
    {"Fleet: channel * * is archived from server * (another instance's configuration *",
     LogSeverity::Warning},
    {"Rows of server * not committed: another instance holds it now*", LogSeverity::Warning},
    {"File '*' is another file now: left as it is", LogSeverity::Warning},
};

const char* Prefix(LogSeverity severity)
{
    switch (severity)
    {
    case LogSeverity::Info:
        return "<6>";
    case LogSeverity::Warning:
        return "<4>";
    case LogSeverity::Error:
        return "<3>";
    case LogSeverity::Event:
        break;
    }
    return "";
}

} // namespace

bool MatchesPattern(std::string_view pattern, std::string_view text)
{
    // Greedy matching with one point to come back to: the last "*" seen takes one more
    // character whenever what follows it fails, which is enough for "*" alone.
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (t < text.size())
    {
        if (p < pattern.size() && pattern[p] == '*')
        {
            star = p++;
            resume = t;
        }
        else if (p < pattern.size() && pattern[p] == text[t])
        {
            ++p;
            ++t;
        }
        else if (star != std::string_view::npos)
        {
            p = star + 1;
            t = ++resume;
        }
        else
        {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

LogSeverity SeverityOfLine(std::string_view line)
{
    for (const LineKind& kind : kLineKinds)
    {
        if (MatchesPattern(kind.pattern, line))
            return kind.severity;
    }
    return LogSeverity::Event;
}

void SetJournalEcho(bool on)
{
    g_echo.store(on, std::memory_order_relaxed);
}

bool JournalEchoOn()
{
    return g_echo.load(std::memory_order_relaxed);
}

bool EchoLine(LogSeverity severity, std::string_view line)
{
    if (severity == LogSeverity::Event || !JournalEchoOn())
        return false;
    std::string bytes = Prefix(severity);
    bytes.reserve(bytes.size() + line.size() + 1);
    for (const char c : line)
        bytes += c == '\n' || c == '\r' ? ' ' : c;
    bytes += '\n';
    // One write: the journal takes each line as one entry, and lines of threads that log at
    // the same moment stay whole. A journal that cannot take it loses the echo only.
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t put = ::write(STDERR_FILENO, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace tarvell
