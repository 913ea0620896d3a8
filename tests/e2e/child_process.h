#pragma once
// A program started by a test, stopped and reaped by it. Main test thread only.

#include <string>
#include <vector>

#include <sys/types.h>

namespace tarvell::test
{

class ChildProcess
{
public:
    // Starts program with arguments, stdout and stderr into outputFile, environment inherited.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const std::string& outputFile);
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return m_pid; }

    // Sends signal; returns false when the child has already ended.
    bool Signal(int signal);

    // Waits for the child to end (at most timeoutMs); returns its exit status, or -1 when it
    // did not end in time (it is then killed) or ended by a signal.
    int Wait(int timeoutMs);

    bool Running();

    // The signal that ended the child by itself (0 when it exited, still runs, or was killed
    // by Wait for not ending in time).
    int EndingSignal() const { return m_endingSignal; }

private:
    pid_t m_pid = -1;
    int m_status = -1;
    int m_endingSignal = 0;
};

} // namespace tarvell::test
