#include "app/configurator.h"

#include <atomic>
#include <thread>

#include "app/acquisition_gate.h"
#include "app/application.h"
#include "platform/process_launch.h"
#include "platform/program_paths.h"

namespace tarvell
{
namespace
{

std::atomic<int> g_reloadsInFlight{0};

// The thread is not joined: the exit command may end the program while the configuration
// program is still open, and the thread then waits for an end that never comes.
void StartReloadThread(int processId)
{
    g_reloadsInFlight.fetch_add(1);
    std::thread(
        [processId]
        {
            // Paused from the launch on: the configuration program may rewrite the INI file
            // while acquisition would read it, and the reload must not meet a packet.
            AcquisitionGate().Pause();
            if (processId > 0)
                WaitForProgramEnd(processId);
            ReloadGroups();
            AcquisitionGate().Resume();
            g_reloadsInFlight.fetch_sub(1);
        })
        .detach();
}

} // namespace

std::string FindConfigurator()
{
    return FindExecutable(kConfiguratorName, DirectoryOf(ExecutablePath()));
}

bool LaunchConfigurator()
{
    const std::string path = FindConfigurator();
    if (path.empty())
        return false;
    const int processId = StartProgram(path);
    if (processId < 0)
        return false;
    StartReloadThread(processId);
    return true;
}

void ReloadInBackground()
{
    StartReloadThread(0);
}

int ReloadsInFlight()
{
    return g_reloadsInFlight.load();
}

} // namespace tarvell
