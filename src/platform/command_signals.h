#pragma once
// The signals that are commands to the program: SIGTERM and SIGINT stop it, SIGHUP says the
// configuration has changed. They are blocked in every thread and taken on the main thread
// only, so a command never interrupts a write. Main thread only.

#include <optional>

#include "platform/unique_fd.h"

namespace tarvell
{

enum class CommandSignal
{
    Stop,   // SIGTERM, SIGINT
    Reload, // SIGHUP
};

// Blocks the command signals in the calling thread; threads started afterwards inherit the
// mask. Call it before any other thread exists (a window toolkit starts threads of its own).
void BlockCommandSignals();

// Waits until a command signal arrives.
CommandSignal WaitForCommandSignal();

// A descriptor that becomes readable while a command signal is pending, for an event loop.
class CCommandSignalFd
{
public:
    // Opens the descriptor; the signals must be blocked already (BlockCommandSignals).
    CCommandSignalFd();

    // -1 when the descriptor could not be made (the signals then stay blocked and unused).
    int Fd() const { return m_fd.Get(); }

    // The pending command, or nothing when none is pending.
    std::optional<CommandSignal> Read();

private:
    UniqueFd m_fd;
};

} // namespace tarvell
