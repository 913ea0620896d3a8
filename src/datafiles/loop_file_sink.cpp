#include "datafiles/loop_file_sink.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>

#include "platform/file_system.h"
#include "platform/unique_fd.h"

namespace tarvell
{

bool WriteLoopSamples(const std::string& path, std::int64_t position, const void* bytes,
                      std::size_t size, std::int64_t* sizeBefore, int* error)
{
    *sizeBefore = -1;
    UniqueFd fd = OpenFile(path, O_WRONLY);
    if (!fd)
    {
        *error = errno;
        return false;
    }
    *sizeBefore = FileSizeOf(fd.Get());
    const std::int64_t end = position + static_cast<std::int64_t>(size);
    if (!WriteAt(fd.Get(), position, bytes, size))
    {
        *error = errno;
        if (*sizeBefore >= 0 && end > *sizeBefore)
            TruncateTo(fd.Get(), std::max<std::int64_t>(*sizeBefore, kHeaderSize));
        return false;
    }
    if (!fd.Close())
    {
        *error = errno;
        return false;
    }
    return true;
}

bool WriteLoopHeader(const std::string& path, const FileHeader& header, int* error)
{
    UniqueFd fd = OpenFile(path, O_WRONLY);
    if (!fd || !WriteAt(fd.Get(), 0, header.data(), header.size()) || !fd.Close())
    {
        *error = errno;
        return false;
    }
    return true;
}

} // namespace tarvell
