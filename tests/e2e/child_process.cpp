#include "e2e/child_process.h"

#include <csignal>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/sandbox.h"

namespace tarvell::test
{

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::string& outputFile)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    m_pid = ::fork();
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
    if (m_pid == 0)
    {
        int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0)
        {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        // The test runner may block signals; the child must see SIGTERM as a stop command.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
}

ChildProcess::~ChildProcess()
{
    if (Running())
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
    }
}

bool ChildProcess::Signal(int signal)
{
    return Running() && ::kill(m_pid, signal) == 0;
}

bool ChildProcess::Running()
{
    if (m_pid <= 0)
        return false;
    int status = 0;
    pid_t done = ::waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid)
    {
        m_status = status;
        m_endingSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        m_pid = -m_pid;
        return false;
    }
    return done == 0;
}

int ChildProcess::Wait(int timeoutMs)
{
    if (!WaitUntil([this] { return !Running(); }, timeoutMs))
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &m_status, 0);
        m_pid = -m_pid;
        return -1;
    }
    return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
}

} // namespace tarvell::test
