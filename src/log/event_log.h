#pragma once
// The daily event log: the program's only record of what it did while running unattended.
// Any thread may write to it at any time.

#include <cstdint>
#include <string>
#include <string_view>

#include "log/journal_echo.h"

namespace tarvell
{

// The log directory, always ending in "/". Set by InitLog; guarded by the log lock.
extern std::string g_logDir;

// Local time of the start line of the run (LogStartOfRun), "%H:%M:%S %d.%m.%Y"; empty
// before. Guarded by the log lock.
extern std::string g_startTime;

// Reads [LOG] DIR from the INI file at iniPath (default "../log", at most 1023 characters),
// appends "/" unless it ends with one (so an empty value means the root directory) and
// switches the log on. Called once at start-up; calling it again rereads the directory.
void InitLog(std::string_view iniPath);

// Writes one line to today's file "<g_logDir><DDMMYYYY>.log" (local date): the event line
// "%s  #[TARVELL] %s#" with the local time, ended by CR LF. A new day's file first gets its
// header line saying since when the program runs. text is copied as it stands ("%"
// included); a line is cut to 4095 bytes. Returns 1 when the log is initialised (whether or
// not the line could be written: a line that cannot be written, for a directory or file that
// cannot be made or a full disk, goes to stderr instead and is counted, LogLinesLost), else
// 0. Lines of different threads never interleave. With the journal echo on (headless), a
// line of a kind the journal hears (SeverityOfLine) goes to stderr too, with its priority.
int LogEvent(std::string_view text);

// A line the operator must see even where no journal listens (a start that fails, a secret
// others can read): the event line as LogEvent writes it, and the text on stderr always,
// with the priority of severity when the journal echo is on, else as
// "tarvell: <severity>: <text>". Returns what LogEvent returns.
int LogAndTell(LogSeverity severity, std::string_view text);

// The start line of the run ("TARVELL started..."), written as LogEvent writes it; its time
// becomes g_startTime, which the header of every day's file repeats. The time is kept even
// before InitLog. Called once by the start-up sequence, before any other thread runs.
int LogStartOfRun(std::string_view text);

// Makes sure that today's file exists with its header line, and writes no event: the
// data-file side calls it after each write, so that every day with data has its log file.
// Looks at the directory once a day: a file removed during the day is made again, with its
// header, by the next event line.
void EnsureTodaysLogFile();

// Lines (event or header) the log could not write since the start. Any thread.
std::int64_t LogLinesLost();

// A copy of g_startTime (reads it under the log lock).
std::string LogStartTime();

// Switches the log off again and forgets the start time; for tests.
void ResetLogForTest();

} // namespace tarvell
