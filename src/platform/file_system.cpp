#include "platform/file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/confined_paths.h"
#include "platform/power_cut_journal.h"
#include "platform/program_paths.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

// The one write loop: at the file position (offset nullptr) or at *offset, going on after
// interrupted and partial writes.
bool WriteLoop(int fd, const void* data, std::size_t size, std::int64_t* offset)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        ssize_t put = offset ? ::pwrite(fd, bytes, size, static_cast<off_t>(*offset))
                             : ::write(fd, bytes, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
        {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
        if (offset)
            *offset += put;
    }
    return true;
}

bool SyncDescriptor(int fd, bool dataOnly)
{
    for (;;)
    {
        const int result = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
        if (result == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

bool WriteFill(int fd, std::int64_t size, char fill)
{
    constexpr std::size_t kPiece = 1048576;
    std::unique_ptr<char[]> piece(new (std::nothrow) char[kPiece]);
    if (!piece)
    {
        errno = ENOMEM;
        return false;
    }
    std::fill_n(piece.get(), kPiece, fill);
    for (std::int64_t left = size; left > 0;)
    {
        const std::size_t now = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(kPiece)));
        if (!WriteFully(fd, piece.get(), now))
            return false;
        left -= static_cast<std::int64_t>(now);
    }
    return true;
}

} // namespace

UniqueFd OpenFile(const std::string& path, int flags, unsigned mode)
{
    return OpenConfined(path, flags, mode);
}

bool MakeDirectory(const std::string& path)
{
    PathAt at;
    if (!ResolvePath(path, &at))
        return false;
    return ::mkdirat(at.Directory(), at.name.c_str(), 0777) == 0 || errno == EEXIST;
}

namespace
{

// The status of path; below the confined directory, of a link itself, never its target.
bool StatusOf(const std::string& path, struct stat* st)
{
    PathAt at;
    if (!ResolvePath(path, &at))
        return false;
    return ::fstatat(at.Directory(), at.name.c_str(), st, at.confined ? AT_SYMLINK_NOFOLLOW : 0) ==
           0;
}

} // namespace

bool PathExists(const std::string& path)
{
    struct stat st
    {
    };
    return StatusOf(path, &st);
}

bool IsDirectory(const std::string& path)
{
    struct stat st
    {
    };
    return StatusOf(path, &st) && S_ISDIR(st.st_mode);
}

