#include "app/application.h"

#include <csignal>
#include <cstdio>
#include <mutex>

#include "app/acquisition.h"
#include "app/fleet.h"
#include "app/acquisition_gate.h"
#include "app/channel_rows.h"
#include "app/command_line.h"
#include "app/headless_view.h"
#include "app/instance_lock.h"
#include "app/process_protection.h"
#include "app/run_control.h"
#include "config/config_check.h"
#include "config/load_groups.h"
#include "config/loop_files.h"
#include "config/station_groups.h"
#include "datafiles/channel_ini.h"
#include "db/connection.h"
#include "db/db_settings.h"
#include "db/fleet_tables.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/command_signals.h"
#include "platform/ini_profile.h"
#include "platform/machine_checks.h"
#include "platform/operator_view.h"
#include "platform/program_paths.h"
#include "platform/service_notify.h"
#include "platform/text.h"
#include "platform/text_format.h"
#include "status/observability.h"

namespace tarvell
{
namespace
{

// Reloads come from the main thread (SIGHUP) or from the threads that wait for the
// configuration program; they apply a new configuration, so they run one at a time, and none
// runs once the orderly stop has begun to write out and join.
std::mutex g_reloadLock;
bool g_reloadsEnded = false; // guarded by g_reloadLock
CFleet* g_fleet = nullptr;   // the running program's; guarded by g_reloadLock

void SetReloadsEnded(bool ended)
{
    std::lock_guard lock(g_reloadLock);
    g_reloadsEnded = ended;
}

// A start-up failure: the operator reads it in a message box (stderr headless) and the log;
// the service manager shows it as the unit's status line.
int StartFailed(const std::string& text)
{
    OperatorView().ShowMessage("", text, MessageIcon::Error, true);
    (void)NotifyServiceManager("STATUS=" + text);
    return 1;
}

// Why a configuration gives nothing to acquire, for the line of a start that fails.
std::string NothingToAcquire(const CConfiguration& config)
{
    if (ParseLeadingInteger(ReadProfileString(config.iniPath, "SYSTEM", "GROUPS", "0", 16)) <= 0)
        return "[SYSTEM] GROUPS is missing or 0";
    if (config.groups.empty())
        return "no [GROUP<n>] section names a STATION";
    return "no channel of its groups can be acquired (the lines before say why for each)";
}

// Installs a view for one scope: on every way out of start-up the view is taken away again
// before the front that owns it goes.
class CViewInstalled
{
public:
    explicit CViewInstalled(IOperatorView& view) { SetOperatorView(&view); }
    ~CViewInstalled() { SetOperatorView(nullptr); }
    CViewInstalled(const CViewInstalled&) = delete;
    CViewInstalled& operator=(const CViewInstalled&) = delete;
};

// Without a window: the command signals are the stop command and the reload.
class CHeadlessFront final : public IProgramFront
{
public:
    IOperatorView& View() override { return m_view; }
    bool Unattended() const override { return true; }

