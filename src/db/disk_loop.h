#pragma once
// The disk loop of a station: its time-named files, bounded by SIZEMB. Any thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvell
{

// The computed size in bytes of the station's time-named files (TQTY x SPS x 4 + 512 per
// FILELIST row with creator 'DUVODIZEREVE' and TQTY > 0); 0 when the query fails.
std::uint64_t DiskLoopSize(std::string_view station);

// What one purge found and did: the loop's computed size after it, and the files (rows)
// it took away.
struct PurgeOutcome
{
    std::uint64_t size = 0;
    int filesPurged = 0;
};

// When the station's loop has reached limit bytes, deletes its oldest time-named files
// (any channel, oldest TBEGIN first) from disk and FILELIST until it is below the limit.
// Loop-file segment rows and loop files are never touched; a row whose path would lead
// outside the data root is never deleted from disk.
//
// The size is asked from the database (DiskLoopSize) at the station's first purge, again
// whenever what the program knows of it reaches the limit, and at least once an hour;
// between two queries it is what the database said plus what the program registered since
// (DiskLoopGrew), so the cost of a purge that deletes nothing does not grow with the
// station's rows. The database stays the judge of every deletion.
PurgeOutcome PurgeDiskLoop(std::string_view station, std::uint64_t limit);

// The program registered bytes more of the station's time-named files (a new file's 512 and
// its samples, or the samples appended to one).
void DiskLoopGrew(std::string_view station, std::uint64_t bytes);

// Forgets every size known between queries (tests, and after the rows were changed behind
// the program's back).
void ForgetDiskLoopSizes();

// True when relativePath, taken under the data root, stays inside it: not empty, not
// absolute, no ".." step. A row whose path does not is never followed on disk.
bool StaysInsideDataRoot(std::string_view relativePath);

// Deletes the FILELIST rows whose CPATH is relativePath; false (logged) on failure.
bool DeleteFileRow(std::string_view relativePath);

} // namespace tarvell
