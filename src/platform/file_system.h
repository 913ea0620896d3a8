#pragma once
// File-system helpers with the semantics the program relies on. Any thread.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvell
{

// Creates one directory level with default permissions. An existing directory, or one that
// cannot be made, is not reported: a later open in it fails and reports instead.
void MakeDirectory(const std::string& path);

// True when something (file or directory) exists at path (its status can be read).
bool PathExists(const std::string& path);

// Writes all size bytes at the file position of fd, going on after interrupted and partial
// writes. False on failure, with errno set (ENOSPC when the disk took nothing more).
bool WriteFully(int fd, const void* data, std::size_t size);

// Writes all size bytes at offset, leaving the file position alone; otherwise as WriteFully.
bool WriteAt(int fd, std::int64_t offset, const void* data, std::size_t size);

} // namespace tarvell
