// INI reads per second on a 100-group program INI, answered from the parse cache and parsed
// anew each time. The data-file side reads the INI several times per chunk, so the cached
// figure is the one that matters.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "platform/ini_profile.h"

namespace
{

std::string MakeHundredGroupIni()
{
    static std::string path;
    if (!path.empty())
        return path;
    char pattern[] = "/tmp/tarvell-bench-XXXXXX.ini";
    int fd = ::mkstemps(pattern, 4);
    std::FILE* out = ::fdopen(fd, "w");
    std::fprintf(out, "[SYSTEM]\nGROUPS=100\nSERVER=localhost\nPORT=14002\n\n");
    for (int g = 1; g <= 100; ++g)
    {
        std::fprintf(out,
                     "[GROUP%d]\nSTATION=ST%03d\nCHAN=BHZ,BHN,BHE\nSIZEMB=100\nFILELENGTH(MIN)=60\n"
                     "FILE_BHZ=\nBHZ=1796648744\nBHN=1796648744\nBHE=1796648744\n\n",
                     g, g);
    }
    std::fclose(out);
    path = pattern;
    return path;
}

void BM_IniReadCached(benchmark::State& state)
{
    const std::string ini = MakeHundredGroupIni();
    tarvell::ClearProfileCache();
    int g = 0;
    for (auto _ : state)
    {
        std::string section = "GROUP" + std::to_string(g++ % 100 + 1);
        benchmark::DoNotOptimize(tarvell::ReadProfileString(ini, section, "STATION", "", 7));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IniReadCached);

void BM_IniReadUncached(benchmark::State& state)
{
    const std::string ini = MakeHundredGroupIni();
    int g = 0;
    for (auto _ : state)
    {
        tarvell::ClearProfileCache();
        std::string section = "GROUP" + std::to_string(g++ % 100 + 1);
        benchmark::DoNotOptimize(tarvell::ReadProfileString(ini, section, "STATION", "", 7));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IniReadUncached);

void BM_IniWriteResumeTime(benchmark::State& state)
{
    const std::string ini = MakeHundredGroupIni();
    long value = 1796648744;
    for (auto _ : state)
    {
        bool ok = tarvell::WriteProfileString(ini, "GROUP50", "BHZ", std::to_string(value++));
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IniWriteResumeTime);

} // namespace

BENCHMARK_MAIN();
