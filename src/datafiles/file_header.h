#pragma once
// The 512-byte text header of the KDX data files. Any thread.
//
// A data file:
//   bytes 0 .. 511   the header text, every line ended by CR LF, then NUL bytes to byte 511
//   bytes 512 ...    the samples, IEEE 754 single precision, little-endian, 4 bytes each
//
// The header lines, in this order:
//   [KDX5.x]
//   Data offset=512                 loop file: FOFF of the earliest segment
//   Start time=HH MM SS             the first sample (loop file: of the earliest segment)
//   Start date=DD MM YYYY
//   Time duration=HH MM SS          loop file: "DD HH:MM:SS" of the span, DD = 1 + whole days
//   Data Type=FLOAT
//   SpS=%f                          loop file: "%0.2f"
//   Gain=1
//   Station=<STATION>
//   Channels="<CHANNEL>"

#include <array>
#include <cstddef>
#include <string_view>

namespace tarvell
{

inline constexpr std::size_t kHeaderSize = 512;
using FileHeader = std::array<char, kHeaderSize>;

// The header of a new time-named file: start is the epoch time of its first sample, duration
// the seconds of data written when it is created. Seconds are truncated, never rounded.
void BuildFileHeader(FileHeader& header, std::string_view station, std::string_view channel,
                     double sampleRate, double start, double duration);

// The header of the loop file at path (written with "/" in the database), described from
// the FILELIST rows of its segments: all 512 bytes zero when it has none or a statement fails.
void BuildLoopHeader(FileHeader& header, std::string_view station, std::string_view channel,
                     double sampleRate, std::string_view path);

} // namespace tarvell
