#include "log/limited_log.h"

#include <utility>

#include "log/event_log.h"
#include "platform/text_format.h"

namespace tarvell
{

namespace
{

constexpr std::chrono::seconds kInterval(60);

} // namespace

bool CLimitedLogLine::Log(const std::string& text)
{
    std::int64_t unlogged = 0;
    {
        std::lock_guard lock(m_lock);
        const auto now = std::chrono::steady_clock::now();
        if (m_logged && now - m_last < kInterval)
        {
            ++m_unlogged;
            return false;
        }
        m_logged = true;
        m_last = now;
        unlogged = std::exchange(m_unlogged, 0);
    }
    // Written outside the lock: the event log has its own, and a slow disk must not hold up
    // the threads that only count.
    if (unlogged == 0)
        LogEvent(text + " (more of these are logged at most once a minute)");
    else
        LogEvent(text + FormatText(" (and %lld more since the last such line)",
                                   static_cast<long long>(unlogged)));
    return true;
}

} // namespace tarvell
