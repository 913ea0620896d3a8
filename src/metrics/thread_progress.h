#pragma once
// Whether the acquisition threads make progress, for the service manager's watchdog: a
// thread marks itself busy while it handles a packet (merging, writing a chunk, its
// database statements) and idle while it waits for data or for the next attempt, so a
// thread that hangs in a write or a statement shows as busy for ever longer. Any thread.

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace tarvell
{

// One thread's mark: the steady-clock seconds since which it is busy, 0 while idle.
class CThreadProgress
{
public:
    void Busy();
    void Idle() { m_busySince.store(0, std::memory_order_relaxed); }
    // Seconds the thread has been busy at now (steady seconds); 0 while idle.
    double BusySeconds(double now) const;

private:
    std::atomic<double> m_busySince{0};
};

// Marks the thread busy for one scope.
class CBusyScope
{
public:
    explicit CBusyScope(CThreadProgress& progress) : m_progress(progress) { m_progress.Busy(); }
    ~CBusyScope() { m_progress.Idle(); }
    CBusyScope(const CBusyScope&) = delete;
    CBusyScope& operator=(const CBusyScope&) = delete;

private:
    CThreadProgress& m_progress;
};

// A new mark for a thread that starts; kept until the process ends.
std::shared_ptr<CThreadProgress> RegisterThreadProgress();

// The longest time any registered thread has been busy, in seconds (0 when all are idle).
double LongestBusySeconds();

// Seconds of the steady clock (for BusySeconds).
double SteadySeconds();

} // namespace tarvell
