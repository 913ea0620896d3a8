#pragma once
// What the running program tells beyond its event log: the status server (when [STATUS]
// LISTEN names an address), the stall watchdog, and the service manager's readiness,
// status line, watchdog and stop. Main thread only.

#include <memory>
#include <string>

#include "status/status_settings.h"

namespace tarvell
{

class CServiceMonitor;
class CStatusServer;

class CObservability
{
public:
    CObservability();
    ~CObservability(); // Stopping, if not done
    CObservability(const CObservability&) = delete;
    CObservability& operator=(const CObservability&) = delete;

    // Reads the settings of iniPath and starts the status server when one is configured.
    // Returns false with *error (a clear message for the operator) for a bad [STATUS]
    // LISTEN, an address that cannot be bound, or a [STATUS] TOKEN_FILE that cannot be used;
    // the program must not start then.
    bool Start(const std::string& iniPath, std::string* error);

    // After the acquisition threads started: readiness, then the monitor thread.
    void Running();

    // At the stop command, before acquisition stops: "STOPPING=1", then the monitor and the
    // status server end.
    void Stopping();

private:
    StatusSettings m_settings;
    std::unique_ptr<CStatusServer> m_server;
    std::unique_ptr<CServiceMonitor> m_monitor;
};

} // namespace tarvell
