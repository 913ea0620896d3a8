#pragma once
// FILELIST rows of time-named data files, and the sampling rates of SITECHAN.
// Any thread (acquisition threads register and update; configuration loading looks up).

#include <string_view>

namespace tarvell
{

// Registers a new time-named file: deletes every FILELIST row of relativePath (any creator),
// then inserts the file's row with creator 'DUVODIZEREVE' and FOFF 512. Backslashes in the
// path are stored as "/". A failure shows its message box and is logged; returns false then.
bool RegisterFile(std::string_view relativePath, std::string_view station, double begin,
                  double seconds, double sampleRate, int gain, int dataType,
                  std::string_view channel, double calib, double calper);

// Updates the begin, length and load date of the row of a file that grew. A row that does
// not exist changes nothing and is no failure. A failure shows its message box; returns false.
bool UpdateFileRow(std::string_view relativePath, std::string_view station, double begin,
                   double seconds, std::string_view channel);

// The sampling rate of (station, channel) in SITECHAN; 0 when there is no row, the rate is
// null, or the statement fails (statement failures are logged).
double LookupSampleRate(std::string_view station, std::string_view channel);

} // namespace tarvell
