#include "app/acquisition_gate.h"

#include "app/run_control.h"

namespace tarvell
{

bool CAcquisitionGate::Stopped(const std::atomic<int>* run) const
{
    return g_runFlag.load() == 0 || (run != nullptr && run->load() == 0);
}

bool CAcquisitionGate::TryInside()
{
    m_inside.fetch_add(1);
    if (m_pauses.load() == 0)
        return true;
    Leave(); // a pause came first: it must not wait for this thread
    return false;
}

bool CAcquisitionGate::Enter(const std::atomic<int>* run)
{
    if (Stopped(run))
        return false;
    if (TryInside())
        return true;
    // Pauses are counted and resumed under the lock only: while this thread holds it and
    // finds none, none can begin.
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [this, run] { return m_pauses.load() == 0 || Stopped(run); });
    if (Stopped(run))
        return false;
    m_inside.fetch_add(1);
    return true;
}

bool CAcquisitionGate::TryEnter()
{
    return g_runFlag.load() != 0 && TryInside();
}

void CAcquisitionGate::Leave()
{
    // The last thread out wakes a pause that waits for it; taking the lock first makes sure
    // the pause is asleep on the condition, not between its check and its sleep.
    if (m_inside.fetch_sub(1) == 1 && m_pauses.load() > 0)
    {
        {
            std::lock_guard lock(m_lock);
        }
        m_changed.notify_all();
    }
}

void CAcquisitionGate::Pause()
{
    std::unique_lock lock(m_lock);
    m_pauses.fetch_add(1);
    m_changed.wait(lock, [this] { return m_inside.load() == 0; });
}

void CAcquisitionGate::Resume()
{
    {
        std::lock_guard lock(m_lock);
        if (m_pauses.load() > 0)
            m_pauses.fetch_sub(1);
    }
    m_changed.notify_all();
}

void CAcquisitionGate::WakeForStop()
{
    {
        std::lock_guard lock(m_lock);
    }
    m_changed.notify_all();
}

bool CAcquisitionGate::IsPaused()
{
    return m_pauses.load() > 0;
}

CAcquisitionGate& AcquisitionGate()
{
    static CAcquisitionGate gate;
    return gate;
}

} // namespace tarvell
