#include "app/command_line.h"

#include <cctype>
#include <cstddef>

namespace tarvell
{

namespace
{
const char kUsage[] =
    "Usage: tarvell [OPTIONS] [ODBC=dsn [USER=user [PASSWORD=password [DATA=dir]]]]\n"
    "\n"
    "Feeds the KDX waveform archive from near-real-time waveform servers (xfer protocol).\n"
    "\n"
    "Options:\n"
    "  --ini PATH       use PATH as the program INI file (default: the executable's path\n"
    "                   with the extension .ini)\n"
    "  --headless       run without a window (service mode): SIGTERM or SIGINT stop the\n"
    "                   program, SIGHUP reloads the configuration; without a display\n"
    "                   ($DISPLAY and $WAYLAND_DISPLAY empty) the program runs so anyway\n"
    "  --check-config   check the INI file, the database settings, the data root, the\n"
    "                   server names and the status address, print the resolved groups,\n"
    "                   servers, files and resume times, and exit\n"
    "  --status [--json] ask the running program's status server ([STATUS] LISTEN of\n"
    "                   the INI file) and print its channel table (or its JSON); exit\n"
    "                   status 0 when every channel acquired here flows and the\n"
    "                   database is up, 1 when one does not, a server is not connected\n"
    "                   or the data root is unusable, 2 when there is no answer\n"
    "  --help           show this help and exit\n"
    "  --version        show the version and exit\n"
    "\n"
    "The database settings ODBC=, USER=, PASSWORD= and DATA= must come in this order.\n"
    "A password on the command line can be read by other users of this machine: give it\n"
    "in a file ([DATABASE] PASSWORD_FILE) or as the service credential db-password.\n";
} // namespace

const char* UsageText()
{
    return kUsage;
}

bool UseWindow(const CommandLine& line, bool windowBuilt, std::string_view display,
               std::string_view waylandDisplay)
{
    return windowBuilt && !line.headless && (!display.empty() || !waylandDisplay.empty());
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments)
{
    CommandLine line;
    std::size_t i = 0;
    for (; i < arguments.size(); ++i)
    {
        const std::string& argument = arguments[i];
        if (argument == "--")
        {
            ++i;
            break;
        }
        // The settings arguments are KEY=value: anything that begins with '-' is meant as an
        // option ("-h"), and starting the program with it as a setting would only mislead.
        if (argument.empty() || argument[0] != '-')
            break;
        if (argument == "--headless")
            line.headless = true;
        else if (argument == "--check-config")
            line.checkConfig = true;
        else if (argument == "--help")
            line.help = true;
        else if (argument == "--version")
            line.version = true;
        else if (argument == "--status")
            line.status = true;
        else if (argument == "--json")
            line.json = true;
        else if (argument == "--ini" && i + 1 < arguments.size())
            line.iniPath = arguments[++i];
        else if (argument.rfind("--ini=", 0) == 0)
            line.iniPath = argument.substr(6);
        else
        {
            line.error =
                argument == "--ini" ? "option --ini needs a path" : "unknown option " + argument;
            return line;
        }
    }
    line.settingsArguments.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                                  arguments.end());
    return line;
}

void HidePasswordArguments(int argc, char** argv)
{
    static const char kKey[] = "PASSWORD=";
    for (int i = 1; i < argc; ++i)
    {
        char* argument = argv[i];
        std::size_t k = 0;
        while (kKey[k] != '\0' && std::toupper(static_cast<unsigned char>(argument[k])) == kKey[k])
            ++k;
        if (kKey[k] != '\0')
            continue;
        for (char* value = argument + k; *value != '\0'; ++value)
            *value = '*';
    }
}

} // namespace tarvell
