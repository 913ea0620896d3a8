#include "db/file_registry.h"

#include <cmath>
#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "db/db_access.h"
#include "platform/clock.h"
#include "db_test_base.h"

namespace tarvell
{
namespace
{

using test::Backend;
using test::DbTest;

constexpr std::time_t k20261207_130455 = 1796648695; // Monday 7 December 2026, UTC
std::time_t FixedClock()
{
    return k20261207_130455;
}

class FileRegistryTest : public DbTest
{
protected:
    void SetUp() override
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        SetWallClockForTest(&FixedClock);
    }
    void TearDown() override { SetWallClockForTest(nullptr); }

    // The FILELIST rows of a path: every column the program writes, as text.
    DbOutcome Rows(const std::string& path) const
    {
        return m_db.Query("SELECT STA, TBEGIN, TQTY, SPS, GAIN, CPATH, CH, DATATYPE, CREATER, "
                          "CALIB, CALPER, LDDATE, FOFF FROM FILELIST WHERE CPATH='" +
                              SqlText(path) + "'",
                          {DbType::Text, DbType::Double, DbType::Double, DbType::Double,
                           DbType::Int32, DbType::Text, DbType::Text, DbType::Int32, DbType::Text,
                           DbType::Double, DbType::Double, DbType::Text, DbType::Int32});
    }

