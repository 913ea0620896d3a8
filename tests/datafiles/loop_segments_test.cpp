#include "datafiles/loop_segments.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "config/model_fixture.h"
#include "db/db_access.h"

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
                               2.5, 512));
    ASSERT_TRUE(
        AddLoopSegment("ABC", "BHZ", "D:\\Data\\ABC\\ABC_BHZ.DAT", kT0 - 50, 30, 20, 1, 1, 4000));
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

TEST_P(LoopSegmentsTest, AWriteFindsTheSegmentsWhoseBytesItMeetsAndOffsetsPass2GiB)
{
    // Three segments of 800 bytes one after the other: 512, 1312, 2112; and one far out.
    const long long far = 5LL << 30;
    for (long long offset : {512LL, 1312LL, 2112LL, far})
        ASSERT_TRUE(AddLoopSegment("ABC", "BHZ", kPath, kT0 + static_cast<double>(offset), 10, 20,
                                   1, 1, offset));
    ASSERT_TRUE(AddLoopSegment("ABC", "BHN", kPath, kT0, 10, 20, 1, 1, 1312));
    auto touching = [](long long begin, long long end)
    {
        bool ok = false;
        std::vector<long long> offsets;
        for (const LoopSegmentRow& row : SegmentsTouching("ABC", "BHZ", kPath, begin, end, &ok))
            offsets.push_back(row.piece.offset);
        std::sort(offsets.begin(), offsets.end());
        EXPECT_TRUE(ok);
        return offsets;
    };
    EXPECT_EQ(touching(1312, 1400), (std::vector<long long>{1312}));
    EXPECT_EQ(touching(1308, 2116), (std::vector<long long>{512, 1312, 2112}));
    EXPECT_EQ(touching(2912, 4000), (std::vector<long long>{})); // ends exactly where one begins
    EXPECT_EQ(touching(far + 796, far + 900), (std::vector<long long>{far}));
    EXPECT_EQ(LastLoopSegment("ABC", "BHZ", kPath).offset, far);

    // Moving a row and adding one are idempotent: run twice, they leave the same rows.
    for (int twice = 0; twice < 2; ++twice)
    {
        ASSERT_TRUE(
            DbExecute(MoveLoopSegmentStatement("ABC", "BHZ", kPath, 1312, {1312, kT0 + 1312, 4}))
                .ok);
        ASSERT_TRUE(DbExecuteAll(AddLoopSegmentStatements("ABC", "BHZ", kPath,
                                                          {1712, kT0 + 1316, 5}, 20, 1, 1))
                        .ok);
    }
    EXPECT_EQ(Offsets("CH='BHZ'"), (std::vector<long long>{512, 1312, 1712, 2112, far}));
    ASSERT_TRUE(DbExecute(DeleteLoopSegmentStatement("ABC", "BHZ", kPath, 1712)).ok);
    EXPECT_EQ(Offsets("CH='BHZ'"), (std::vector<long long>{512, 1312, 2112, far}));
}

TEST_P(LoopSegmentsTest, FailedStatementsShowTheirMessageBoxes)
{
    m_db.Execute("DROP TABLE FILELIST");
    EXPECT_FALSE(LastLoopSegment("ABC", "BHZ", kPath).ok);
    EXPECT_FALSE(ExtendLoopSegment("ABC", "BHZ", kPath, 512, 1));
    EXPECT_FALSE(AddLoopSegment("ABC", "BHZ", kPath, kT0, 1, 20, 1, 1, 512));
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 2u);
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
}

INSTANTIATE_TEST_SUITE_P(Backends, LoopSegmentsTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
