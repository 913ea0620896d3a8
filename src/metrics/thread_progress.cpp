#include "metrics/thread_progress.h"

#include <algorithm>
#include <chrono>

#include "platform/clock.h"

namespace tarvell
{
namespace
{
std::mutex g_progressLock;
std::vector<std::shared_ptr<CThreadProgress>> g_progress; // guarded by g_progressLock
} // namespace

double SteadySeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void CThreadProgress::Busy()
{
    // Marked for every packet, and watched for hangs of seconds: the coarse reading of the
    // same clock does, at a tenth of the cost. 0 means idle, so a busy mark is never 0 even
    // at the clock's origin.
    const double now = std::chrono::duration<double>(SteadyCoarseNow().time_since_epoch()).count();
    m_busySince.store(std::max(now, 1e-9), std::memory_order_relaxed);
}

double CThreadProgress::BusySeconds(double now) const
{
    const double since = m_busySince.load(std::memory_order_relaxed);
    return since == 0 ? 0 : std::max(0.0, now - since);
}

std::shared_ptr<CThreadProgress> RegisterThreadProgress()
{
    std::lock_guard<std::mutex> guard(g_progressLock);
    g_progress.push_back(std::make_shared<CThreadProgress>());
    return g_progress.back();
}

double LongestBusySeconds()
{
    const double now = SteadySeconds();
    std::lock_guard<std::mutex> guard(g_progressLock);
    double longest = 0;
    for (const auto& progress : g_progress)
        longest = std::max(longest, progress->BusySeconds(now));
    return longest;
}

} // namespace tarvell
