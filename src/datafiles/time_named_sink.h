#pragma once
// Time-named data files on disk: creating a file with its header and first chunk, and
// appending a chunk. The name of a file is the channel writer's. A written file's descriptor
// is kept in a CHeldFile when the bound of held files allows, for the next chunk and the
// commit's sync; its identity is returned for a take-back. Any thread, each for its own files.

#include <cstddef>
#include <cstdint>
#include <string>

#include "datafiles/file_header.h"
#include "platform/held_file.h"

namespace tarvell
{

enum class SinkResult
{
    Written, // every byte is in the file
    Gone,    // the file is not there (the disk-loop purge took it): it cannot take the chunk
    Changed, // the file is not as it was left (another program changed it): the same
    Taken,   // (create only) a file of that name exists already and is left alone
    Failed,  // the bytes could not be written (the error is returned): nothing of them stays
};

// Appends size bytes to the file at path (through file->held when that is open), which must
// have exactly expectedSize bytes, those kept back in file->kept included: a file another
// program shortened, lengthened or removed would make its row and header disagree with its
// data, so it is left alone (Gone, Changed; what was kept back for it is dropped). With keep,
// the bytes may be kept back in file->kept (held files only) for the commit or a larger
// write. A failed write of kept bytes makes every later append Failed with its error.
SinkResult AppendToDataFile(const std::string& path, std::int64_t expectedSize, const void* bytes,
                            std::size_t size, bool keep, WrittenFile* file, int* error);

// Makes the file at path exclusively (a file of that name, whoever left it, is never
// overwritten: Taken) and writes the header and size sample bytes. A file that cannot be
// written whole is removed again.
SinkResult CreateDataFile(const std::string& path, const FileHeader& header, const void* samples,
                          std::size_t size, WrittenFile* file, int* error);

} // namespace tarvell
