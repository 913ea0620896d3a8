#include "status/observability.h"

#include <algorithm>
#include <cstdint>

#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/process_limits.h"
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

namespace
{

// The status server keeps at most an eighth of the process's descriptors, two per connection
// at worst (an open one and one being closed to make room): the archive keeps the rest for
// its links, files, database and event log.
int ConnectionsWithinShare(int configured)
{
    const std::uint64_t descriptors = DescriptorSoftLimit();
    const std::uint64_t share = descriptors / 8 > 1 ? (descriptors / 8 - 1) / 2 : 1;
    return static_cast<int>(std::max<std::uint64_t>(
        1, std::min<std::uint64_t>(static_cast<std::uint64_t>(configured), share)));
}

} // namespace

bool CObservability::Start(const std::string& iniPath, std::string* error)
{
    Metrics().process.startTime.store(EpochSecondsNow(), std::memory_order_relaxed);
    if (!ReadStatusSettings(iniPath, &m_settings, error))
        return false;
    if (!m_settings.serverEnabled)
        return true;
    std::string token;
    if (!ReadStatusToken(m_settings, &token, error))
        return false;
    StatusServerLimits limits;
    limits.maxConnections = ConnectionsWithinShare(m_settings.maxConnections);
    limits.requestSeconds = m_settings.requestSeconds;
    if (limits.maxConnections < m_settings.maxConnections)
    {
        LogEvent(FormatText("[STATUS] MAX_CONNECTIONS=%d is more than the share of the %llu "
                            "open files this process may hold: at most %d",
                            m_settings.maxConnections,
                            static_cast<unsigned long long>(DescriptorSoftLimit()),
                            limits.maxConnections));
    }
    m_server = std::make_unique<CStatusServer>();
    if (!m_server->Start(m_settings.host, m_settings.port, limits, token, error))
        return false;
    LogEvent(FormatText("Status server on http://%s:%d/ (at most %d connections, a request "
                        "within %d s, %s)",
                        m_settings.host.c_str(), m_server->Port(), limits.maxConnections,
                        limits.requestSeconds,
                        token.empty() ? "no token" : "token of [STATUS] TOKEN_FILE"));
    if (token.empty() && !m_server->OnLoopback())
    {
        LogAndTell(LogSeverity::Warning,
                   FormatText("Warning: the status server on %s:%d can be reached from other "
                              "machines and asks for no token: anyone who reaches it reads the "
                              "state of the archive. Name a token file in [STATUS] TOKEN_FILE, "
                              "or listen on 127.0.0.1",
                              m_settings.host.c_str(), m_server->Port()));
    }
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
