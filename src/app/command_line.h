#pragma once
// The program's command line: our own options first (GNU style), then the database settings
// ODBC=, USER=, PASSWORD=, DATA= as the settings search reads them. Main thread only.

#include <string>
#include <string_view>
#include <vector>

namespace tarvell
{

struct CommandLine
{
    std::string iniPath;      // --ini PATH; empty: the executable's own INI
    bool headless = false;    // --headless
    bool checkConfig = false; // --check-config
    bool help = false;        // --help
    bool version = false;     // --version
    bool status = false;      // --status: ask the running program's status server
    bool json = false;        // --json (with --status)
    // The arguments after our options: the only ones the database settings search reads, so
    // that the value of an option (an INI path holding "ODBC=") is never taken as a setting.
    std::vector<std::string> settingsArguments;
    std::string error; // non-empty when the command line is not usable
};

// Reads our options up to the first argument that is not one ("--" ends them too); the
// remaining arguments are the settings arguments.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// Whether the program runs with its window: it was built with one (windowBuilt), --headless
// was not given, and there is a display (display or waylandDisplay, the values of $DISPLAY
// and $WAYLAND_DISPLAY, not empty). Otherwise it runs headless.
bool UseWindow(const CommandLine& line, bool windowBuilt, std::string_view display,
               std::string_view waylandDisplay);

// Overwrites with '*' the value of every argument of argv that starts with "PASSWORD=" (any
// letter case), so that other users who list the processes of the machine no longer see the
// password; the program reads its arguments before (a copy). Main thread, first thing.
void HidePasswordArguments(int argc, char** argv);

// The usage text of --help.
const char* UsageText();

} // namespace tarvell
