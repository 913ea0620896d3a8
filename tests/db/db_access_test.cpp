#include "db/db_access.h"

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/schema_names.h"
#include "support/kdx_database.h"

namespace tarvell
{
namespace
{

using test::Backend;
using test::KdxDatabase;
using test::Sandbox;

class DbAccessTest : public ::testing::TestWithParam<Backend>
{
protected:
    Sandbox m_box;
    KdxDatabase m_db{GetParam(), m_box};
};

TEST_P(DbAccessTest, FreshDatabaseHasEmptyTablesAndAdoptedNames)
{
    ASSERT_TRUE(m_db.Connected());
    EXPECT_EQ(m_db.Count(), 0);
    std::string table = g_dbNames.Table(SchemaTable::FileList);
    EXPECT_EQ(table, GetParam() == Backend::Postgres ? "filelist" : "FILELIST");
    EXPECT_TRUE(DbIsAlive());
}

TEST_P(DbAccessTest, QueryReadsTextNumbersAndNulls)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("O'NE", "BHN", NAN);
    DbOutcome outcome = m_db.Query("SELECT STA, SPS, CHAN FROM SITECHAN ORDER BY STA",
                                   {DbType::Text, DbType::Double, DbType::Text});
    ASSERT_TRUE(outcome.ok) << outcome.message;
    ASSERT_EQ(outcome.rows.size(), 2u);
    EXPECT_EQ(outcome.rows[0][0].text, "ABC");
    EXPECT_EQ(outcome.rows[0][1].number, 20);
    EXPECT_FALSE(outcome.rows[0][1].isNull);
    EXPECT_EQ(outcome.rows[1][0].text, "O'NE");
    EXPECT_TRUE(outcome.rows[1][1].isNull);
    // maxRows stops the fetch; a long text comes back whole.
    EXPECT_EQ(m_db.Query("SELECT STA FROM SITECHAN", {DbType::Text}).rows.size(), 2u);
    EXPECT_EQ(DbQuery("SELECT STA FROM SITECHAN", {DbType::Text}, 1).rows.size(), 1u);
    std::string longPath(1000, 'p');
    m_db.Execute("INSERT INTO FILELIST (CPATH) VALUES ('" + longPath + "')");
    DbOutcome path = m_db.Query("SELECT CPATH FROM FILELIST", {DbType::Text});
    ASSERT_EQ(path.rows.size(), 1u);
    EXPECT_EQ(path.rows[0][0].text, longPath);
}

TEST_P(DbAccessTest, UpdatesReportTheirRowCountAndNoMatchIsSuccess)
{
    m_db.AddSiteChan("ABC", "BHZ", 20);
    m_db.AddSiteChan("ABC", "BHN", 20);
    DbOutcome both = DbExecute("UPDATE SITECHAN SET SPS=40 WHERE STA='ABC'");
    EXPECT_TRUE(both.ok);
    EXPECT_EQ(both.rowCount, 2);
    DbOutcome none = DbExecute("DELETE FROM SITECHAN WHERE STA='XYZ'");
    EXPECT_TRUE(none.ok);
    EXPECT_EQ(none.rowCount, 0);
}

// A transaction the database ends by itself (SQLite rolls back on a full disk; the trigger
// does what the full disk does) must leave nothing behind, and the transactions after it must
// still be whole: a statement that commits on its own outside them would leave rows of
// chunks that are taken back.
TEST_P(DbAccessTest, ATransactionTheDatabaseEndsByItselfLeavesNothingAndTheNextOnesAreWhole)
{
    m_db.Execute("CREATE TABLE FAULTSWITCH (ISON INTEGER)");
    m_db.Execute("INSERT INTO FAULTSWITCH VALUES (1)");
    if (GetParam() == Backend::Sqlite)
    {
        m_db.Execute("CREATE TRIGGER FULLDISK BEFORE INSERT ON FILELIST WHEN NEW.STA='FULL' "
                     "AND (SELECT ISON FROM FAULTSWITCH)=1 BEGIN "
                     "SELECT RAISE(ROLLBACK, 'database or disk is full'); END");
    }
    else
    {
        m_db.Execute("CREATE FUNCTION FULLDISK() RETURNS trigger AS $$ BEGIN IF NEW.STA='FULL' "
                     "AND (SELECT ISON FROM FAULTSWITCH)=1 THEN RAISE EXCEPTION 'disk full'; "
                     "END IF; RETURN NEW; END $$ LANGUAGE plpgsql");
        m_db.Execute("CREATE TRIGGER FULLDISK BEFORE INSERT ON FILELIST FOR EACH ROW EXECUTE "
                     "FUNCTION FULLDISK()");
    }
    auto insert = [](const char* station)
    { return std::string("INSERT INTO FILELIST (STA, CPATH) VALUES ('") + station + "', 'p')"; };
    const std::vector<std::string> failing = {insert("A"), insert("FULL"), insert("B")};
    const std::vector<std::string> next = {insert("C"), insert("FULL"), insert("D")};
    EXPECT_FALSE(DbExecuteAll(failing).ok);
    EXPECT_FALSE(DbExecuteAll(next).ok);
    EXPECT_EQ(m_db.Count(), 0) << "a statement of a failed transaction took effect";

    m_db.Execute("UPDATE FAULTSWITCH SET ISON=0");
    const std::vector<std::string> freed = {insert("E"), insert("FULL")};
    EXPECT_TRUE(DbExecuteAll(freed).ok);
    EXPECT_EQ(m_db.Count(), 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, DbAccessTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
