#pragma once
// Loop files on disk: a chunk written at its ring position, and the header rewritten from
// the file's segment rows. Any thread, each for its own files.

#include <cstddef>
#include <cstdint>
#include <string>

#include "datafiles/file_header.h"

namespace tarvell
{

// Writes size sample bytes at position into the loop file at path (which must exist; the
// file grows when the chunk runs past its end). *sizeBefore gets the file's size before the
// write (-1 when it could not be read). A write that fails leaves a grown file at its old
// size; false with the error then.
bool WriteLoopSamples(const std::string& path, std::int64_t position, const void* bytes,
                      std::size_t size, std::int64_t* sizeBefore, int* error);

// Writes the 512 header bytes at the start of the loop file at path.
bool WriteLoopHeader(const std::string& path, const FileHeader& header, int* error);

} // namespace tarvell
