#include "status/observability.h"

#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/service_notify.h"
#include "platform/text_format.h"
#include "status/service_monitor.h"
#include "status/status_server.h"
#include "status/status_snapshot.h"

namespace tarvell
{

CObservability::CObservability() = default;

CObservability::~CObservability()
{
    Stopping();
}

bool CObservability::Start(const std::string& iniPath, std::string* error)
{
    Metrics().process.startTime.store(EpochSecondsNow(), std::memory_order_relaxed);
    if (!ReadStatusSettings(iniPath, &m_settings, error))
        return false;
    if (!m_settings.serverEnabled)
        return true;
    m_server = std::make_unique<CStatusServer>();
    if (!m_server->Start(m_settings.host, m_settings.port, error))
        return false;
    LogEvent(FormatText("Status server on http://%s:%d/ (no authentication: keep it on "
                        "loopback or behind a proxy)",
                        m_settings.host.c_str(), m_server->Port()));
    return true;
}

void CObservability::Running()
{
    m_monitor =
        std::make_unique<CServiceMonitor>(m_settings.stallSeconds, m_settings.stallReconnect);
    m_monitor->Start();
}

void CObservability::Stopping()
{
    if (!m_monitor && !m_server)
        return;
    NotifyServiceManager("STOPPING=1");
    m_monitor.reset();
    m_server.reset();
}

} // namespace tarvell
