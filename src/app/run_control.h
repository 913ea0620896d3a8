#pragma once
// The flags that run and stop acquisition, and the pause of acquisition while the
// configuration is reloaded. Any thread.

#include <atomic>
#include <chrono>

namespace tarvell
{

// The acquisition threads loop while it is not 0; cleared by the stop command only.
extern std::atomic<int> g_runFlag;

// Silent mode: while set, the acquisition threads leave the status line and the list alone.
extern std::atomic<int> g_silent;

// Clears g_runFlag and wakes every thread waiting in WaitUnlessStopped.
void RequestStop();

// Sets g_runFlag again (tests run the program's pieces more than once in one process).
void ResetRunFlagForTest();

// Sleeps for pause, returning early when the stop command comes. True when stopped.
bool WaitUnlessStopped(std::chrono::milliseconds pause);

// The pause before the next connection attempt to a server: none right after a connection
// that worked (the first retry stays immediate), then 1 s, doubling to at most 30 s while the
// server keeps failing (a host that does not resolve or refuses connections must not make a
// thread spin). Owned by one acquisition thread.
class CRetryPause
{
public:
    static constexpr std::chrono::milliseconds kFirst{1000};
    static constexpr std::chrono::milliseconds kLongest{30000};

    // A connection was made (and has now ended): the next attempt is immediate.
    void ConnectionWorked() { m_next = std::chrono::milliseconds(0); }

    // An attempt failed: returns the pause before the next one and lengthens the following.
    std::chrono::milliseconds AttemptFailed();

    // The pause the next attempt would wait (after the last failure).
    std::chrono::milliseconds Current() const { return m_next; }

private:
    std::chrono::milliseconds m_next{0};
};

} // namespace tarvell
