#pragma once
// The FILELIST rows of loop-file segments: each contiguous stretch of samples written into a
// loop file is one row, identified by station, channel, the file's path (CPATH, "/" in place
// of every "\") and its byte offset FOFF. Any thread (the acquisition threads, for their own
// channels).

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvell
{

struct LoopSegment
{
    bool ok = false;         // the query succeeded (with or without a row)
    std::int64_t offset = 0; // FOFF of the latest segment; 0: none
    double sampleRate = 0;   // its SPS
    double duration = 0;     // its TQTY, seconds
};

// The segment of the loop file with the greatest TBEGIN. offset 0 when there is none or the
// query fails (ok tells which); no message either way.
LoopSegment LastLoopSegment(std::string_view station, std::string_view channel,
                            std::string_view path);

// Sets the duration of the segment at offset and its load date. A row that does not exist is
// no failure. A failure shows the update message box (the caller waits) and returns false.
bool ExtendLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                       std::int64_t offset, double duration);

// Inserts a new segment at position. With wrapped set, first deletes the segments whose FOFF
// lies from position up to position + sampleRate x 14400 (one hour of samples); a failing
// delete shows its message box and nothing is inserted. A failing insert shows its message
// box. Returns true when the segment was inserted.
bool AddLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                    double begin, double duration, double sampleRate, double calib, double calper,
                    std::int64_t position, bool wrapped);

// Deletes the segments of the loop file, other than the one at keepOffset, whose bytes
// (FOFF up to FOFF + TQTY x SPS x 4) meet the bytes from begin up to end that are about to be
// overwritten, so that no row describes samples that are no longer there. A failure shows the
// delete message box and returns false.
bool DeleteOverwrittenSegments(std::string_view station, std::string_view channel,
                               std::string_view path, std::int64_t begin, std::int64_t end,
                               std::int64_t keepOffset);

// The condition "STA='…' and CH='…' and CPATH='…'" of the loop file's segment rows.
std::string LoopSegmentCondition(std::string_view station, std::string_view channel,
                                 std::string_view path);

} // namespace tarvell
