#include "app/application.h"

#include <csignal>
#include <cstdio>

#include <pthread.h>

#include "app/acquisition.h"
#include "app/acquisition_gate.h"
#include "app/command_line.h"
#include "app/headless_view.h"
#include "app/instance_lock.h"
#include "app/run_control.h"
#include "config/load_groups.h"
#include "config/loop_files.h"
#include "config/station_groups.h"
#include "db/connection.h"
#include "db/db_settings.h"
#include "log/event_log.h"
#include "platform/ini_profile.h"
#include "platform/operator_view.h"
#include "platform/program_paths.h"
#include "platform/text.h"
#include "status/observability.h"

namespace tarvell
{
namespace
{

// The signals the main thread takes as commands. They are blocked in every thread (the
// acquisition threads inherit the mask) and taken with sigwait, so a command never
// interrupts a write.
sigset_t CommandSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    return signals;
}

// A start-up failure: the operator reads it on stderr and in the event log.
int StartFailed(const std::string& text)
{
    OperatorView().ShowMessage("", text, MessageIcon::Error, true);
    return 1;
}

// [SYSTEM] MODE: "SILENT" sets silent mode, "DETAIL" clears it, anything else leaves it.
void ApplyMode()
{
    std::string mode = ToUpperAscii(ReadProfileString(g_iniPath, "SYSTEM", "MODE", "SILENT", 15));
    if (mode == "SILENT")
        g_silent.store(1);
    else if (mode == "DETAIL")
        g_silent.store(0);
}

} // namespace

std::string ResolveIniPath(const CommandLine& line)
{
    return line.iniPath.empty() ? IniPathForExecutable(ExecutablePath()) : line.iniPath;
}

void ReloadGroups()
{
    AcquisitionGate().Pause();
    // The buffered samples belong to the records about to be replaced; write them first.
    FlushAllChannels();
    ClearGroups();
    LoadGroups();
    LoadMissingResumeTimes();
    AcquisitionGate().Resume();
}

int RunHeadless(const CommandLine& line, const std::vector<std::string>& arguments)
{
    const sigset_t signals = CommandSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A server that goes away while we send must fail the send, not end the program.
    std::signal(SIGPIPE, SIG_IGN);

    CHeadlessView view;
    SetOperatorView(&view);

    g_iniPath = ResolveIniPath(line);
    InitLog(g_iniPath);

    CInstanceLock lock;
    std::string lockError;
    if (!lock.Acquire(g_iniPath, &lockError))
        return StartFailed("TARVELL not started: " + lockError);

    LogEvent("TARVELL started...");

    CDbSettings settings(arguments);
    if (!DbOpen(settings))
        return StartFailed("KDX database open error");

    CObservability observability;
    std::string statusError;
    if (!observability.Start(g_iniPath, &statusError))
        return StartFailed(statusError);

    LoadGroups();
    PrepareLoopFiles();
    ApplyMode();
    // Resume times are loaded before the links are built, so that the first request asks
    // every channel from where its data end on disk.
    ResetChannelState();
    StartAcquisition();
    observability.Running();

    for (;;)
    {
        int received = 0;
        if (sigwait(&signals, &received) != 0)
            continue;
        if (received == SIGHUP)
        {
            LogEvent("Configuration reload");
            ReloadGroups();
            continue;
        }
        break;
    }

    observability.Stopping();
    StopAcquisition();
    LogEvent("TARVELL stopped...");
    SetOperatorView(nullptr);
    return 0;
}

} // namespace tarvell
