#include "app/run_control.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace tarvell
{

std::atomic<int> g_runFlag{1};
std::atomic<int> g_silent{0};

namespace
{
std::mutex g_stopLock;
std::condition_variable g_stopWake;
} // namespace

void RequestStop()
{
    {
        std::lock_guard lock(g_stopLock);
        g_runFlag.store(0);
    }
    g_stopWake.notify_all();
}

void ResetRunFlagForTest()
{
    std::lock_guard lock(g_stopLock);
    g_runFlag.store(1);
}

bool WaitUnlessStopped(std::chrono::milliseconds pause)
{
    std::unique_lock lock(g_stopLock);
    return g_stopWake.wait_for(lock, pause, [] { return g_runFlag.load() == 0; });
}

std::chrono::milliseconds CRetryPause::AttemptFailed()
{
    m_next = m_next.count() == 0 ? kFirst : std::min(m_next * 2, kLongest);
    return m_next;
}

} // namespace tarvell
