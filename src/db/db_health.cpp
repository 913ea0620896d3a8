#include "db/db_health.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>

#include "db/connection.h"
#include "db/odbc_private.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kFirstPause{1000};
constexpr std::chrono::milliseconds kLongestPause{30000};

// Read on every statement without a lock; written under g_stateLock.
std::atomic<bool> g_away{false};
// Set while one thread tries to reconnect; the others fail fast meanwhile.
std::atomic<bool> g_attempting{false};

// Guards everything below. Never held while connecting, and never together with the
// connection lock.
std::mutex g_stateLock;
Clock::time_point g_nextAttempt{};
std::chrono::milliseconds g_pause{0};
Clock::time_point g_lostAt{};
bool g_outageDeclared = false; // the unreachable line was written for the current outage
std::string g_reason;          // why the current outage began
std::int64_t g_takenBackInOutage = 0;

void BecomeReachable()
{
    if (!g_away.load())
        return;
    g_away.store(false);
    if (g_outageDeclared)
    {
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - g_lostAt).count();
        LogEvent(FormatText("Database reachable again after %lld s; %lld chunks were requested "
                            "again from the servers",
                            static_cast<long long>(seconds),
                            static_cast<long long>(g_takenBackInOutage)));
    }
    g_outageDeclared = false;
    g_pause = std::chrono::milliseconds(0);
    g_reason.clear();
    NoteDatabaseReachable(true);
}

void AttemptFailed(const OdbcDiagnostic& failure)
{
    g_pause = g_pause.count() == 0 ? kFirstPause : std::min(g_pause * 2, kLongestPause);
    g_nextAttempt = Clock::now() + g_pause;
    if (g_outageDeclared)
        return;
    g_outageDeclared = true;
    NoteDatabaseReachable(false); // the status says so from now on
    g_reason = failure.message.empty() ? "no connection could be made" : failure.message;
    LogEvent("Database unreachable: " + g_reason +
             "; chunks are taken back and requested again from the servers until it is back");
}

} // namespace

bool DbReachable()
{
    return !g_away.load(std::memory_order_acquire);
}

void DbNoteConnectionLost(const std::string& reason)
{
    std::lock_guard lock(g_stateLock);
    if (g_away.load())
        return;
    g_away.store(true);
    g_lostAt = Clock::now();
    g_nextAttempt = g_lostAt;
    g_pause = std::chrono::milliseconds(0);
    g_outageDeclared = false;
    g_takenBackInOutage = 0;
    g_reason = reason;
    LogEvent("Database connection lost: " + reason);
}

bool DbRestore(bool immediately)
{
    if (DbReachable())
        return true;
    {
        std::lock_guard lock(g_stateLock);
        if (!immediately && Clock::now() < g_nextAttempt)
            return false;
    }
    if (g_attempting.exchange(true))
        return false;

    OdbcDiagnostic failure;
    std::unique_ptr<COdbcConnection> fresh = MakeConnection(&failure);
    const bool connected = fresh != nullptr;
    std::unique_ptr<COdbcConnection> previous;
    if (connected)
    {
        CDbOperation operation;
        previous = InstallSharedConnection(std::move(fresh));
    }
    previous.reset(); // a dead connection is let go outside the connection lock
    {
        std::lock_guard lock(g_stateLock);
        if (connected)
        {
            BecomeReachable();
            LogEvent("Reconnected to database. ODBC: " + g_dsn + "  USER: " + g_dbUser);
        }
        else
        {
            AttemptFailed(failure);
        }
    }
    g_attempting.store(false);
    return connected;
}

void DbNoteConnected()
{
    std::lock_guard lock(g_stateLock);
    BecomeReachable();
    NoteDatabaseReachable(true);
}

void DbCountTakenBackChunk()
{
    std::lock_guard lock(g_stateLock);
    if (g_away.load())
        ++g_takenBackInOutage;
}

void ResetDbHealthForTest()
{
    std::lock_guard lock(g_stateLock);
    g_away.store(false);
    g_outageDeclared = false;
    g_pause = std::chrono::milliseconds(0);
    g_reason.clear();
}

} // namespace tarvell
