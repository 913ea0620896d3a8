#pragma once
// File-system calls with the semantics the program relies on: a file is opened, written and
// closed within one call unless the caller holds its descriptor (platform/held_file.h),
// writes either complete or report, and nothing half-made stays behind. Only this layer talks to
// the operating system about files. Below the data root (platform/confined_paths.h) no call follows
// a symbolic link: it fails with ELOOP, or, for a status, reports the link itself (FileSizeAt gives
// -1 with ELOOP). Any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace tarvell
{

// Opens path like openat(2) with O_CLOEXEC (mode for O_CREAT). Below the confined directory
// (platform/confined_paths.h, the data root) every step is opened without following a
// symbolic link, the last one too: a link gives ELOOP. An empty owner with errno set on
// failure.
UniqueFd OpenFile(const std::string& path, int flags, unsigned mode = 0);

// Creates one directory level with default permissions. True when it was made or something
// of that name exists already; false with errno set when it cannot be made (a caller that
// does not look finds out at its next open in it).
bool MakeDirectory(const std::string& path);

// True when something (file or directory) exists at path (its status can be read).
bool PathExists(const std::string& path);

// True when path is a directory.
bool IsDirectory(const std::string& path);

// The size of the file at path, or -1 (errno set) when its status cannot be read.
std::int64_t FileSizeAt(const std::string& path);

// Which file a path names: its device and inode. Two paths with the same identity are one
// file; a file removed and made again under its name has another.
struct FileIdentity
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    explicit operator bool() const { return inode != 0; }
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file at path; empty (errno set) when its status cannot be read.
FileIdentity FileIdentityAt(const std::string& path);

// The size of the open file, or -1.
std::int64_t FileSizeOf(int fd);

// Writes all size bytes at the file position of fd, going on after interrupted and partial
// writes. False on failure, with errno set (ENOSPC when the disk took nothing more).
bool WriteFully(int fd, const void* data, std::size_t size);

// Writes all size bytes at offset, leaving the file position alone; otherwise as WriteFully.
bool WriteAt(int fd, std::int64_t offset, const void* data, std::size_t size);

// Reads up to size bytes at offset; the number read (short at the end of the file), or -1.
std::int64_t ReadAt(int fd, std::int64_t offset, void* data, std::size_t size);

// Cuts the open file back to size, as it was before a write that did not complete. errno is
// kept as the caller's write left it.
void TruncateTo(int fd, std::int64_t size);

// Cuts the file at path to size; false (errno set) when it cannot be opened or cut.
bool TruncateFile(const std::string& path, std::int64_t size);

// Removes the file at path; false with errno set when it cannot (ENOENT: it is not there).
bool RemoveFile(const std::string& path);

// Renames the file at from to to (replacing a file there); false with errno set when it
// cannot.
bool RenameFile(const std::string& from, const std::string& to);

// The same, made durable before they return true: the cut file synced, the directory of
// the removed or renamed file synced (both directories of a rename). Until then a power cut
// may bring back the bytes cut or the file removed, after their rows were changed to match.
bool CutFileDurably(const std::string& path, std::int64_t size);
bool RemoveFileDurably(const std::string& path);
bool RenameFileDurably(const std::string& from, const std::string& to);

// Makes the file at path exclusively (an existing file is never touched: false with EEXIST)
// of size bytes, every one fill, and syncs it. A file that cannot be made whole is removed
// again, so a short file never passes for a finished one; false with errno set then.
bool CreateFilledFile(const std::string& path, std::int64_t size, char fill);

// Forces the data of the file at path to the disk (fdatasync). false with errno set when it
// cannot be opened (ENOENT: it is gone) or the disk reports an error: then the bytes written
// since the last sync may not be there.
bool SyncFile(const std::string& path);

// A file to make durable: its path, a descriptor of it already open (-1: the path is
// opened), and which file was written (empty: whichever the path names). A file removed
// since it was opened, or no longer the one written, counts as gone (ENOENT).
struct FileToSync
{
    std::string path;
    int fd = -1;
    FileIdentity identity;
};

// SyncFile for a file that may be open already.
bool SyncFile(const FileToSync& file);

// Forces the data of files to the disk as SyncFile does each, with one flush of the disk for
// all of them: each file's pages are written out and waited for (a file's own error is its
// own), then one sync of each file system they lie on (syncfs) makes them durable with their
// sizes. Returns, per file, 0 or the errno of its failure; a file system that fails its sync
// fails every file on it.
std::vector<int> SyncFilesTogether(const std::vector<FileToSync>& files);

// Forces the entries of the directory at path (new and renamed files) to the disk.
bool SyncDirectory(const std::string& path);

// The names in the directory at path, without "." and ".."; empty when it cannot be read.
std::vector<std::string> ListDirectory(const std::string& path);

} // namespace tarvell
