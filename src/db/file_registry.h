#pragma once
// FILELIST rows of time-named data files, and the sampling rates of SITECHAN.
// Any thread (acquisition threads register and update; configuration loading looks up).

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_access.h"

namespace tarvell
{

// What a time-named file's row says: the file relative to the data root, its station and
// channel, its first sample, its length and the values of its samples.
struct FileRowValues
{
    std::string_view relativePath;
    std::string_view station;
    std::string_view channel;
    double begin = 0;
    double seconds = 0;
    double sampleRate = 0;
    int gain = 1;
    int dataType = 3; // FLOAT samples
    double calib = 0;
    double calper = 0;
};

// The statements that register a new time-named file: delete every FILELIST row of its path
// (any creator), then insert its row with creator 'DUVODIZEREVE' and FOFF 512. Backslashes in
// the path are stored as "/". Run twice, they leave the same one row.
std::vector<std::string> RegisterFileStatements(const FileRowValues& row);

// The statement that brings the row of a file that grew up to date: its begin, length and
// load date. Matching no row changes nothing.
std::string UpdateFileRowStatement(std::string_view relativePath, std::string_view station,
                                   double begin, double seconds, std::string_view channel);

// Registers a new time-named file: RegisterFileStatements in one transaction, so that a crash
// or a failure never leaves the path without its row when it had one. A failure the database
// reports shows its message box and is logged; returns false then.
bool RegisterFile(std::string_view relativePath, std::string_view station, double begin,
                  double seconds, double sampleRate, int gain, int dataType,
                  std::string_view channel, double calib, double calper);

// The statement that brings the rows of several files that grew up to date at once, each as
// UpdateFileRowStatement would with the path, station, channel, begin and length of its
// values (the others are not touched): under a latency bound a commit updates a row per
// channel, and a statement for each would be most of its cost.
std::string UpdateFileRowsStatement(std::span<const FileRowValues> rows);

// How many rows UpdateFileRowsStatement should be given at most: its form on the connected
// database costs less per row with more rows up to about that many (bench_db,
// BM_RowUpdatesOfACommit).
std::size_t FileRowsPerStatement();

// Runs UpdateFileRowStatement. A failure the database reports shows its message box; returns
// false then.
bool UpdateFileRow(std::string_view relativePath, std::string_view station, double begin,
                   double seconds, std::string_view channel);

// The sampling rate of (station, channel) in SITECHAN; 0 when there is no row, the rate is
// null, or the statement fails (statement failures are logged).
double LookupSampleRate(std::string_view station, std::string_view channel);

} // namespace tarvell
