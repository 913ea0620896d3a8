#pragma once
// The configuration program: its launch from the tray menu, and the reload of the groups
// when it has ended. The launch runs on the user-interface thread; the wait and the reload
// run on a thread of their own, so the window stays responsive meanwhile.

#include <string>

namespace tarvell
{

// The file name of the configuration program, looked for in the program's own directory,
// then on PATH.
inline constexpr char kConfiguratorName[] = "IniTarvell";

// Where the configuration program is: empty when it is in neither place.
std::string FindConfigurator();

// Starts the configuration program. False when it cannot be found or started: nothing is
// paused then. Otherwise a reload thread pauses acquisition at once, waits for the program
// to end, reloads the groups (ReloadGroups) and resumes; several runs at a time count their
// pauses, so acquisition resumes when the last of them has reloaded.
bool LaunchConfigurator();

// The reload thread without a configuration program (SIGHUP while the window runs): reloads
// the groups without making the caller wait.
void ReloadInBackground();

// Reload threads that have not finished yet. Any thread.
int ReloadsInFlight();

} // namespace tarvell
