#pragma once
// Pre-making the loop files of the channels that write into one: main thread, once, before
// any acquisition thread starts.

#include <string>

namespace tarvell
{

// For every channel of every GROUP<n> section with a STATION whose FILE_<channel> names a
// file that does not exist under dataRoot/<STATION>/ (the station upper-cased, as the data
// files are written), makes that file: SIZEMB x 1048576 bytes (default SIZEMB 1; a value
// that is not a positive number makes an empty file), every byte the character "0", synced,
// and logs "File created (%s)". An existing file is never touched. A file that cannot be made
// is logged and leaves nothing half-made behind. Reads g_iniPath. dataRoot is the one data
// root the settings search chose, where the channel writer looks for loop files and writes
// into them.
void PrepareLoopFiles(const std::string& dataRoot);

} // namespace tarvell
