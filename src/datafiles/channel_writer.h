#pragma once
// Channel buffering and file rotation: every waveform packet of a configured channel is
// collected in the channel's buffer, and a chunk that cannot grow any more is written to the
// channel's data file and registered in FILELIST. Acquisition threads only, each for the
// channels of its own server, while g_groups stays as it is.
//
// Order of what a chunk touches, in time-named mode: the station's disk-loop purge, the file
// (appended, or created with its header), its FILELIST row, the resume time in the program
// INI, the channel's file text in the operator view. In loop-file mode: the latest segment
// row (the write position), the header rebuilt from the segment rows, the rows of segments
// about to be overwritten, the loop file, the new or lengthened segment row, the resume time,
// the file text.

#include <atomic>
#include <cstddef>

namespace tarvell
{

struct WaveformPacket;

// Set the first time any loop file's write position goes back to byte 512; never cleared
// while the program runs. Once set, every new loop segment first deletes the segment rows of
// the hour of samples after its position.
extern std::atomic<bool> g_loopWrapped;

// Takes one packet: finds its channel in g_groups (station and channel without regard to
// case; a packet of a channel that is not configured is dropped), copies its calibration and
// appends its samples to the buffer. A packet that does not continue the buffer within one
// sample interval, that would take it past 4900 samples, or that belongs to a channel of 1.0
// samples per second or less, first has the buffer written (FlushChannel). A packet of more
// than 4900 samples is taken in pieces of at most 4900. Sets the channel's resumeTime to the
// packet's end time plus one interval.
void MergePacket(const WaveformPacket& packet);

// Writes the buffered chunk of channel channelIndex of group groupIndex and empties the
// buffer, whether the chunk could be written or not. Never leaves a file whose header and
// data disagree, and never registers a row for samples that are not on disk.
void FlushChannel(std::size_t groupIndex, std::size_t channelIndex);

} // namespace tarvell
