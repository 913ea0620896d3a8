#include "datafiles/loop_segments.h"

#include <string>

#include <gtest/gtest.h>

#include "config/model_fixture.h"

namespace tarvell
{
namespace
{

constexpr double kT0 = 1796648695.0; // 2026-12-07 13:04:55 UTC

class LoopSegmentsTest : public test::ModelTest
{
protected:
    std::vector<long long> Offsets(const std::string& where) const
    {
        DbOutcome outcome = m_db.Query(
            "SELECT FOFF FROM FILELIST WHERE " + where + " ORDER BY FOFF", {DbType::Double});
        EXPECT_TRUE(outcome.ok) << outcome.message;
        std::vector<long long> offsets;
        for (const DbRow& row : outcome.rows)
            offsets.push_back(static_cast<long long>(row[0].number));
        return offsets;
    }

    static constexpr const char* kPath = "/data/ABC/ABC_BHZ.DAT";
};

TEST_P(LoopSegmentsTest, SegmentsAreStoredWithSlashesAndFoundByTheirLatestBegin)
{
    EXPECT_EQ(LastLoopSegment("ABC", "BHZ", "D:\\Data\\ABC\\ABC_BHZ.DAT").offset, 0);
    EXPECT_TRUE(LastLoopSegment("ABC", "BHZ", "D:\\Data\\ABC\\ABC_BHZ.DAT").ok);
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", "D:\\Data\\ABC\\ABC_BHZ.DAT", kT0 + 0.7, 10, 20, 1.5,
                               2.5, 512, false));
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", "D:\\Data\\ABC\\ABC_BHZ.DAT", kT0 - 50, 30, 20, 1, 1,
                               4000, false));
    DbOutcome rows = m_db.Query(
        "SELECT CPATH, TBEGIN, TQTY, SPS, GAIN, DATATYPE, CREATER, CALIB, CALPER FROM FILELIST "
        "WHERE FOFF=512",
        {DbType::Text, DbType::Double, DbType::Double, DbType::Double, DbType::Double,
         DbType::Double, DbType::Text, DbType::Double, DbType::Double});
    ASSERT_TRUE(rows.ok) << rows.message;
    ASSERT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(rows.rows[0][0].text, "D:/Data/ABC/ABC_BHZ.DAT");
    EXPECT_NEAR(rows.rows[0][1].number, 1796648695.7, 1e-5);
    EXPECT_EQ(rows.rows[0][2].number, 10);
    EXPECT_EQ(rows.rows[0][3].number, 20);
    EXPECT_EQ(rows.rows[0][4].number, 1);
    EXPECT_EQ(rows.rows[0][5].number, 3);
    EXPECT_EQ(rows.rows[0][6].text, "DUVODIZEREVE");
    EXPECT_EQ(rows.rows[0][7].number, 1.5);
    EXPECT_EQ(rows.rows[0][8].number, 2.5);

    LoopSegment last = LastLoopSegment("ABC", "BHZ", "D:/Data/ABC/ABC_BHZ.DAT");
    EXPECT_EQ(last.offset, 512);
    EXPECT_EQ(last.sampleRate, 20);
    EXPECT_EQ(last.duration, 10);
    EXPECT_EQ(LastLoopSegment("ABC", "BHN", "D:/Data/ABC/ABC_BHZ.DAT").offset, 0);

    EXPECT_TRUE(ExtendLoopSegment("ABC", "BHZ", "D:\\Data\\ABC\\ABC_BHZ.DAT", 512, 59.5));
    EXPECT_EQ(LastLoopSegment("ABC", "BHZ", "D:/Data/ABC/ABC_BHZ.DAT").duration, 59.5);
    EXPECT_TRUE(ExtendLoopSegment("ABC", "BHZ", kPath, 999, 1)); // no row: no failure
    EXPECT_TRUE(m_view.Messages().empty());
}

