#pragma once
// The program with its operator window. Main thread only.

namespace tarvell
{

struct CommandLine;

// Runs the program (RunProgram) with its window on the display: the application, its icon,
// the window and its view, until the exit command, SIGTERM or SIGINT. programName is argv[0].
// Returns RunProgram's exit status.
int RunWithWindow(const CommandLine& line, const char* programName);

} // namespace tarvell
