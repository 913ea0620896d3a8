#include "datafiles/data_file_io.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tarvell
{

void EncodeSamples(const float* samples, int count, unsigned char* out)
{
    static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);
    const std::size_t bytes = static_cast<std::size_t>(count) * 4;
    if constexpr (std::endian::native == std::endian::little)
    {
        std::memcpy(out, samples, bytes);
    }
    else
    {
        for (int i = 0; i < count; ++i)
        {
            std::uint32_t bits = std::bit_cast<std::uint32_t>(samples[i]);
            for (int b = 0; b < 4; ++b)
                *out++ = static_cast<unsigned char>(bits >> (8 * b));
        }
    }
}

} // namespace tarvell
