#pragma once
// Pausing acquisition while the configuration is reloaded. Acquisition threads enter the
// gate for each packet they handle; a reload pauses the gate, which waits until no thread
// is inside and keeps them out until every pause has been resumed. Any thread.

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace tarvell
{

class CAcquisitionGate
{
public:
    // Waits while acquisition is paused; returns false (without entering) when the stop
    // command comes or run (a link's own run flag, when given) reads 0, true once inside.
    // Every true must be followed by Leave. Whoever clears run calls WakeForStop.
    [[nodiscard]] bool Enter(const std::atomic<int>* run = nullptr);
    // Enters only when acquisition is not paused and not stopped; never waits.
    [[nodiscard]] bool TryEnter();
    void Leave();

    // Counted: acquisition resumes when every Pause has been matched by a Resume. Pause
    // returns once no thread is inside the gate. Pause and its Resume may run on different
    // threads.
    void Pause();
    void Resume();

    // Wakes threads waiting in Enter so that they notice the stop command.
    void WakeForStop();

    // True while a Pause has not been matched by its Resume.
    bool IsPaused();

private:
    // Entering when no pause stands costs two atomic operations and no lock (it happens for
    // every packet of every link): a thread counts itself inside, then looks for a pause; a
    // pause counts itself, then looks for threads inside. Sequentially consistent, so at
    // least one of the two sees the other: the thread steps back out, or the pause waits
    // for it. The lock and the condition serve the waits only.
    bool TryInside();
    bool Stopped(const std::atomic<int>* run) const;

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::atomic<int> m_pauses{0};
    std::atomic<int> m_inside{0};
};

// The gate of the program's acquisition threads.
CAcquisitionGate& AcquisitionGate();

// Enters the gate for one scope.
class CGatePass
{
public:
    explicit CGatePass(CAcquisitionGate& gate, const std::atomic<int>* run = nullptr)
        : m_gate(gate), m_entered(gate.Enter(run))
    {
    }
    // Enters only when that needs no wait (work that can as well be done later).
    CGatePass(CAcquisitionGate& gate, std::try_to_lock_t) : m_gate(gate), m_entered(gate.TryEnter())
    {
    }
    ~CGatePass()
    {
        if (m_entered)
            m_gate.Leave();
    }
    CGatePass(const CGatePass&) = delete;
    CGatePass& operator=(const CGatePass&) = delete;

    explicit operator bool() const { return m_entered; }

private:
    CAcquisitionGate& m_gate;
    bool m_entered;
};

} // namespace tarvell
