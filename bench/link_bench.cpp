// The server link's speed: decoding difference-coded samples beside a plain memcpy of the
// same coded bytes in the same run (so the ratio does not depend on the machine), the
// uncompressed byte-swapping path, and packets per second from xfer-sim to the client over
// loopback (the server in this process, as fast as it can send).

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include "link/packet_decoding.h"
#include "link/transfer_request.h"
#include "link/transfer_session.h"
#include "platform/unique_fd.h"
#include "sim_encoder.h"
#include "sim_server.h"

namespace
{

using namespace tarvell;

// A packet body as a server sends it: the most samples of a seismic-like random walk (mostly
// one- and two-byte differences) that fit its 1024 coded bytes.
struct PreparedPacket
{
    std::vector<unsigned char> body;
    int samples = 0;
    int codedBytes = 0;
    std::unique_ptr<ServerConfig> config;
};

PreparedPacket Prepare(int compression, bool swapped)
{
    sim::EncodingOptions options;
    options.compression = compression;
    options.wordSize = 4;
    options.swapped = swapped;
    std::mt19937 random(7);
    std::normal_distribution<double> step(0.0, 60.0);
    std::vector<std::int32_t> walk(1024);
    double value = 0.0;
    for (std::int32_t& sample : walk)
        sample = static_cast<std::int32_t>(value += step(random));

    PreparedPacket prepared;
    const std::vector<unsigned char> message =
        sim::EncodePacket(0, 0, 1158300277500000, 0, walk, options, &prepared.samples);
    prepared.body.assign(message.begin() + 4, message.end());
    prepared.codedBytes = static_cast<int>(prepared.body.size()) - 26;
    sim::ConfigEntryStation station{"STA1", {{"BHZ", "", 10000}}};
    const std::vector<unsigned char> config = sim::EncodeConfig({station}, options);
    prepared.config = std::make_unique<ServerConfig>();
    (void)DecodeConfig(config.data() + 4, config.size() - 4, *prepared.config);
    return prepared;
}

void BM_DifferenceDecoding(benchmark::State& state)
{
    const PreparedPacket prepared = Prepare(1, false);
    auto raw = std::make_unique<RawPacket>();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(
            DecodePacket(*prepared.config, *raw, prepared.body.data(), prepared.body.size()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * prepared.samples);
    state.SetBytesProcessed(state.iterations() * prepared.codedBytes);
    state.counters["samples/packet"] = prepared.samples;
}
BENCHMARK(BM_DifferenceDecoding);

// The floor: copying the same coded bytes that hold the same samples.
void BM_MemcpyOfTheCodedBytes(benchmark::State& state)
{
    const PreparedPacket prepared = Prepare(1, false);
    auto raw = std::make_unique<RawPacket>();
    const unsigned char* coded = prepared.body.data() + 26;
    for (auto _ : state)
    {
        std::memcpy(raw->Bytes(), coded, static_cast<std::size_t>(prepared.codedBytes));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * prepared.samples);
    state.SetBytesProcessed(state.iterations() * prepared.codedBytes);
}
BENCHMARK(BM_MemcpyOfTheCodedBytes);

void BM_UncompressedSwapped(benchmark::State& state)
{
    const PreparedPacket prepared = Prepare(0, true);
    auto raw = std::make_unique<RawPacket>();
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(
            DecodePacket(*prepared.config, *raw, prepared.body.data(), prepared.body.size()));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * prepared.samples);
}
BENCHMARK(BM_UncompressedSwapped);

// Packets per second from xfer-sim to the client: framing, waits, decoding and conversion,
// over a loopback TCP connection with the program's socket buffers.
void BM_LoopbackPackets(benchmark::State& state)
{
    sim::SimCatalog catalog;
    std::string error;
    sim::AddSynthetic(catalog, "STA1:BHZ:100:1158300000", 1158300000000000, &error);
    sim::SimOptions options;
    options.port = 0;
    std::FILE* quiet = std::fopen("/dev/null", "w");
    sim::CSimLog log(quiet);
    sim::CSimServer server(std::move(catalog), options, log);
    if (!server.Start(&error))
    {
        state.SkipWithError(error.c_str());
        return;
    }
    auto request = std::make_unique<TransferRequest>();
    request->clientId = static_cast<int>(::getpid());
    request->stationCount = 1;
    std::strcpy(request->stations[0].name, "STA1");
    request->stations[0].channelCount = 1;
    std::strcpy(request->stations[0].channels[0].name, "BHZ");
    auto config = std::make_unique<ServerConfig>();
    auto raw = std::make_unique<RawPacket>();
    auto packet = std::make_unique<WaveformPacket>();
    CLinkConnection link;
    UniqueFd socket(ConnectServer(link, "127.0.0.1", server.Port(), *request, *config, 1));
    if (!socket)
    {
        state.SkipWithError("cannot connect to xfer-sim");
        return;
    }
    std::int64_t samples = 0;
    for (auto _ : state)
    {
        if (RecvPacket(link, socket.Get(), *config, *raw) != 0 ||
            ConvertPacket(*config, *raw, *packet).Failed())
        {
            state.SkipWithError("the stream failed");
            break;
        }
        samples += packet->count;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["samples/s"] =
        benchmark::Counter(static_cast<double>(samples), benchmark::Counter::kIsRate);
    socket.Reset();
    server.Stop();
    std::fclose(quiet);
}
BENCHMARK(BM_LoopbackPackets)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
