#include "datafiles/data_file_io.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace tarvell
{

std::int64_t FileSizeOf(int fd)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

void TruncateTo(int fd, std::int64_t size)
{
    int error = errno; // the caller reports the write's error, not ours
    while (::ftruncate(fd, static_cast<off_t>(size)) != 0 && errno == EINTR)
    {
    }
    errno = error;
}

bool IsDirectory(const std::string& path)
{
    struct stat st = {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

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
