#include "platform/write_behind.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <fcntl.h>

#include <gtest/gtest.h>

#include "platform/unique_fd.h"
#include "support/sandbox.h"

namespace tarvell
{
namespace
{

// A backfill's appends: a file made with its header and first chunk, then chunk after chunk
// kept back. The file only ever grows by pieces that end on a boundary, and after WriteOut it
// holds every byte once, in order.
TEST(WriteBehind, WritesEveryByteOnceInPiecesEndingOnABoundary)
{
    test::Sandbox sandbox;
    const std::string path = sandbox.File("file.dat");
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    std::string expected(20112, 'h');
    ASSERT_EQ(::pwrite(fd.Get(), expected.data(), expected.size(), 0), 20112);

    CWriteBehind kept;
    for (int chunk = 0; chunk < 40; ++chunk)
    {
        const std::string bytes(19600, static_cast<char>('a' + chunk % 26));
        ASSERT_EQ(kept.Keep(fd.Get(), static_cast<std::int64_t>(expected.size()), bytes.data(),
                            bytes.size()),
                  KeepResult::Kept);
        expected += bytes;
        const auto size = static_cast<std::int64_t>(std::filesystem::file_size(path));
        EXPECT_TRUE(size == 20112 || size % CWriteBehind::kBoundary == 0) << size;
        EXPECT_EQ(size + static_cast<std::int64_t>(kept.KeptBytes()),
                  static_cast<std::int64_t>(expected.size()));
    }
    EXPECT_EQ(kept.WriteOut(fd.Get()), 0);
    EXPECT_EQ(kept.KeptBytes(), 0u);
    std::ifstream in(path, std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(in), {}};
    EXPECT_TRUE(written == expected) << written.size() << " bytes, " << expected.size()
                                     << " expected";
}

// A write that fails loses the kept bytes, says so at every later call, and writes nothing
// more: bytes after a gap would stand at the wrong place in the file.
TEST(WriteBehind, AFailedWriteIsReportedFromThenOnAndNothingMoreIsWritten)
{
    UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    if (!full)
        GTEST_SKIP() << "no /dev/full";
    CWriteBehind kept;
    const std::string bytes(19600, 'x');
    KeepResult result = KeepResult::Kept;
    std::int64_t offset = 0;
    for (int chunk = 0; chunk < 20 && result == KeepResult::Kept; ++chunk, offset += 19600)
        result = kept.Keep(full.Get(), offset, bytes.data(), bytes.size());
    EXPECT_EQ(result, KeepResult::Failed);
    EXPECT_EQ(kept.Failure(), ENOSPC);
    EXPECT_EQ(kept.KeptBytes(), 0u);
    EXPECT_EQ(kept.Keep(full.Get(), offset, bytes.data(), bytes.size()), KeepResult::Failed);
    EXPECT_EQ(kept.WriteOut(full.Get()), ENOSPC);
}

} // namespace
} // namespace tarvell
