// tarvell: feeds the KDX waveform archive from near-real-time waveform servers.

#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"

int main(int argc, char** argv)
{
    using namespace tarvell;
    const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
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
    std::fputs(UsageText(), stderr);
    return 2;
}
