#include "db/schema_names.h"

#include <string>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/file_registry.h"
#include "db_test_base.h"

namespace tarvell
{
namespace
{

using test::DbTest;

std::ptrdiff_t SlotOf(const CSchemaNames& names, const char* name)
{
    return (name - names.Table(SchemaTable::FileList)) /
           static_cast<std::ptrdiff_t>(CSchemaNames::kSlotSize);
}

TEST(SchemaNamesTest, DefaultsFillTheFourteenBlocksOfTheSlotTable)
{
    CSchemaNames names;
    EXPECT_STREQ(names.Table(SchemaTable::FileList), ""); // empty until set
    names.SetDefaults();

    struct Expected
    {
        SchemaTable table;
        const char* name;
        std::ptrdiff_t firstSlot;
        const char* firstColumn;
        const char* lastColumn;
        std::ptrdiff_t lastSlot;
    };
    const Expected blocks[] = {
        {SchemaTable::FileList, "FILELIST", 0, "NINDEX", "LCODE", 16},
        {SchemaTable::SiteChan, "SITECHAN", 17, "NINDEX", "LCODE", 32},
        {SchemaTable::Site, "SITE", 33, "NINDEX", "REFSTA", 44},
        {SchemaTable::Origin, "ORIGIN", 45, "EVENTID", "MSUNC", 60},
        {SchemaTable::Networks, "NETWORKS", 61, "NINDEX", "LDDATE", 66},
        {SchemaTable::LastId, "LASTID", 67, "KEYNAME", "LDDATE", 70},
        {SchemaTable::IdSens, "ID_SENS", 71, "ID_SENS", "CALIB_UNITS", 74},
        {SchemaTable::IdFreq, "ID_FREQ", 75, "ID_FREQ", "FREQ_UNITS", 77},
        {SchemaTable::GeographicRegion, "GEOGRAPHIC_REGION", 78, "COD2", "COMMENT", 83},
        {SchemaTable::EventList, "EVENTLIST", 84, "NINDEX", "LDDATE", 89},
        {SchemaTable::Earthquake, "EARTHQUAKE", 90, "N", "NCSEM", 108},
        {SchemaTable::ContReg, "CONTREG", 109, "LAT1", "EPN", 115},
        {SchemaTable::Calibration, "CALIBRATION", 116, "NETWORK", "LDDATE", 129},
        {SchemaTable::Arrival, "ARRIVAL", 130, "NINDEX", "MWA", 165},
    };
    for (const Expected& block : blocks)
    {
        SCOPED_TRACE(block.name);
        EXPECT_STREQ(names.Table(block.table), block.name); // GEOGRAPHIC_REGION: 17 of 31
        EXPECT_EQ(SlotOf(names, names.Table(block.table)), block.firstSlot);
        std::ptrdiff_t nameSlots = block.table == SchemaTable::GeographicRegion ? 2 : 1;
        EXPECT_EQ(SlotOf(names, names.Column(block.table, block.firstColumn)),
                  block.firstSlot + nameSlots);
        EXPECT_EQ(SlotOf(names, names.Column(block.table, block.lastColumn)), block.lastSlot);
    }
    EXPECT_STREQ(names.Column(SchemaTable::Earthquake, "I0"), "I0");
    EXPECT_STREQ(names.Column(SchemaTable::FileList, "CHAN"), ""); // not a FILELIST column
    EXPECT_STREQ(names.Column(SchemaTable::SiteChan, "CHAN"), "CHAN");
}

TEST(SchemaNamesTest, AdoptionWithoutAConnectionKeepsTheDefaults)
{
    CSchemaNames names;
    names.Adopt(nullptr);
    EXPECT_STREQ(names.Table(SchemaTable::FileList), "FILELIST");
    EXPECT_STREQ(names.Column(SchemaTable::Arrival, "MWA"), "MWA");
}

using SchemaAdoptionTest = DbTest;

TEST_P(SchemaAdoptionTest, AMissingTableKeepsItsDefaultsAndOtherTablesAreIgnored)
{
    m_db.Execute("DROP TABLE SITECHAN");
    m_db.Execute("CREATE TABLE Unrelated (sta VARCHAR(8), chan VARCHAR(8))");
    DbAdoptNames();
    EXPECT_STREQ(g_dbNames.Table(SchemaTable::SiteChan), "SITECHAN");
    EXPECT_STREQ(g_dbNames.Column(SchemaTable::SiteChan, "STA"), "STA");
    EXPECT_STREQ(g_dbNames.Column(SchemaTable::SiteChan, "CHAN"), "CHAN");
    // The database's own case for the tables it has: PostgreSQL folds unquoted names.
    const char* expected = IsPostgres() ? "cpath" : "CPATH";
    EXPECT_STREQ(g_dbNames.Column(SchemaTable::FileList, "CPATH"), expected);
    EXPECT_STREQ(g_dbNames.Table(SchemaTable::Arrival), IsPostgres() ? "arrival" : "ARRIVAL");
}

TEST_P(SchemaAdoptionTest, StatementsUseTheNamesAsTheDatabaseSpellsThem)
{
    if (IsPostgres())
    {
        // Unquoted names come back lower case, and the statements use them.
        EXPECT_STREQ(g_dbNames.Table(SchemaTable::FileList), "filelist");
        EXPECT_STREQ(g_dbNames.Column(SchemaTable::FileList, "TBEGIN"), "tbegin");
    }
    else
    {
        m_db.Execute("DROP TABLE FILELIST");
        m_db.Execute("CREATE TABLE FileList (STA VARCHAR(16), TBEGIN DOUBLE, TQTY DOUBLE, "
                     "SPS DOUBLE, GAIN INTEGER, cpath VARCHAR(1024), CH VARCHAR(16), "
                     "DATATYPE INTEGER, CREATER VARCHAR(16), LDDATE TIMESTAMP, FOFF INTEGER, "
                     "CALIB DOUBLE, CALPER DOUBLE)");
        DbAdoptNames();
        EXPECT_STREQ(g_dbNames.Table(SchemaTable::FileList), "FileList");
        EXPECT_STREQ(g_dbNames.Column(SchemaTable::FileList, "CPATH"), "cpath");
        EXPECT_STREQ(g_dbNames.Column(SchemaTable::FileList, "STA"), "STA");
    }
    EXPECT_TRUE(RegisterFile("ABC/13/f.ABC", "ABC", 1, 1, 20, 1, 3, "BHZ", 1, 1));
    EXPECT_TRUE(UpdateFileRow("ABC/13/f.ABC", "ABC", 1, 2, "BHZ"));
    EXPECT_EQ(m_db.Count("TQTY=2"), 1);
}

INSTANTIATE_TEST_SUITE_P(Backends, SchemaAdoptionTest, ::testing::ValuesIn(test::AllBackends()),
                         test::BackendParamName());

} // namespace
} // namespace tarvell
