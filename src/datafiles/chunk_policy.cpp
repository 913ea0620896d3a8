#include "datafiles/chunk_policy.h"

#include <algorithm>
#include <cmath>

#include "datafiles/channel_state.h"

namespace tarvell
{

bool ContinuesBuffer(double bufferStart, double bufferDuration, int bufferCount, double begin,
                     double interval, int count, double sampleRate)
{
    return std::fabs(bufferStart + bufferDuration - begin) <= interval / 2 + kTimeTolerance &&
           bufferCount + count <= kMaxChunkSamples && sampleRate > 1.0;
}

bool ContinuesFile(const ChannelFileState& file, double chunkStart, double sampleRate)
{
    const bool hasFile = file.fileStart != 0 || file.fileDuration != 0;
    return hasFile &&
           std::fabs(file.fileStart + file.fileDuration - chunkStart) <= 0.5 / sampleRate;
}

bool FileIsFull(double duration, int fileLengthMinutes)
{
    return duration > 60.0 * fileLengthMinutes - 1;
}

std::int64_t SegmentSamples(double duration, double sampleRate)
{
    double samples = duration * sampleRate;
    if (!std::isfinite(samples) || samples < 0)
        return 0;
    return std::llround(std::min(samples, 1.0e15));
}

LoopPosition NextLoopPosition(std::int64_t latestEnd, std::int64_t ringSize)
{
    if (latestEnd <= 0)
        return {};
    if (latestEnd > ringSize)
        return {kFirstSampleOffset, true};
    return {latestEnd, false};
}

SegmentRemainder RemainderAfterOverwrite(const SegmentPiece& segment, double sampleRate,
                                         std::int64_t begin, std::int64_t end)
{
    SegmentRemainder remainder;
    const std::int64_t samples = SegmentSamples(segment.duration, sampleRate);
    const std::int64_t segmentEnd = segment.offset + samples * kSampleBytes;
    if (samples == 0 || end <= segment.offset || begin >= segmentEnd || !(sampleRate > 0))
        return remainder;
    remainder.overlaps = true;
    // Samples are whole 4-byte units from the segment's offset: a sample touched by the new
    // bytes at all is gone.
    const std::int64_t keptBefore =
        std::max<std::int64_t>(0, (begin - segment.offset) / kSampleBytes);
    if (keptBefore > 0)
        remainder.head = SegmentPiece{segment.offset, segment.begin,
                                      static_cast<double>(keptBefore) / sampleRate};
    const std::int64_t firstAfter =
        std::max<std::int64_t>(0, (end - segment.offset + kSampleBytes - 1) / kSampleBytes);
    if (firstAfter < samples)
    {
        remainder.tail = SegmentPiece{segment.offset + firstAfter * kSampleBytes,
                                      segment.begin + static_cast<double>(firstAfter) / sampleRate,
                                      static_cast<double>(samples - firstAfter) / sampleRate};
    }
    return remainder;
}

} // namespace tarvell
