#pragma once
// The rules by which a channel's samples become chunks, chunks become files and loop
// segments, and a write into a loop file leaves the segments it overwrites: pure functions
// of times, counts and byte offsets, with no file, row or INI behind them. Any thread.

#include <cstdint>
#include <optional>

namespace tarvell
{

struct ChannelFileState;

// Packet times come from the server in whole microseconds; as doubles near today's epoch
// they carry errors of a few tenths of a microsecond, which must not decide whether a packet
// continues the buffer.
inline constexpr double kTimeTolerance = 1e-6;

// 4 bytes per sample in every data file, after the 512-byte header.
inline constexpr std::int64_t kSampleBytes = 4;
inline constexpr std::int64_t kFirstSampleOffset = 512;

// True when a packet of count samples beginning at begin, interval seconds apart, is appended
// to the buffer: it begins where the buffer ends (within half an interval either way, so
// that every sample is written at its own time: a missing sample is a gap), the buffer stays
// at or below kMaxChunkSamples, and the channel is faster than one sample per second (slower
// channels write every packet as a chunk of its own).
bool ContinuesBuffer(double bufferStart, double bufferDuration, int bufferCount, double begin,
                     double interval, int count, double sampleRate);

// True when a chunk beginning at chunkStart continues the current file or segment: it begins
// within half a sample period of where that ends (a file's samples lie at whole periods from
// its start, so a chunk after a gap of a sample or more starts a file of its own). False
// without a current file.
bool ContinuesFile(const ChannelFileState& file, double chunkStart, double sampleRate);

// True when a file or segment holding duration seconds is finished: more than
// FILELENGTH(MIN) minutes less one second. The next chunk then starts a new one.
bool FileIsFull(double duration, int fileLengthMinutes);

// The whole samples of a segment of duration seconds at sampleRate (TQTY x SPS, rounded:
// the product falls just short of a whole number as often as not); 0 for nonsense.
std::int64_t SegmentSamples(double duration, double sampleRate);

// Where the next segment of a loop file begins: after the latest segment (latestEnd, the
// byte after it; 0 when the file has none), or at 512 again once that lies beyond the ring.
struct LoopPosition
{
    std::int64_t position = kFirstSampleOffset;
    bool wrapped = false;
};
LoopPosition NextLoopPosition(std::int64_t latestEnd, std::int64_t ringSize);

// A loop segment: its first byte, first sample time and length.
struct SegmentPiece
{
    std::int64_t offset = 0;
    double begin = 0;
    double duration = 0;
};

// What is left of segment (at sampleRate) when the bytes from begin up to end are written
// over: the samples before begin (head) and those from end on (tail), each only when it
// holds a sample. overlaps is false when the write does not touch the segment at all.
struct SegmentRemainder
{
    bool overlaps = false;
    std::optional<SegmentPiece> head;
    std::optional<SegmentPiece> tail;
};
SegmentRemainder RemainderAfterOverwrite(const SegmentPiece& segment, double sampleRate,
                                         std::int64_t begin, std::int64_t end);

} // namespace tarvell
