// tarvell: feeds the KDX waveform archive from near-real-time waveform servers.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/check_config.h"
#include "app/command_line.h"
#include "app/process_protection.h"
#include "status/status_client.h"
#include "status/status_snapshot.h"

#ifdef TARVELL_WITH_QT
#include "ui/window_mode.h"
#endif

namespace
{

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

int main(int argc, char** argv)
{
    using namespace tarvell;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    HidePasswordArguments(argc, argv);
    const CommandLine line = ParseCommandLine(arguments);
    if (!line.error.empty())
    {
        std::fprintf(stderr, "tarvell: %s\n\n%s", line.error.c_str(), UsageText());
        return 2;
    }
    if (line.help)
    {
        std::fputs(UsageText(), stdout);
        return 0;
    }
    if (line.version)
    {
        // The version the status server, the metrics and the package carry.
        std::printf("TARVELL Version %s\n", BuildVersion());
        return 0;
    }
    // Before a password or a token is read: no core file may hold them.
    ProtectProcess(ResolveIniPath(line));
    if (line.status)
        return PrintStatus(ResolveIniPath(line), line.json, stdout, stderr);
    if (line.checkConfig)
        return CheckConfig(line, stdout);
#ifdef TARVELL_WITH_QT
    if (UseWindow(line, true, Environment("DISPLAY"), Environment("WAYLAND_DISPLAY")))
        return RunWithWindow(line, argv[0]);
#endif
    return RunHeadless(line);
}
