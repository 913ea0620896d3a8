#include "app/application.h"

#include <csignal>
#include <cstdio>
#include <mutex>

#include "app/acquisition.h"
#include "app/acquisition_gate.h"
#include "app/channel_rows.h"
#include "app/command_line.h"
#include "app/headless_view.h"
#include "app/instance_lock.h"
#include "app/process_protection.h"
#include "app/run_control.h"
#include "config/load_groups.h"
#include "config/loop_files.h"
#include "config/station_groups.h"
#include "datafiles/archive_recovery.h"
#include "datafiles/channel_ini.h"
#include "db/connection.h"
#include "db/db_settings.h"
#include "log/event_log.h"
#include "platform/command_signals.h"
#include "platform/ini_profile.h"
#include "platform/operator_view.h"
#include "platform/program_paths.h"
#include "platform/text.h"
#include "status/observability.h"

namespace tarvell
{
namespace
{

// Reloads come from the main thread (SIGHUP) or from the threads that wait for the
// configuration program; they replace g_groups, so they run one at a time, and none runs
// once the orderly stop has begun to write out and join.
std::mutex g_reloadLock;
bool g_reloadsEnded = false; // guarded by g_reloadLock

void SetReloadsEnded(bool ended)
{
    std::lock_guard lock(g_reloadLock);
    g_reloadsEnded = ended;
}

// A start-up failure: the operator reads it in a message box (stderr headless) and the log.
int StartFailed(const std::string& text)
{
    OperatorView().ShowMessage("", text, MessageIcon::Error, true);
    return 1;
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
    AcquisitionGate().Pause();
    // The buffered samples belong to the records about to be replaced; write and commit them
    // first, and keep where every channel's data end: the INI holds only whole seconds.
    FlushAllChannels();
    const ChannelEnds ends = KeepChannelEnds();
    ClearGroups();
    LoadGroups();
    ReadAcquisitionSettings();
    LoadMissingResumeTimes();
    RestoreChannelEnds(ends);
    // Still paused: no update of the new rows can come before the rows themselves.
    OperatorView().SetChannelRows(ChannelRows(false));
    AcquisitionGate().Resume();
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

    CObservability observability;
    std::string statusError;
    if (!observability.Start(g_iniPath, &statusError))
        return StartFailed(statusError);

    LoadGroups();
    ReadAcquisitionSettings();
    if (const std::string note = DataRootNote(); !note.empty())
        LogEvent(note);
    PrepareLoopFiles(g_waveRoot);
    ApplyMode();
    // Resume points are found before the links are built, so that the first request asks
    // every channel from where its data end in the archive.
    ResetChannelState();
    RecoverArchiveEnds();
    OperatorView().SetChannelRows(ChannelRows(true));
    front.Starting();
    StartAcquisition();
    observability.Running();

    front.RunUntilStop();

    front.Stopping();
    observability.Stopping();
    SetReloadsEnded(true); // waits for a reload that is running
    StopAcquisition();
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
