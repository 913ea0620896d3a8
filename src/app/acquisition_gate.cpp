#include "app/acquisition_gate.h"

#include "app/run_control.h"

namespace tarvell
{

bool CAcquisitionGate::Enter(const std::atomic<int>* run)
{
    auto stopped = [run] { return g_runFlag.load() == 0 || (run != nullptr && run->load() == 0); };
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [this, &stopped] { return m_pauses == 0 || stopped(); });
    if (stopped())
        return false;
    ++m_inside;
    return true;
}

bool CAcquisitionGate::TryEnter()
{
    std::lock_guard lock(m_lock);
    if (m_pauses != 0 || g_runFlag.load() == 0)
        return false;
    ++m_inside;
    return true;
}

void CAcquisitionGate::Leave()
{
    {
        std::lock_guard lock(m_lock);
        --m_inside;
    }
    m_changed.notify_all();
}

void CAcquisitionGate::Pause()
{
    std::unique_lock lock(m_lock);
    ++m_pauses;
    m_changed.wait(lock, [this] { return m_inside == 0; });
}

void CAcquisitionGate::Resume()
{
    {
        std::lock_guard lock(m_lock);
        if (m_pauses > 0)
            --m_pauses;
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
    std::lock_guard lock(m_lock);
    return m_pauses > 0;
}

CAcquisitionGate& AcquisitionGate()
{
    static CAcquisitionGate gate;
    return gate;
}

} // namespace tarvell
