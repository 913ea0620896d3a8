#pragma once
// A record of the changes to files and directories that a power cut can undo until they are
// synced: a file cut short comes back whole, a file removed or renamed comes back where it
// was. The tests' power-cut simulator reads it after the process was killed and undoes
// every change that no later sync made durable, as the disk would have. Off unless the
// environment variable TARVELL_POWER_CUT_JOURNAL names a file when the process starts; then
// every change costs a line, a cut also a copy of the bytes cut. Any thread.
//
// Lines, one per change, in the order made (paths as the program used them):
//   T <path>\t<size before>\t<size after>\t<copy>   cut; the bytes cut are in <copy>
//   R <path>\t<copy>                                 removed; <copy> is a link to the file
//   M <from>\t<to>                                   renamed
//   S <path>                                         the file's data synced
//   D <path>                                         the directory's entries synced

#include <cstdint>
#include <string>

namespace tarvell
{

// True when the journal is on.
bool PowerCutJournalOn();

// Before the file at path is cut from sizeBefore to sizeAfter bytes.
void JournalCut(const std::string& path, std::int64_t sizeBefore, std::int64_t sizeAfter);

// Before the file at path is removed.
void JournalRemove(const std::string& path);

// After the file at from was renamed to to.
void JournalRename(const std::string& from, const std::string& to);

// After the data of the file at path, or the entries of the directory at path, were synced.
void JournalSync(const std::string& path);
void JournalDirectorySync(const std::string& path);

} // namespace tarvell
