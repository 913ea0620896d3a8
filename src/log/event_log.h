#pragma once
// The daily event log: the program's only record of what it did while running unattended.
// Any thread may write to it at any time.

#include <string>
#include <string_view>

namespace tarvell
{

// The log directory, always ending in "/". Set by InitLog; guarded by the log lock.
extern std::string g_logDir;

// Local time at which "TARVELL started..." was logged, "%H:%M:%S %d.%m.%Y"; empty before.
// Guarded by the log lock.
extern std::string g_startTime;

// Reads [LOG] DIR from the INI file at iniPath (default "../log", at most 1023 characters),
// appends "/" unless it ends with one (so an empty value means the root directory) and
// switches the log on. Called once at start-up; calling it again rereads the directory.
void InitLog(std::string_view iniPath);

// Writes one line to today's file "<g_logDir><DDMMYYYY>.log" (local date): the event line
// "%s  #[TARVELL] %s#" with the local time, ended by CR LF. A new day's file first gets its
// header line saying since when the program runs. With headerOnly only the file and its
// header are made sure of. text is copied as it stands ("%" included); a line is cut to
// 4095 bytes. Returns 1 when the log is initialised (whether or not the line could be
// written: a directory or file that cannot be made loses the line silently), else 0.
// Lines of different threads never interleave.
int LogEvent(std::string_view text, bool headerOnly = false);

// A copy of g_startTime (reads it under the log lock).
std::string LogStartTime();

// Switches the log off again and forgets the start time; for tests.
void ResetLogForTest();

} // namespace tarvell