    // Replaces FILELIST by a table without one of the columns the program writes.
    void DropFileListColumn(const char* missing) const
    {
        m_db.Execute("DROP TABLE FILELIST");
        std::string columns;
        for (const char* column :
             {"STA VARCHAR(16)", "TBEGIN DOUBLE PRECISION", "TQTY DOUBLE PRECISION",
              "SPS DOUBLE PRECISION", "GAIN INTEGER", "CPATH VARCHAR(1024)", "CH VARCHAR(16)",
              "DATATYPE INTEGER", "CREATER VARCHAR(16)", "LDDATE TIMESTAMP", "FOFF INTEGER",
              "CALIB DOUBLE PRECISION", "CALPER DOUBLE PRECISION"})
        {
            if (std::string(column).rfind(std::string(missing) + " ", 0) == 0)
                continue;
            columns += (columns.empty() ? "" : ", ") + std::string(column);
        }
        m_db.Execute("CREATE TABLE FILELIST (" + columns + ")");
    }
};

TEST_P(FileRegistryTest, RegisterWritesEveryColumnOfTheFilesRow)
{
    ASSERT_TRUE(RegisterFile("ABC\\13\\07122026-130455-BHZ.ABC", "ABC", 1796648695.7, 60.5, 20, 1,
                             3, "BHZ", 0.0125, 1.0));
    DbOutcome rows = Rows("ABC/13/07122026-130455-BHZ.ABC");
    ASSERT_TRUE(rows.ok) << rows.message;
    ASSERT_EQ(rows.rows.size(), 1u);
    const DbRow& row = rows.rows[0];
    EXPECT_EQ(row[0].text, "ABC");
    EXPECT_DOUBLE_EQ(row[1].number, 1796648695.7); // "%f": six decimals keep the tenth
    EXPECT_DOUBLE_EQ(row[2].number, 60.5);
    EXPECT_DOUBLE_EQ(row[3].number, 20);
    EXPECT_EQ(row[4].integer, 1);
    EXPECT_EQ(row[5].text, "ABC/13/07122026-130455-BHZ.ABC");
    EXPECT_EQ(row[6].text, "BHZ");
    EXPECT_EQ(row[7].integer, 3);
    EXPECT_EQ(row[8].text, "DUVODIZEREVE");
    EXPECT_DOUBLE_EQ(row[9].number, 0.0125);
    EXPECT_DOUBLE_EQ(row[10].number, 1.0);
    EXPECT_EQ(row[11].text, "2026-12-07 13:04:55"); // the local time of the insert
    EXPECT_EQ(row[12].integer, 512);
    EXPECT_TRUE(m_view.Messages().empty());
}

TEST_P(FileRegistryTest, RegistrationIsIdempotentPerPathWithBackslashesOrSlashes)
{
    // A row of another writer under the same path goes too: the path is the file's identity.
    m_db.Execute("INSERT INTO FILELIST (STA, CPATH, CREATER, TQTY) VALUES "
                 "('ABC', 'ABC/13/f.ABC', 'SOMEONE', 1)");
    ASSERT_TRUE(RegisterFile("ABC\\13\\f.ABC", "ABC", 100, 1, 20, 1, 3, "BHZ", 1, 1));
    ASSERT_TRUE(RegisterFile("ABC/13/f.ABC", "ABC", 200, 2, 20, 1, 3, "BHZ", 1, 1));
    ASSERT_TRUE(RegisterFile("ABC\\13\\f.ABC", "ABC", 300, 3, 20, 1, 3, "BHZ", 1, 1));
    EXPECT_EQ(m_db.Count(), 1);
    DbOutcome rows = Rows("ABC/13/f.ABC");
    ASSERT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(rows.rows[0][1].number, 300);
    EXPECT_EQ(rows.rows[0][8].text, "DUVODIZEREVE");
}

TEST_P(FileRegistryTest, UpdateFindsTheRowWhateverTheSeparatorsAndChangesOnlyItsOwn)
{
    ASSERT_TRUE(RegisterFile("ABC/13/f.ABC", "ABC", 100, 1, 20, 1, 3, "BHZ", 1, 1));
    ASSERT_TRUE(RegisterFile("ABC/13/g.ABC", "ABC", 100, 1, 20, 1, 3, "BHN", 1, 1));
    ASSERT_TRUE(UpdateFileRow("ABC\\13\\f.ABC", "ABC", 101, 42.25, "BHZ"));
    DbOutcome f = Rows("ABC/13/f.ABC");
    ASSERT_EQ(f.rows.size(), 1u);
    EXPECT_EQ(f.rows[0][1].number, 101);
    EXPECT_EQ(f.rows[0][2].number, 42.25);
    EXPECT_EQ(f.rows[0][12].integer, 512);
    EXPECT_EQ(Rows("ABC/13/g.ABC").rows.at(0)[2].number, 1);

    // A file whose registration failed has no row: its updates change nothing, quietly.
    EXPECT_TRUE(UpdateFileRow("ABC/13/unregistered.ABC", "ABC", 1, 2, "BHZ"));
    EXPECT_TRUE(UpdateFileRow("ABC/13/f.ABC", "ABC", 1, 2, "OTHER"));
    EXPECT_EQ(m_db.Count(), 2);
    EXPECT_EQ(Rows("ABC/13/f.ABC").rows.at(0)[2].number, 42.25);

    // Several rows in one statement, each as its own statement would: a row of another
    // channel under the same path and a path without a row are left alone.
    ASSERT_TRUE(RegisterFile("ABC/13/h.ABC", "ABC", 100, 1, 20, 1, 3, "BHE", 1, 1));
    const std::vector<FileRowValues> rows = {{"ABC\\13\\f.ABC", "ABC", "BHZ", 102, 50.5},
                                             {"ABC/13/g.ABC", "ABC", "BHN", 103, 7},
                                             {"ABC/13/h.ABC", "ABC", "OTHER", 1, 2},
                                             {"ABC/13/unregistered.ABC", "ABC", "BHZ", 1, 2}};
    m_db.Execute(UpdateFileRowsStatement(rows));
    EXPECT_EQ(Rows("ABC/13/f.ABC").rows.at(0)[1].number, 102);
    EXPECT_EQ(Rows("ABC/13/f.ABC").rows.at(0)[2].number, 50.5);
    EXPECT_EQ(Rows("ABC/13/g.ABC").rows.at(0)[2].number, 7);
    EXPECT_EQ(Rows("ABC/13/h.ABC").rows.at(0)[2].number, 1);
    EXPECT_EQ(m_db.Count(), 3);
    EXPECT_TRUE(m_view.Messages().empty());
}

TEST_P(FileRegistryTest, QuotesInNamesAndPathsAreStoredAsTheyAre)
{
    // A configured name with a quote must neither break the statement nor change another row.
    ASSERT_TRUE(RegisterFile("O'B/13/x'; DELETE FROM FILELIST; --.O'B", "O'B", 1, 1, 20, 1, 3,
                             "B'Z", 1, 1));
    ASSERT_TRUE(RegisterFile("ABC/13/f.ABC", "ABC", 1, 1, 20, 1, 3, "BHZ", 1, 1));
    ASSERT_TRUE(UpdateFileRow("O'B/13/x'; DELETE FROM FILELIST; --.O'B", "O'B", 5, 6, "B'Z"));
    EXPECT_EQ(m_db.Count(), 2);
    DbOutcome rows = Rows("O'B/13/x'; DELETE FROM FILELIST; --.O'B");
    ASSERT_EQ(rows.rows.size(), 1u);
    EXPECT_EQ(rows.rows[0][0].text, "O'B");
    EXPECT_EQ(rows.rows[0][6].text, "B'Z");
    EXPECT_EQ(rows.rows[0][2].number, 6);

    // The same through the statement for many rows, whose names travel as JSON on SQLite.
    const char* quoted = "Q\"Z/13/y\\\".Q\"Z";
    ASSERT_TRUE(RegisterFile(quoted, "Q\"Z", 1, 1, 20, 1, 3, "B\"Z", 1, 1));
    const std::vector<FileRowValues> both = {
        {"O'B/13/x'; DELETE FROM FILELIST; --.O'B", "O'B", "B'Z", 7, 8},
        {quoted, "Q\"Z", "B\"Z", 9, 10}};
    m_db.Execute(UpdateFileRowsStatement(both));
    EXPECT_EQ(Rows("O'B/13/x'; DELETE FROM FILELIST; --.O'B").rows.at(0)[2].number, 8);
    EXPECT_EQ(Rows("Q\"Z/13/y/\".Q\"Z").rows.at(0)[2].number, 10);
    EXPECT_EQ(m_db.Count(), 3);
}

TEST_P(FileRegistryTest, AFailedDeleteShowsItsBoxLogsAndInsertsNothing)
{
    m_db.Execute("DROP TABLE FILELIST");
    EXPECT_FALSE(RegisterFile("ABC/13/f.ABC", "ABC", 1, 1, 20, 1, 3, "BHZ", 1, 1));
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Удаление информации из базы данных");
    EXPECT_EQ(messages[0].text.rfind("При попытке удаления из базы произошла ошибка:\r\n", 0), 0u);
    EXPECT_GT(messages[0].text.size(),
              std::string("При попытке удаления из базы произошла ошибка:\r\n").size());
    EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    EXPECT_TRUE(messages[0].callerWaits);
    // The driver's message, alone, in the event log.
    std::string message = messages[0].text.substr(messages[0].text.find("\r\n") + 2);
    EXPECT_NE(EventLog().find(message.substr(0, 20)), std::string::npos);
}

TEST_P(FileRegistryTest, AFailedInsertShowsItsBoxAndLogs)
{
    DropFileListColumn("CALPER");
    EXPECT_FALSE(RegisterFile("ABC/13/f.ABC", "ABC", 1, 1, 20, 1, 3, "BHZ", 1, 1));
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Запись информации в базу данных");
    EXPECT_EQ(messages[0].text.rfind("При попытке записи в базу произошла ошибка:\r\n", 0), 0u);
    EXPECT_EQ(messages[0].icon, MessageIcon::Warning);
    EXPECT_NE(EventLog().find("#[TARVELL] "), std::string::npos);
    EXPECT_EQ(m_db.Count(), 0);
}

TEST_P(FileRegistryTest, AFailedUpdateShowsItsBoxOnly)
{
    DropFileListColumn("LDDATE");
    EXPECT_FALSE(UpdateFileRow("ABC/13/f.ABC", "ABC", 1, 1, "BHZ"));
    auto messages = m_view.Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].caption, "Обновление информации в базе данных");
    EXPECT_EQ(
        messages[0].text.rfind("При попытке обновления информации в базе произошла ошибка:\r\n", 0),
        0u);
    EXPECT_EQ(EventLog().find("#[TARVELL] "), std::string::npos); // nothing in the event log
}

TEST_P(FileRegistryTest, SampleRateComesFromSiteChan)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 40);
    m_db.AddSiteChan("ABC", "LHZ", NAN);
    m_db.AddSiteChan("O'B", "BHZ", 100);
    EXPECT_EQ(LookupSampleRate("ABC", "BHZ"), 20);
    EXPECT_EQ(LookupSampleRate("ABC", "BHN"), 40);
    EXPECT_EQ(LookupSampleRate("O'B", "BHZ"), 100);
    EXPECT_EQ(LookupSampleRate("ABC", "LHZ"), 0); // a null rate is no rate
    EXPECT_EQ(LookupSampleRate("ABC", "XXX"), 0); // no row: no log line
    EXPECT_EQ(EventLog().find("#[TARVELL] "), std::string::npos);

    m_db.Execute("DROP TABLE SITECHAN");
    EXPECT_EQ(LookupSampleRate("ABC", "BHZ"), 0); // a failing statement is logged
    EXPECT_NE(EventLog().find("#[TARVELL] "), std::string::npos);
    EXPECT_TRUE(m_view.Messages().empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, FileRegistryTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
