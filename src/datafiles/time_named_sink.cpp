#include "datafiles/time_named_sink.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

FileIdentity IdentityOf(const struct stat& st)
{
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// After a write through a descriptor opened for it: the descriptor is held for the next
// chunk and the sync when the bound allows, else closed here, and a close that reports an
// error takes the bytes back (they may not have reached the disk).
bool KeepOrClose(UniqueFd& fd, WrittenFile* file, int* error)
{
    if (file->held.Keep(fd))
        return true;
    if (fd.Close())
        return true;
    *error = errno;
    return false;
}

} // namespace

SinkResult AppendToDataFile(const std::string& path, std::int64_t expectedSize, const void* bytes,
                            std::size_t size, bool keep, WrittenFile* file, int* error)
{
    // The file lacks the bytes of a failed write: nothing may follow them.
    if (const int failure = file->kept.Failure(); failure != 0)
    {
        *error = failure;
        return SinkResult::Failed;
    }
    UniqueFd opened;
    if (!file->held)
    {
        opened = OpenFile(path, O_WRONLY);
        if (!opened)
        {
            *error = errno;
            return errno == ENOENT ? SinkResult::Gone : SinkResult::Failed;
        }
    }
    const int fd = opened ? opened.Get() : file->held.Get();
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
    {
        *error = errno;
        return SinkResult::Failed;
    }
    // A held file the disk-loop purge removed since its last chunk has no links left; what
    // was kept back for it would go nowhere.
    if (st.st_nlink == 0)
    {
        file->kept.Drop(0);
        *error = ENOENT;
        return SinkResult::Gone;
    }
    const auto kept = static_cast<std::int64_t>(file->kept.KeptBytes());
    if (st.st_size + kept != expectedSize)
    {
        // Not written into a file another program changed: its chunks are taken back.
        if (kept > 0)
            file->kept.Drop(ESTALE);
        *error = static_cast<int>(std::min<std::int64_t>(st.st_size + kept, INT32_MAX));
        return SinkResult::Changed;
    }
    file->identity = IdentityOf(st);
    if (keep && file->held)
    {
        switch (file->kept.Keep(fd, expectedSize, bytes, size))
        {
        case KeepResult::Kept:
            return SinkResult::Written;
        case KeepResult::Failed:
            *error = file->kept.Failure();
            return SinkResult::Failed;
        case KeepResult::NotKept:
            break;
        }
    }
    if (!WriteAt(fd, expectedSize, bytes, size))
    {
        *error = errno;
        TruncateTo(fd, expectedSize);
        return SinkResult::Failed;
    }
    if (opened && !KeepOrClose(opened, file, error))
    {
        (void)TruncateFile(path, expectedSize);
        return SinkResult::Failed;
    }
    return SinkResult::Written;
}

SinkResult CreateDataFile(const std::string& path, const FileHeader& header, const void* samples,
                          std::size_t size, WrittenFile* file, int* error)
{
    UniqueFd fd = OpenFile(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!fd)
    {
        *error = errno;
        return errno == EEXIST ? SinkResult::Taken : SinkResult::Failed;
    }
    struct stat st
    {
    };
    bool written = WriteAt(fd.Get(), 0, header.data(), header.size()) &&
                   WriteAt(fd.Get(), static_cast<std::int64_t>(header.size()), samples, size) &&
                   ::fstat(fd.Get(), &st) == 0;
    *error = errno;
    if (written)
    {
        file->identity = IdentityOf(st);
        written = KeepOrClose(fd, file, error);
    }
    if (!written)
    {
        // The file is ours (made exclusively above): nothing half-written stays behind.
        fd.Reset();
        file->held = CHeldFile();
        (void)RemoveFile(path);
        return SinkResult::Failed;
    }
    return SinkResult::Written;
}

} // namespace tarvell