    void RunUntilStop() override
    {
        while (WaitForCommandSignal() == CommandSignal::Reload)
        {
            LogEvent("Configuration reload");
            ReloadGroups();
        }
    }

private:
    CHeadlessView m_view;
};

// What the configuration in force leaves out, for /status and --status.
void NoteNotAcquired(const CConfiguration& config)
{
    Metrics().process.channelsNotAcquired.store(config.channelsNotAcquired,
                                                std::memory_order_relaxed);
}

} // namespace

std::string ResolveIniPath(const CommandLine& line)
{
    return line.iniPath.empty() ? IniPathForExecutable(ExecutablePath()) : line.iniPath;
}

void ApplyMode()
{
    std::string mode = ToUpperAscii(ReadProfileString(g_iniPath, "SYSTEM", "MODE", "SILENT", 15));
    if (mode == "SILENT")
        g_silent.store(1);
    else if (mode == "DETAIL")
        g_silent.store(0);
}

bool ReloadGroups()
{
    std::lock_guard lock(g_reloadLock);
    if (g_reloadsEnded)
        return false;
    std::shared_ptr<const CConfiguration> config = LoadGroups(g_iniPath, g_waveRoot);
    // What --check-config rejects is not applied: the running configuration stays.
    const std::vector<std::string> problems = ConfigurationProblems(*config);
    if (!problems.empty())
    {
        LogEvent(FormatText("Configuration not applied, the running one stays: %zu problems "
                            "(tarvell --check-config lists them); the first: %s",
                            problems.size(), problems.front().c_str()));
        return false;
    }
    ReadAcquisitionSettings();
    ApplyMode();
    NoteNotAcquired(*config);
    PrepareLoopFiles(*config);
    if (g_fleet != nullptr)
        g_fleet->Apply(config);
    OperatorView().SetChannelRows(ChannelRows(*config));
    return true;
}

int RunProgram(const CommandLine& line, IProgramFront& front)
{
    BlockCommandSignals();
    // A server that goes away while we send must fail the send, not end the program; a write
    // beyond a file-size limit must fail the write, so that the chunk is asked for again.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    CViewInstalled installed(front.View());
    SetReloadsEnded(false);

    g_iniPath = ResolveIniPath(line);
    // Before the log: a mistyped --ini would otherwise make a log directory from the
    // defaults, and the service would run with nothing to do.
    if (front.Unattended())
    {
        if (const std::string why = FileReadProblem(g_iniPath); !why.empty())
            return StartFailed("TARVELL not started: the program INI " + g_iniPath +
                               " cannot be read: " + why);
    }
    InitLog(g_iniPath);

    CInstanceLock lock;
    std::string lockError;
    if (!lock.Acquire(g_iniPath, &lockError))
        return StartFailed("TARVELL not started: " + lockError);

    LogStartOfRun("TARVELL started...");
    LogProcessProtection();

    CDbSettings settings(line.settingsArguments);
    if (!DbOpen(settings))
        return StartFailed("KDX database open error");
    // A database that takes no row would refuse every file later, one channel at a time; its
    // message (SQLite's "attempt to write a readonly database") is the cause to name.
    std::string unwritable;
    if (!EnsureFleetTables(&unwritable) || !(unwritable = DatabaseWriteProblem()).empty())
        return StartFailed("TARVELL not started: the KDX database (ODBC " + g_dsn + ", user " +
                           g_dbUser + ") cannot be written: " + unwritable);

    CObservability observability;
    std::string statusError;
    if (!observability.Start(g_iniPath, &statusError))
        return StartFailed(statusError);

    std::shared_ptr<const CConfiguration> config = LoadGroups(g_iniPath, g_waveRoot);
    if (front.Unattended() && config->ChannelCount() == 0)
        return StartFailed("TARVELL not started: nothing to acquire in " + g_iniPath + ": " +
                           NothingToAcquire(*config));
    ReadAcquisitionSettings();
    NoteNotAcquired(*config);
    if (const std::string note = DataRootNote(*config); !note.empty())
        LogEvent(note);
    PrepareLoopFiles(*config);
    ApplyMode();
    OperatorView().SetChannelRows(ChannelRows(*config));
    front.Starting();
    // The links this instance may hold are taken first; then every channel's resume point is
    // found in the archive (and what a crash left repaired) before its link's thread starts,
    // so that the first request asks from where its data end.
    CAcquisition acquisition;
    CFleet fleet(ReadFleetSettings(g_iniPath), acquisition);
    if (!fleet.Start(std::move(config)))
        return StartFailed("TARVELL not started: the fleet's tables are missing from the KDX "
                           "database and cannot be made (see the event log)");
    {
        std::lock_guard reloads(g_reloadLock);
        g_fleet = &fleet;
    }
    observability.Running();

    front.RunUntilStop();

    front.Stopping();
    observability.Stopping();
    SetReloadsEnded(true); // waits for a reload that is running
    {
        std::lock_guard reloads(g_reloadLock);
        g_fleet = nullptr;
    }
    fleet.Stop();
    LogEvent("TARVELL stopped...");
    return 0;
}

int RunHeadless(const CommandLine& line)
{
    // A service's operator reads its journal: the lines that mean trouble go there too.
    SetJournalEcho(true);
    CHeadlessFront front;
    return RunProgram(line, front);
}

} // namespace tarvell
