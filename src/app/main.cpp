// tarvell: feeds the KDX waveform archive from near-real-time waveform servers.

#include <cstdio>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/check_config.h"
#include "app/command_line.h"
#include "status/status_client.h"

int main(int argc, char** argv)
{
    using namespace tarvell;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
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
        std::puts("TARVELL Version 1.0");
        return 0;
    }
    if (line.status)
        return PrintStatus(ResolveIniPath(line), line.json, stdout, stderr);
    if (line.checkConfig)
        return CheckConfig(line, arguments, stdout);
    // There is no operator window in this build: the program always runs as a service.
    return RunHeadless(line, arguments);
}
