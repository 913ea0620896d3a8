#pragma once
// The program's command line: our own options first (GNU style), then the database settings
// ODBC=, USER=, PASSWORD=, DATA= as the settings search reads them. Main thread only.

#include <string>
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
    std::string settingsTail; // every argument after our options, joined by single blanks
    std::string error;        // non-empty when the command line is not usable
};

// Reads our options up to the first argument that is not one ("--" ends them too); the
// remaining arguments are the settings text.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The usage text of --help.
const char* UsageText();

} // namespace tarvell
