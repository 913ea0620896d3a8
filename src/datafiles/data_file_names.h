#pragma once
// The names of time-named data files, both ways:
//   <STATION>/<HH>/DDMMYYYY-HHMMSS-CHN.STA      (CHN and STA right-aligned to 3 with blanks)
//   <STATION>/<HH>/DDMMYYYY-HHMMSS-CHN_k.STA    the k-th variant of a name that was taken
// HH is the UTC hour of the first sample, the rest its UTC date and time. Any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvell
{

// The path, relative to the data root, of the file of channel of station whose first sample
// lies in the given UTC second; variant 0 is the plain name, 1 ... 99 the variants.
std::string TimeNamedPath(std::string_view station, std::string_view channel, int year, int month,
                          int day, int hour, int minute, int second, int variant);

// The hour directory of the file of a first sample in hour (00 ... 23), relative to the
// data root.
std::string HourDirectory(std::string_view station, int hour);

// What a file name in an hour directory says: the channel, the station and the epoch second
// of the first sample. Nothing for a name that is not one of ours.
struct TimeNamedFile
{
    std::string station;
    std::string channel;
    std::int64_t second = 0;
};
std::optional<TimeNamedFile> ParseTimeNamedFileName(std::string_view name);

} // namespace tarvell
