#pragma once
// The synthetic signal xfer-sim serves: a pure function of the sample number, so that tests
// can recompute every sample a client should have received. Any thread.

#include <cstdint>

namespace tarvell::sim
{

// Sample k (k = 0 at the channel's start time): a triangle of 2000 samples between -2000
// and 2000, a hashed wobble of -128..127 and a spike of 20000 every 1000th sample. The
// values fit 16 bits; their differences need one to three bytes of difference coding.
inline std::int32_t SyntheticSample(std::int64_t k)
{
    const std::int64_t phase = k % 2000;
    const auto triangle =
        static_cast<std::int32_t>((phase < 1000 ? phase : 2000 - phase) * 4 - 2000);
    const std::uint32_t hash = static_cast<std::uint32_t>(k) * 2654435761u;
    const auto wobble = static_cast<std::int32_t>(hash >> 24) - 128;
    const std::int32_t spike = k % 1000 == 999 ? 20000 : 0;
    return triangle + wobble + spike;
}

} // namespace tarvell::sim
