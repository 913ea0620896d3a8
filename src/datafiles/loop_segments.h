#pragma once
// The FILELIST rows of loop-file segments: each contiguous stretch of samples written into a
// loop file is one row, identified by station, channel, the file's path (CPATH, "/" in place
// of every "\") and its byte offset FOFF (64 bits: rings of 2 GiB and more). Any thread (the
// acquisition threads, for their own channels).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "datafiles/chunk_policy.h"

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

// One segment row as the loop file's writer needs it to shorten it.
struct LoopSegmentRow
{
    SegmentPiece piece;
    double sampleRate = 0;
    double calib = 0;
    double calper = 0;
};

// The segments of the loop file whose bytes (FOFF up to FOFF + TQTY x SPS x 4) meet the bytes
// from begin up to end. *ok is false when the query failed.
std::vector<LoopSegmentRow> SegmentsTouching(std::string_view station, std::string_view channel,
                                             std::string_view path, std::int64_t begin,
                                             std::int64_t end, bool* ok);

// The statements on segment rows. Each gives the same result when it runs twice, so that a
// transaction repeated after a lost connection changes nothing more.
//   extend: the segment at offset gets the duration (and the load date).
//   add:    any row at the segment's offset goes, then the segment's row is inserted.
//   move:   the row at fromOffset becomes the piece (offset, begin and duration).
//   delete: the row at offset goes.
std::string ExtendLoopSegmentStatement(std::string_view station, std::string_view channel,
                                       std::string_view path, std::int64_t offset, double duration);
std::vector<std::string> AddLoopSegmentStatements(std::string_view station,
                                                  std::string_view channel, std::string_view path,
                                                  const SegmentPiece& segment, double sampleRate,
                                                  double calib, double calper);
std::string MoveLoopSegmentStatement(std::string_view station, std::string_view channel,
                                     std::string_view path, std::int64_t fromOffset,
                                     const SegmentPiece& to);
std::string DeleteLoopSegmentStatement(std::string_view station, std::string_view channel,
                                       std::string_view path, std::int64_t offset);

// Runs ExtendLoopSegmentStatement. A row that does not exist is no failure. A failure shows
// the update message box (the caller waits) and returns false.
bool ExtendLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                       std::int64_t offset, double duration);

// Runs AddLoopSegmentStatements in one transaction for a new segment at position. A failure
// shows the insert message box and returns false.
bool AddLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                    double begin, double duration, double sampleRate, double calib, double calper,
                    std::int64_t position);

// The condition "STA='…' and CH='…' and CPATH='…'" of the loop file's segment rows.
std::string LoopSegmentCondition(std::string_view station, std::string_view channel,
                                 std::string_view path);

} // namespace tarvell
