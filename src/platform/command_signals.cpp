#include "platform/command_signals.h"

#include <csignal>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace tarvell
{
namespace
{

sigset_t CommandSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    return signals;
}

CommandSignal CommandOf(int signal)
{
    return signal == SIGHUP ? CommandSignal::Reload : CommandSignal::Stop;
}

} // namespace

void BlockCommandSignals()
{
    const sigset_t signals = CommandSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

CommandSignal WaitForCommandSignal()
{
    const sigset_t signals = CommandSignals();
    int received = 0;
    while (sigwait(&signals, &received) != 0)
    {
    }
    return CommandOf(received);
}

CCommandSignalFd::CCommandSignalFd()
{
    const sigset_t signals = CommandSignals();
    m_fd.Reset(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
}

std::optional<CommandSignal> CCommandSignalFd::Read()
{
    signalfd_siginfo info{};
    if (!m_fd || ::read(m_fd.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return std::nullopt;
    return CommandOf(static_cast<int>(info.ssi_signo));
}

} // namespace tarvell
