#pragma once
// Pre-making the loop files of the channels that write into one: the main thread before any
// acquisition thread starts, and the reload thread for the channels a reload adds.

#include "config/station_groups.h"

namespace tarvell
{

// For every channel of config whose FILE_<channel> names a file that does not exist under
// <data root>/<STATION>/ (the one data root of config, where the channel writer looks for
// loop files and writes into them), makes that file: SIZEMB x 1048576 bytes (a value that is
// not a positive number makes an empty file), every byte the character "0", synced, and logs
// "File created (%s)". An existing file is never touched. A file that cannot be made is
// logged and leaves nothing half-made behind.
void PrepareLoopFiles(const CConfiguration& config);

} // namespace tarvell
