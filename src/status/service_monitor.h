#pragma once
// The monitor thread of the running program: once a second (more often when the service
// manager's watchdog asks for it) it runs the stall watchdog, tells the service manager the
// status line when it changed, and pings the service manager's watchdog while every
// acquisition thread makes progress. Start and Stop on the main thread.

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "status/stall_watchdog.h"

namespace tarvell
{

class CServiceMonitor
{
public:
    CServiceMonitor(int stallSeconds, bool stallReconnect);
    ~CServiceMonitor(); // stops the thread
    CServiceMonitor(const CServiceMonitor&) = delete;
    CServiceMonitor& operator=(const CServiceMonitor&) = delete;

    // Tells the service manager the program is ready ("READY=1" with the status line) and
    // starts the thread.
    void Start();

    // Ends the thread (waits for it).
    void Stop();

private:
    void Run();
    void Tick(double watchdogLimit, bool* pinging);

    CStallWatchdog m_stall;
    std::string m_lastStatus;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false; // guarded by m_lock
    std::thread m_thread;
};

} // namespace tarvell