TEST_P(LoopSegmentsTest, AfterAWrapANewSegmentDeletesTheHourOfSegmentsAfterItsPosition)
{
    for (long long offset : {512LL, 288000LL, 288511LL, 288512LL, 600000LL})
        ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", kPath, kT0 - 1e5 + static_cast<double>(offset), 1,
                                   20, 1, 1, offset, false));
    ASSERT_TRUE(AddLoopSegment("ABC", "BHN", kPath, kT0, 1, 20, 1, 1, 1000, false));
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", "/other.dat", kT0, 1, 20, 1, 1, 1000, false));

    // Before any loop file has wrapped, nothing is deleted.
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", kPath, kT0, 10, 20, 1, 1, 512, false));
    EXPECT_EQ(Offsets("CH='BHZ' AND CPATH='" + std::string(kPath) + "'"),
              (std::vector<long long>{512, 512, 288000, 288511, 288512, 600000}));

    // 20 samples per second: the window is 512 up to but not including 288512.
    ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", kPath, kT0 + 1, 10, 20, 1, 1, 512, true));
    EXPECT_EQ(Offsets("CH='BHZ' AND CPATH='" + std::string(kPath) + "'"),
              (std::vector<long long>{512, 288512, 600000}));
    EXPECT_EQ(Offsets("CH='BHN' OR CPATH='/other.dat'"), (std::vector<long long>{1000, 1000}));
}

TEST_P(LoopSegmentsTest, OnlySegmentsThatAWriteOverlapsAreDeleted)
{
    // Three segments of 800 bytes one after the other: 512, 1312, 2112.
    for (long long offset : {512LL, 1312LL, 2112LL})
        ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", kPath, kT0 + static_cast<double>(offset), 10, 20,
                                   1, 1, offset, false));
    ASSERT_TRUE(DeleteOverwrittenSegments("ABC", "BHZ", kPath, 1312, 1400, -1));
    EXPECT_EQ(Offsets("CH='BHZ'"), (std::vector<long long>{512, 2112}));
    // The segment being lengthened stays, whatever the write covers.
    ASSERT_TRUE(DeleteOverwrittenSegments("ABC", "BHZ", kPath, 512, 3000, 512));
    EXPECT_EQ(Offsets("CH='BHZ'"), (std::vector<long long>{512}));
}

TEST_P(LoopSegmentsTest, FailedStatementsShowTheirMessageBoxes)
{
    m_db.Execute("DROP TABLE FILELIST");
    EXPECT_FALSE(LastLoopSegment("ABC", "BHZ", kPath).ok);
    EXPECT_FALSE(ExtendLoopSegment("ABC", "BHZ", kPath, 512, 1));
    EXPECT_FALSE(AddLoopSegment("ABC", "BHZ", kPath, kT0, 1, 20, 1, 1, 512, false));
    EXPECT_FALSE(AddLoopSegment("ABC", "BHZ", kPath, kT0, 1, 20, 1, 1, 512, true));
    EXPECT_FALSE(DeleteOverwrittenSegments("ABC", "BHZ", kPath, 512, 1000, -1));
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0].caption, "Обновление информации в базе данных");
    EXPECT_EQ(
        messages[0].text.rfind("При попытке обновления информации в базе произошла ошибка:\r\n", 0),
        0u);
    EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(messages[0].callerWaits);
    EXPECT_EQ(messages[1].caption, "Добавление информации в базу данных");
    EXPECT_EQ(
        messages[1].text.rfind("При попытке добавления информации в базу произошла ошибка:\r\n", 0),
        0u);
    // A failing delete before the insert ends the operation: one box only.
    EXPECT_EQ(messages[2].caption, "Удаление информации из базы данных");
    EXPECT_EQ(
        messages[2].text.rfind("При попытке удаления информации из базы произошла ошибка:\r\n", 0),
        0u);
    EXPECT_EQ(messages[3].caption, "Удаление информации из базы данных");
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopSegmentsTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
