#pragma once
// Starting another program and waiting for its end (the configuration program). Any thread.

#include <string>
#include <string_view>

namespace tarvell
{

// The executable file called name: in firstDirectory if it is there, else in the first
// directory of $PATH that holds it. Empty when there is none.
std::string FindExecutable(std::string_view name, std::string_view firstDirectory);

// Starts the program at path without arguments, in the current directory and environment,
// with our standard input, output and error and none of our other descriptors, every signal
// unblocked and at its default action (ours are blocked or ignored for our own reasons).
// Returns its process id, or -1 when it could not be started.
int StartProgram(const std::string& path);

// Waits until the process started by StartProgram has ended and collects it.
void WaitForProgramEnd(int processId);

} // namespace tarvell
