#include "datafiles/chunk_policy.h"

#include <gtest/gtest.h>

#include "datafiles/channel_state.h"

namespace tarvell
{
namespace
{

constexpr double kT0 = 1796648695.0; // 2026-12-07 13:04:55 UTC

TEST(ChunkPolicy, APacketContinuesTheBufferWithinHalfAnIntervalUpTo4900SamplesAbove1Hz)
{
    struct Case
    {
        const char* what;
        double begin; // of the packet, the buffer being kT0 .. kT0 + 48 s (4800 samples)
        int count;
        double rate;
        bool continues;
    };
    const Case cases[] = {
        {"exactly at the end", kT0 + 48, 100, 100, true},
        {"a few tenths of a microsecond off", kT0 + 48 + 3e-7, 100, 100, true},
        {"less than half an interval late: jitter", kT0 + 48.0049, 100, 100, true},
        {"one interval late: a missing sample is a gap", kT0 + 48.01, 100, 100, false},
        {"more than half an interval early: an overlap", kT0 + 47.9949, 100, 100, false},
        {"4900 exactly", kT0 + 48, 100, 100, true},
        {"4901", kT0 + 48, 101, 100, false},
        {"a channel of 1.0 samples per second", kT0 + 48, 1, 1.0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ContinuesBuffer(kT0, 48, 4800, c.begin, 0.01, c.count, c.rate), c.continues)
            << c.what;
}

TEST(ChunkPolicy, AChunkContinuesItsFileWithinHalfASampleAndAFileIsFullAfterItsLength)
{
    ChannelFileState file;
    EXPECT_FALSE(ContinuesFile(file, kT0, 100)); // no current file
    file.fileStart = kT0;
    file.fileDuration = 49;
    EXPECT_TRUE(ContinuesFile(file, kT0 + 49, 100));
    EXPECT_TRUE(ContinuesFile(file, kT0 + 49.0049, 100));
    EXPECT_FALSE(ContinuesFile(file, kT0 + 49.01, 100)); // a sample missing: a file of its own
    EXPECT_FALSE(ContinuesFile(file, kT0 + 48.99, 100));

    // 60 minutes less one second: 74 chunks of 49 s (3626 s) are full, 73 (3577 s) are not.
    EXPECT_FALSE(FileIsFull(73 * 49.0, 60));
    EXPECT_FALSE(FileIsFull(3599, 60));
    EXPECT_TRUE(FileIsFull(3599.01, 60));
    EXPECT_TRUE(FileIsFull(74 * 49.0, 60));
    EXPECT_TRUE(FileIsFull(0.5, 0)); // FILELENGTH(MIN) 0: every chunk ends its file
}

TEST(ChunkPolicy, TheRingContinuesAfterTheLatestSegmentAndWrapsPastItsSize)
{
    EXPECT_EQ(NextLoopPosition(0, 1048576).position, 512); // a file without segments
    EXPECT_FALSE(NextLoopPosition(0, 1048576).wrapped);
    EXPECT_EQ(NextLoopPosition(1048000, 1048576).position, 1048000);
    EXPECT_EQ(NextLoopPosition(1048576, 1048576).position, 1048576); // ends exactly at the size
    const LoopPosition wrapped = NextLoopPosition(1048800, 1048576);
    EXPECT_EQ(wrapped.position, 512);
    EXPECT_TRUE(wrapped.wrapped);
    EXPECT_TRUE(NextLoopPosition(1312, 0).wrapped); // a ring of 0 bytes: always at 512
    // TQTY x SPS falls just short of a whole number as often as not: rounded.
    EXPECT_EQ(SegmentSamples(49.0, 100), 4900);
    EXPECT_EQ(SegmentSamples(0.1 * 3, 10), 3);
    EXPECT_EQ(SegmentSamples(-1, 100), 0);
}

TEST(ChunkPolicy, AnOverwrittenSegmentKeepsItsIntactSamplesBeforeAndAfterTheNewBytes)
{
    // 10 s at 20 samples per second from byte 1312: bytes 1312 .. 2112.
    const SegmentPiece segment{1312, kT0, 10};
    struct Case
    {
        const char* what;
        std::int64_t begin, end;
        bool overlaps;
        double head;         // seconds kept before the new bytes (0: none)
        std::int64_t tailAt; // first byte kept after them (0: none)
        double tail;
    };
    const Case cases[] = {
        {"ends where the segment begins", 512, 1312, false, 0, 0, 0},
        {"begins where the segment ends", 2112, 3000, false, 0, 0, 0},
        {"the first 4 s", 512, 1632, true, 0, 1632, 6},
        {"the whole segment", 1312, 2112, true, 0, 0, 0},
        {"the last 2 s", 1952, 4000, true, 8, 0, 0},
        {"1 s in the middle", 1632, 1712, true, 4, 1712, 5},
        {"one byte of sample 80", 1633, 1634, true, 4, 1636, 5.95},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        const SegmentRemainder rest = RemainderAfterOverwrite(segment, 20, c.begin, c.end);
        EXPECT_EQ(rest.overlaps, c.overlaps);
        EXPECT_EQ(rest.head.has_value(), c.head > 0);
        if (rest.head)
        {
            EXPECT_EQ(rest.head->offset, 1312);
            EXPECT_DOUBLE_EQ(rest.head->begin, kT0);
            EXPECT_NEAR(rest.head->duration, c.head, 1e-9);
        }
        EXPECT_EQ(rest.tail.has_value(), c.tailAt > 0);
        if (rest.tail)
        {
            EXPECT_EQ(rest.tail->offset, c.tailAt);
            EXPECT_NEAR(rest.tail->begin, kT0 + (10 - c.tail), 1e-6);
            EXPECT_NEAR(rest.tail->duration, c.tail, 1e-9);
        }
    }
}

} // namespace
} // namespace tarvell
