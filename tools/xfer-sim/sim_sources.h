#pragma once
// The data xfer-sim serves: synthetic channels and channels read from miniSEED files.
// Built on the main thread before the server starts; read-only afterwards (any thread).

#include <cstdint>
#include <string>
#include <vector>

namespace tarvell::sim
{

// A run of consecutive samples starting at one time (one miniSEED record).
struct SimSegment
{
    std::int64_t startUs = 0;
    std::vector<std::int32_t> samples;
};

struct SimChannel
{
    std::string station;
    std::string channel;
    std::string auxName;
    std::uint32_t intervalUs = 0;
    bool synthetic = false;
    // Synthetic: sample k lies at startUs + k x intervalUs; sampleCount < 0 means endless.
    std::int64_t startUs = 0;
    std::int64_t sampleCount = -1;
    // Recorded: the segments in time order.
    std::vector<SimSegment> segments;

    std::int64_t FirstUs() const;
    std::int64_t LastUs() const; // time of the last sample; far future when endless
};

// Every channel the server has, in the order the configuration lists them.
struct SimCatalog
{
    std::vector<SimChannel> channels;
};

// Adds a synthetic channel from "STA:CHA:RATE[:START[:SECONDS]]" (START epoch seconds or
// "now", default now; SECONDS of data, default endless). nowUs is the start for "now".
// Returns false with *error set for a malformed text.
bool AddSynthetic(SimCatalog& catalog, const std::string& text, std::int64_t nowUs,
                  std::string* error);

// Adds the channels of a miniSEED file (integer, float or double samples; text records are
// skipped). Records of one station and channel become segments of one channel. Returns
// false with *error set when the file cannot be read or holds no samples.
bool AddMiniSeed(SimCatalog& catalog, const std::string& path, std::string* error);

// Checks the catalog against the protocol's limits: names of 1..7 characters, at most 64
// stations of at most 64 channels, a positive interval. Returns false with *error set.
bool CheckCatalog(const SimCatalog& catalog, std::string* error);

} // namespace tarvell::sim
