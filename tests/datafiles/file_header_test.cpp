#include "datafiles/file_header.h"

#include <string>

#include <gtest/gtest.h>

#include "config/model_fixture.h"
#include "datafiles/loop_segments.h"

namespace tarvell
{
namespace
{

using test::ReadFile;

constexpr double kT0 = 1796648695.0; // 2026-12-07 13:04:55 UTC

std::string Text(const FileHeader& header)
{
    return std::string(header.data(), header.size());
}

// The header text up to its first NUL byte.
std::string Lines(const FileHeader& header)
{
    return std::string(header.data());
}

TEST(FileHeaderTest, TheExampleHeaderIs165BytesFollowedBy347NulBytes)
{
    FileHeader header;
    header.fill('x');
    BuildFileHeader(header, "ABC", "BHZ", 100, kT0 + 0.7, 49);
    EXPECT_EQ(Text(header), ReadFile(TARVELL_TEST_DATA_DIR "/header_time_named_ABC_BHZ.bin"));
    EXPECT_EQ(Lines(header).size(), 165u);
    EXPECT_EQ(Text(header).find_first_not_of('\0', 165), std::string::npos);
}

TEST(FileHeaderTest, NamesStandWithoutBlanksAndSecondsAreNeverRoundedIntoTheNextDay)
{
    FileHeader header;
    BuildFileHeader(header, "AB", "BZ", 20, 1796687999.9, 3 * 3600 + 62.5);
    EXPECT_EQ(Lines(header), "[KDX5.x]\r\nData offset=512\r\nStart time=23 59 59\r\n"
                             "Start date=07 12 2026\r\nTime duration=03 01 02\r\n"
                             "Data Type=FLOAT\r\nSpS=20.000000\r\nGain=1\r\nStation=AB\r\n"
                             "Channels=\"BZ\"\r\n");
}

TEST(FileHeaderTest, OverlongNamesAreCutSoThatTheHeaderStaysWithinItsBytes)
{
    FileHeader header;
    BuildFileHeader(header, std::string(600, 'S'), "BHZ", 20, kT0, 1);
    EXPECT_EQ(Lines(header).size(), 511u);
    EXPECT_EQ(header[511], '\0');
}

class LoopHeaderTest : public test::ModelTest
{
};

TEST_P(LoopHeaderTest, ALoopFileWithoutSegmentsHasAHeaderOfZeros)
{
    FileHeader header;
    header.fill('x');
    BuildLoopHeader(header, "ABC", "BHZ", 20, m_box.File("data/ABC/ABC_BHZ.DAT"));
    EXPECT_EQ(Text(header), std::string(512, '\0'));
}

TEST_P(LoopHeaderTest, TheHeaderSpansFromTheEarliestToTheEndOfTheLatestSegment)
{
    const std::string path = "D:\\Data\\ABC\\ABC_BHZ.DAT";
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", path, kT0 + 0.7, 1800, 20, 1, 1, 512));
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", path, kT0 + 0.7 + 3600, 1800, 20, 1, 1, 144512));
    // Segments of another channel of the same file name do not count.
    ASSERT_TRUE(AddLoopSegment("ABC", "BHN", path, kT0 - 9000, 60, 20, 1, 1, 512));
    FileHeader header;
    BuildLoopHeader(header, "ABC", "BHZ", 20, path);
    EXPECT_EQ(Text(header), ReadFile(TARVELL_TEST_DATA_DIR "/header_loop_ABC_BHZ_90min.bin"));

    // A span of exactly one day is day 02.
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", path, kT0 + 0.7 + 86000, 400, 20, 1, 1, 200000));
    BuildLoopHeader(header, "ABC", "BHZ", 20, path);
    EXPECT_NE(Lines(header).find("Time duration=02 00:00:00\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopHeaderTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
