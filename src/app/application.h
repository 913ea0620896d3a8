#pragma once
// The program's life: start-up in its fixed order, the running program, the stop command,
// and the reload of the configuration. Main thread only.

#include <string>

namespace tarvell
{

struct CommandLine;

// Runs the program without a window until SIGTERM or SIGINT (the stop command); SIGHUP
// reloads the groups from the INI file. The database settings are read from the line's
// settings arguments. Returns the exit status: 0 after an orderly stop, 1 when start-up
// failed (the reason is on stderr and in the event log).
int RunHeadless(const CommandLine& line);

// The reload after the configuration changed: pauses acquisition between packets, writes
// every channel's buffered samples, reads the groups again, loads the resume times of the
// new channel records, and resumes. Server links are not rebuilt.
void ReloadGroups();

// The program INI of a command line: --ini, else the executable's own.
std::string ResolveIniPath(const CommandLine& line);

} // namespace tarvell
