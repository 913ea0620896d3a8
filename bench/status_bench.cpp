// What one answer of the status server costs the program: the snapshot of every channel's
// counters and its Prometheus text (/metrics) or JSON (/status), for 200 and 3072 channels
// (without the HTTP exchange; bench/status_overhead.sh measures the whole scrape).

#include <string>

#include <benchmark/benchmark.h>

#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/text_format.h"
#include "status/prometheus_text.h"
#include "status/status_json.h"
#include "status/status_snapshot.h"

namespace
{

using namespace tarvell;

// Registers channels of 64 per station on one link, each with a packet and a chunk.
void Register(int channels)
{
    static int registered = 0;
    const CLinkCounters* link = Metrics().Link("127.0.0.1", 14002).get();
    const double now = EpochSecondsNow();
    for (; registered < channels; ++registered)
    {
        auto counters = Metrics().Channel(FormatText("ST%02d", registered / 64),
                                          FormatText("C%03d", registered % 64));
        counters->link.store(link);
        counters->PacketReceived(now - 1, now, 0.01, 100, 1200, now);
        counters->ChunkCommitted(1, 4900, "ST00/13/07122026-130455-C001.ST00");
    }
}

void BM_MetricsText(benchmark::State& state)
{
    Register(static_cast<int>(state.range(0)));
    for (auto _ : state)
    {
        const std::string text =
            PrometheusText(TakeStatusSnapshot(EpochSecondsNow(), SnapshotDepth::Numbers));
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_MetricsText)->Arg(200)->Arg(3072)->Unit(benchmark::kMicrosecond);

void BM_StatusJson(benchmark::State& state)
{
    Register(static_cast<int>(state.range(0)));
    for (auto _ : state)
    {
        const std::string text = StatusJson(TakeStatusSnapshot(EpochSecondsNow()));
        benchmark::DoNotOptimize(text.data());
    }
}
BENCHMARK(BM_StatusJson)->Arg(200)->Arg(3072)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
