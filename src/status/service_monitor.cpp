#include "status/service_monitor.h"

#include <algorithm>
#include <chrono>

#include "log/event_log.h"
#include "metrics/thread_progress.h"
#include "platform/clock.h"
#include "platform/service_notify.h"
#include "platform/text_format.h"
#include "status/status_snapshot.h"

namespace tarvell
{

CServiceMonitor::CServiceMonitor(int stallSeconds, bool stallReconnect)
    : m_stall(stallSeconds, stallReconnect)
{
}

CServiceMonitor::~CServiceMonitor()
{
    Stop();
}

void CServiceMonitor::Start()
{
    m_lastStatus = StatusSummary(TakeStatusSnapshot(EpochSecondsNow(), SnapshotDepth::Summary));
    NotifyServiceManager("READY=1\nSTATUS=" + m_lastStatus);
    m_thread = std::thread([this] { Run(); });
}

void CServiceMonitor::Stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void CServiceMonitor::Run()
{
    // The service manager restarts the program when no ping comes within its interval; a
    // thread busy for half of it is taken as hung (a chunk's write and statements take
    // milliseconds), and pings go out three times per interval.
    const double watchdogSeconds = static_cast<double>(ServiceWatchdogMicroseconds()) / 1e6;
    const double watchdogLimit = watchdogSeconds / 2;
    const double tick = watchdogSeconds > 0 ? std::min(1.0, watchdogSeconds / 3) : 1.0;
    bool pinging = true;
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_wake.wait_for(lock, std::chrono::duration<double>(tick), [this] { return m_stop; }))
    {
        lock.unlock();
        Tick(watchdogLimit, &pinging);
        lock.lock();
    }
}

void CServiceMonitor::Tick(double watchdogLimit, bool* pinging)
{
    m_stall.Check(EpochSecondsNow());
    const std::string status =
        StatusSummary(TakeStatusSnapshot(EpochSecondsNow(), SnapshotDepth::Summary));
    std::string message;
    if (status != m_lastStatus)
    {
        m_lastStatus = status;
        message = "STATUS=" + status;
    }
    if (watchdogLimit > 0)
    {
        const double busy = LongestBusySeconds();
        const bool healthy = busy < watchdogLimit;
        if (healthy != *pinging)
        {
            LogEvent(healthy ? std::string("Acquisition makes progress again: watchdog pings "
                                           "resume")
                             : FormatText("An acquisition thread has been busy for %.0f s: "
                                          "watchdog pings stop",
                                          busy));
            *pinging = healthy;
        }
        if (healthy)
            message += message.empty() ? "WATCHDOG=1" : "\nWATCHDOG=1";
    }
    if (!message.empty())
        NotifyServiceManager(message);
}

} // namespace tarvell
