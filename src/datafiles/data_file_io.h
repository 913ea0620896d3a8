#pragma once
// Low-level writing of data files: positioned writes that either complete or report, and the
// on-disk form of samples. Any thread.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_system.h" // WriteAt

namespace tarvell
{

// The size of the open file, or -1.
std::int64_t FileSizeOf(int fd);

// Cuts the open file back to size, as it was before a write that did not complete.
void TruncateTo(int fd, std::int64_t size);

// True when path is a directory.
bool IsDirectory(const std::string& path);

// Writes count samples as IEEE 754 single-precision values in little-endian byte order,
// 4 bytes each, to out.
void EncodeSamples(const float* samples, int count, unsigned char* out);

} // namespace tarvell
