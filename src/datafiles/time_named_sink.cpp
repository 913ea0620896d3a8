#include "datafiles/time_named_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>

#include "platform/file_system.h"
#include "platform/unique_fd.h"

namespace tarvell
{

SinkResult AppendToDataFile(const std::string& path, std::int64_t expectedSize, const void* bytes,
                            std::size_t size, int* error)
{
    UniqueFd fd = OpenFile(path, O_WRONLY);
    if (!fd)
    {
        *error = errno;
        return errno == ENOENT ? SinkResult::Gone : SinkResult::Failed;
    }
    const std::int64_t found = FileSizeOf(fd.Get());
    if (found != expectedSize)
    {
        *error = static_cast<int>(std::min<std::int64_t>(found, INT32_MAX));
        return SinkResult::Changed;
    }
    if (!WriteAt(fd.Get(), expectedSize, bytes, size))
    {
        *error = errno;
        TruncateTo(fd.Get(), expectedSize);
        return SinkResult::Failed;
    }
    if (!fd.Close())
    {
        // The data may not have reached the disk: take them back.
        *error = errno;
        (void)TruncateFile(path, expectedSize);
        return SinkResult::Failed;
    }
    return SinkResult::Written;
}

SinkResult CreateDataFile(const std::string& path, const FileHeader& header, const void* samples,
                          std::size_t size, int* error)
{
    UniqueFd fd = OpenFile(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!fd)
    {
        *error = errno;
        return errno == EEXIST ? SinkResult::Taken : SinkResult::Failed;
    }
    bool written = WriteAt(fd.Get(), 0, header.data(), header.size()) &&
                   WriteAt(fd.Get(), static_cast<std::int64_t>(header.size()), samples, size);
    *error = errno;
    if (written && !fd.Close())
    {
        written = false;
        *error = errno;
    }
    if (!written)
    {
        // The file is ours (made exclusively above): nothing half-written stays behind.
        fd.Reset();
        (void)RemoveFile(path);
        return SinkResult::Failed;
    }
    return SinkResult::Written;
}

} // namespace tarvell