std::int64_t FileSizeAt(const std::string& path)
{
    struct stat st
    {
    };
    if (!StatusOf(path, &st))
        return -1;
    if (S_ISLNK(st.st_mode))
    {
        errno = ELOOP; // a link below the data root is no data file
        return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
}

FileIdentity FileIdentityAt(const std::string& path)
{
    struct stat st
    {
    };
    if (!StatusOf(path, &st))
        return {};
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

std::int64_t FileSizeOf(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool WriteFully(int fd, const void* data, std::size_t size)
{
    return WriteLoop(fd, data, size, nullptr);
}

bool WriteAt(int fd, std::int64_t offset, const void* data, std::size_t size)
{
    return WriteLoop(fd, data, size, &offset);
}

std::int64_t ReadAt(int fd, std::int64_t offset, void* data, std::size_t size)
{
    auto* bytes = static_cast<char*>(data);
    std::size_t done = 0;
    while (done < size)
    {
        ssize_t got = ::pread(fd, bytes + done, size - done,
                              static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

void TruncateTo(int fd, std::int64_t size)
{
    const int error = errno; // the caller reports the write's error, not ours
    while (::ftruncate(fd, static_cast<off_t>(size)) != 0 && errno == EINTR)
    {
    }
    errno = error;
}

namespace
{

// Cuts the file at path to size, and with durably syncs the cut before closing it.
bool Cut(const std::string& path, std::int64_t size, bool durably)
{
    UniqueFd fd = OpenFile(path, O_WRONLY);
    if (!fd)
        return false;
    if (PowerCutJournalOn())
        JournalCut(path, FileSizeOf(fd.Get()), size);
    int result = 0;
    while ((result = ::ftruncate(fd.Get(), static_cast<off_t>(size))) != 0 && errno == EINTR)
    {
    }
    if (result != 0)
        return false;
    if (durably)
    {
        if (!SyncDescriptor(fd.Get(), true))
            return false;
        JournalSync(path);
    }
    return fd.Close();
}

} // namespace

bool TruncateFile(const std::string& path, std::int64_t size)
{
    return Cut(path, size, false);
}

bool CutFileDurably(const std::string& path, std::int64_t size)
{
    return Cut(path, size, true);
}

bool RemoveFile(const std::string& path)
{
    PathAt at;
    if (!ResolvePath(path, &at))
        return false;
    JournalRemove(path);
    // unlinkat removes a link itself, never what it points to.
    return ::unlinkat(at.Directory(), at.name.c_str(), 0) == 0;
}

bool RemoveFileDurably(const std::string& path)
{
    return RemoveFile(path) && SyncDirectory(DirectoryOf(path));
}

bool RenameFile(const std::string& from, const std::string& to)
{
    PathAt source;
    PathAt target;
    if (!ResolvePath(from, &source) || !ResolvePath(to, &target))
        return false;
    if (::renameat(source.Directory(), source.name.c_str(), target.Directory(),
                   target.name.c_str()) != 0)
        return false;
    JournalRename(from, to);
    return true;
}

bool RenameFileDurably(const std::string& from, const std::string& to)
{
    return RenameFile(from, to) && SyncDirectory(DirectoryOf(to)) &&
           (DirectoryOf(from) == DirectoryOf(to) || SyncDirectory(DirectoryOf(from)));
}

bool CreateFilledFile(const std::string& path, std::int64_t size, char fill)
{
    UniqueFd fd = OpenFile(path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!fd)
        return false;
    bool ok = WriteFill(fd.Get(), size, fill) && SyncDescriptor(fd.Get(), true);
    int error = errno;
    if (ok && !fd.Close())
    {
        ok = false;
        error = errno;
    }
    if (!ok)
    {
        fd.Reset();
        (void)RemoveFile(path);
        errno = error;
    }
    return ok;
}

bool SyncFile(const std::string& path)
{
    return SyncFile(FileToSync{path, -1});
}

namespace
{

// The descriptor to sync file through: its own, else one opened by its path into opened. A
// descriptor opened for reading syncs the file's data like any other on Linux, and needs no
// write permission on a file that only has to be made durable. -1 with errno set when the
// path cannot be opened.
int DescriptorToSync(const FileToSync& file, UniqueFd& opened)
{
    if (file.fd >= 0)
        return file.fd;
    opened = OpenFile(file.path, O_RDONLY);
    return opened.Get();
}

// The file synced is still the one written under its name: a held descriptor syncs its
// file even after the file was removed, and a path may name another file by now (one renamed
// over it). Either way the file written is gone as surely as one whose path no longer opens.
bool StillNamed(const FileToSync& file, const struct stat& st)
{
    const FileIdentity found{static_cast<std::uint64_t>(st.st_dev),
                             static_cast<std::uint64_t>(st.st_ino)};
    if (st.st_nlink > 0 && (!file.identity || found == file.identity))
        return true;
    errno = ENOENT;
    return false;
}

} // namespace

bool SyncFile(const FileToSync& file)
{
    UniqueFd opened;
    const int fd = DescriptorToSync(file, opened);
    struct stat st
    {
    };
    if (fd < 0 || !SyncDescriptor(fd, true) || ::fstat(fd, &st) != 0 || !StillNamed(file, st))
        return false;
    JournalSync(file.path);
    return true;
}

std::vector<int> SyncFilesTogether(const std::vector<FileToSync>& files)
{
    std::vector<int> errors(files.size(), 0);
    struct FileSystem
    {
        int any = -1;                   // a file on it, for syncfs
        std::vector<std::size_t> files; // indexes into files
    };
    std::map<dev_t, FileSystem> systems;
    std::vector<UniqueFd> opened(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
    {
        const int fd = DescriptorToSync(files[i], opened[i]);
        struct stat st
        {
        };
        if (fd < 0 ||
            ::sync_file_range(fd, 0, 0,
                              SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                  SYNC_FILE_RANGE_WAIT_AFTER) != 0 ||
            ::fstat(fd, &st) != 0 || !StillNamed(files[i], st))
        {
            errors[i] = errno;
            continue;
        }
        // Descriptors opened here are closed at once, but for one per file system.
        FileSystem& system = systems[st.st_dev];
        if (system.any < 0)
            system.any = fd;
        else
            opened[i].Reset();
        system.files.push_back(i);
    }
    for (auto& [device, system] : systems)
    {
        int result = 0;
        while ((result = ::syncfs(system.any)) != 0 && errno == EINTR)
        {
        }
        const int error = result == 0 ? 0 : errno;
        for (const std::size_t i : system.files)
        {
            errors[i] = error;
            if (error == 0)
                JournalSync(files[i].path);
        }
    }
    return errors;
}

bool SyncDirectory(const std::string& path)
{
    UniqueFd fd = OpenFile(path, O_RDONLY | O_DIRECTORY);
    if (!fd || !SyncDescriptor(fd.Get(), false))
        return false;
    JournalDirectorySync(path);
    return true;
}

std::vector<std::string> ListDirectory(const std::string& path)
{
    std::vector<std::string> names;
    struct CloseDirectory
    {
        void operator()(DIR* directory) const { ::closedir(directory); }
    };
    UniqueFd fd = OpenFile(path, O_RDONLY | O_DIRECTORY);
    std::unique_ptr<DIR, CloseDirectory> directory(fd ? ::fdopendir(fd.Get()) : nullptr);
    if (!directory)
        return names;
    (void)fd.Release(); // the directory stream owns it now
    while (const dirent* entry = ::readdir(directory.get()))
    {
        const std::string name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

} // namespace tarvell
