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

// When the station's loop, with the bytes written and not yet registered (DiskLoopWritten)
// and the incoming bytes of the chunk about to be written, has reached limit bytes, deletes
// its oldest time-named files (any channel, oldest TBEGIN first) from disk and FILELIST until
// it is below the limit: so the registered loop never grows past the limit. Loop-file segment
// rows and loop files are never touched; a row whose path would lead outside the data root is
// never deleted from disk.
//
// Before the first deletion of a run, every row of the station is held against its file: a
// row that claims more samples than its file holds (written by an older program that took a
// server's interval for the channel's rate) is shortened to the file, and logged, so that no
// purge ever deletes real files to make room that a row only claims.
//
// The size is asked from the database (DiskLoopSize) at the station's first purge, again
// whenever what the program knows of it reaches the limit, and at least once an hour;
// between two queries it is what the database said plus what the program registered since
// (DiskLoopGrew), so the cost of a purge that deletes nothing does not grow with the
// station's rows. The database stays the judge of every deletion.
PurgeOutcome PurgeDiskLoop(std::string_view station, std::uint64_t limit,
                           std::uint64_t incoming = 0);

// bytes more of the station's time-named files are written and not yet registered (a new
// file's 512 and its samples, or the samples appended to one).
void DiskLoopWritten(std::string_view station, std::uint64_t bytes);

// bytes written before are registered now (what DiskLoopWritten counted, or bytes the
// program registered without counting them before).
void DiskLoopGrew(std::string_view station, std::uint64_t bytes);

// bytes written before were taken back (removed or cut from their files) unregistered.
void DiskLoopTakenBack(std::string_view station, std::uint64_t bytes);

// Forgets every size known between queries (tests, and after the rows were changed behind
// the program's back).
void ForgetDiskLoopSizes();

// Forgets what is known of one station's loop between queries: its channels were archived
// elsewhere (another instance of a fleet held their server) and its rows changed meanwhile.
void ForgetDiskLoopSize(std::string_view station);

// True when relativePath, taken under the data root, stays inside it: not empty, not
// absolute, no ".." step. A row whose path does not is never followed on disk.
bool StaysInsideDataRoot(std::string_view relativePath);

// Deletes the FILELIST rows whose CPATH is relativePath; false (logged) on failure.
bool DeleteFileRow(std::string_view relativePath);

} // namespace tarvell
