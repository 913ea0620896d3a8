#include "db/schema_names.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "db/odbc_private.h"
#include "platform/text.h"

namespace tarvell
{

CSchemaNames g_dbNames;

namespace
{

struct TableBlock
{
    const char* table;
    std::size_t firstSlot;
    std::size_t slotCount; // the table name's slots and one slot per column
    std::size_t nameSlots; // 2 for GEOGRAPHIC_REGION (a 32-byte field), else 1
    std::initializer_list<const char*> columns;
};

// The 14 KDX tables in slot order: 166 slots of 16 bytes.
const std::array<TableBlock, 14> kBlocks = {{
    {"FILELIST",
     0,
     17,
     1,
     {"NINDEX", "STA", "TBEGIN", "TQTY", "SPS", "GAIN", "CPATH", "COMMENT", "DATATYPE", "CH",
      "CREATER", "LDDATE", "FOFF", "CALIB", "CALPER", "LCODE"}},
    {"SITECHAN",
     17,
     16,
     1,
     {"NINDEX", "STA", "CHAN", "NGROUP", "CHANINDEX", "EDEPTH", "LAT", "LON", "SPS", "HANG", "VANG",
      "DESCR", "CALIBFILE", "LDDATE", "LCODE"}},
    {"SITE",
     33,
     12,
     1,
     {"NINDEX", "STA", "NGROUPS", "ELEV", "LAT", "LON", "DESCR", "LDDATE", "DNORTH", "DEAST",
      "REFSTA"}},
    {"ORIGIN",
     45,
     16,
     1,
     {"EVENTID", "LAT", "LON", "EDEPTH", "ORIGINTIME", "RMS", "DH", "DZ", "COMMENT", "LDDATE",
      "ORID", "MB", "MBUNC", "MS", "MSUNC"}},
    {"NETWORKS", 61, 6, 1, {"NINDEX", "NETNAME", "NETTYPE", "NETLIST", "LDDATE"}},
    {"LASTID", 67, 4, 1, {"KEYNAME", "KEYVALUE", "LDDATE"}},
    {"ID_SENS", 71, 4, 1, {"ID_SENS", "SENS_UNITS", "CALIB_UNITS"}},
    {"ID_FREQ", 75, 3, 1, {"ID_FREQ", "FREQ_UNITS"}},
    {"GEOGRAPHIC_REGION", 78, 6, 2, {"COD2", "REGION", "NAME", "COMMENT"}},
    {"EVENTLIST", 84, 6, 1, {"NINDEX", "STA", "TBEGIN", "EVENT_TYPE", "LDDATE"}},
    {"EARTHQUAKE",
     90,
     19,
     1,
     {"N", "NINYEAR", "REGION", "DATE_IDC", "DS", "LAT", "LON", "DEPTH", "MS", "MPV", "I0", "COM",
      "FEEL", "RTIME", "NSTA", "NMB", "NMS", "NCSEM"}},
    {"CONTREG", 109, 7, 1, {"LAT1", "LON1", "LAT2", "LON2", "NAME", "EPN"}},
    {"CALIBRATION",
     116,
     14,
     1,
     {"NETWORK", "LOCATION", "STA", "CHAN", "STARTDATE", "ENDDATE", "SENS", "ID_SENS", "FREQ",
      "ID_FREQ", "SAC", "FAP", "LDDATE"}},
    {"ARRIVAL", 130, 36, 1, {"NINDEX",   "FLAG",   "EVENTID",  "NUMB",     "STA",       "CHAN",
                             "IPHASE",   "ITIME",  "DELTIM",   "AZIMUTH",  "SLOW",      "EMA",
                             "RECT",     "FM",     "IM_EM",    "PER",      "RESIDUALS", "AMPL",
                             "LDDATE",   "WGT",    "ARID",     "MS",       "MB",        "AMPTIME",
                             "DIST",     "CODA",   "REGCLASS", "MCODA",    "MPSP",      "MPLP",
                             "CHANTYPE", "REMARK", "AFILTYPE", "PFILTYPE", "MWA"}},
}};

const TableBlock& Block(SchemaTable table)
{
    return kBlocks[static_cast<std::size_t>(table)];
}

// Reads every row of result column `column` as text into a 64-byte buffer (names longer than
// 63 characters are cut) and calls take for each.
template <typename Take> void FetchNames(SQLHSTMT statement, SQLUSMALLINT column, Take take)
{
    SQLCHAR name[64] = {};
    SQLLEN indicator = 0;
    if (!OdbcCheck(SQLBindCol(statement, column, SQL_C_CHAR, name, sizeof name, &indicator),
                   SQL_HANDLE_STMT, statement))
        return;
    for (;;)
    {
        if (!OdbcCheck(SQLFetch(statement), SQL_HANDLE_STMT, statement))
            break;
        if (indicator == SQL_NULL_DATA)
            continue;
        take(std::string_view(reinterpret_cast<const char*>(name)));
    }
    (void)OdbcCheck(SQLCloseCursor(statement), SQL_HANDLE_STMT, statement);
}

SQLCHAR* TableTypeArgument()
{
    static char tableType[] = "'TABLE'";
    return reinterpret_cast<SQLCHAR*>(tableType);
}

} // namespace

bool ListTableNames(SQLHDBC connection, std::vector<std::string>& names)
{
    COdbcStatement statement;
    if (!OdbcCheck(statement.Allocate(connection), SQL_HANDLE_DBC, connection) ||
        !OdbcCheck(SQLTables(statement.Get(), nullptr, 0, nullptr, 0, nullptr, 0,
                             TableTypeArgument(), SQL_NTS),
                   SQL_HANDLE_STMT, statement.Get()))
        return false;
    FetchNames(statement.Get(), 3, [&names](std::string_view name) { names.emplace_back(name); });
    return true;
}

CSchemaNames::CSchemaNames() = default;

CSchemaNames::~CSchemaNames() = default;

void CSchemaNames::SetDefaults()
{
    char* slots = reinterpret_cast<char*>(m_slots);
    std::memset(slots, 0, sizeof m_slots);
    for (const TableBlock& block : kBlocks)
    {
        CopyToField(slots + block.firstSlot * kSlotSize, block.nameSlots * kSlotSize, block.table);
        std::size_t slot = block.firstSlot + block.nameSlots;
        for (const char* column : block.columns)
            CopyToField(slots + slot++ * kSlotSize, kSlotSize, column);
    }
}

void CSchemaNames::Adopt(void* connection)
{
    CDbOperation operation;
    SetDefaults();
    m_connection = connection;
    SQLHDBC hdbc = static_cast<SQLHDBC>(connection);

    std::vector<std::string> tables;
    if (!ListTableNames(hdbc, tables))
        return;
    char* slots = reinterpret_cast<char*>(m_slots);
    for (const std::string& table : tables)
    {
        // The first table slot whose current text equals the reported name upper-cased takes
        // the reported spelling.
        std::string upper = ToUpperAscii(table);
        for (const TableBlock& block : kBlocks)
        {
            char* field = slots + block.firstSlot * kSlotSize;
            std::size_t size = block.nameSlots * kSlotSize;
            if (FieldText(field, size) == upper)
            {
                CopyToField(field, size, table);
                break;
            }
        }
    }
    for (std::size_t i = 0; i < kBlocks.size(); ++i)
        AdoptColumns(static_cast<SchemaTable>(i));
}

void CSchemaNames::AdoptColumns(SchemaTable table)
{
    CDbOperation operation;
    const TableBlock& block = Block(table);
    COdbcStatement statement;
    const SQLHDBC connection = static_cast<SQLHDBC>(m_connection);
    if (!OdbcCheck(statement.Allocate(connection), SQL_HANDLE_DBC, connection))
        return;
    std::string tableName(Table(table));
    if (!OdbcCheck(SQLColumns(statement.Get(), nullptr, 0, nullptr, 0,
                              reinterpret_cast<SQLCHAR*>(tableName.data()), SQL_NTS, nullptr, 0),
                   SQL_HANDLE_STMT, statement.Get()))
        return;
    char* slots = reinterpret_cast<char*>(m_slots);
    std::size_t first = block.firstSlot + block.nameSlots;
    std::size_t end = block.firstSlot + block.slotCount;
    FetchNames(statement.Get(), 4,
               [&](std::string_view column)
               {
                   std::string upper = ToUpperAscii(column);
                   for (std::size_t slot = first; slot < end; ++slot)
                   {
                       char* field = slots + slot * kSlotSize;
                       if (FieldText(field, kSlotSize) == upper)
                       {
                           CopyToField(field, kSlotSize, column);
                           break;
                       }
                   }
               });
}

const char* CSchemaNames::Table(SchemaTable table) const
{
    return reinterpret_cast<const char*>(m_slots) + Block(table).firstSlot * kSlotSize;
}

const char* CSchemaNames::Column(SchemaTable table, std::string_view defaultName) const
{
    const TableBlock& block = Block(table);
    std::size_t slot = block.firstSlot + block.nameSlots;
    for (const char* column : block.columns)
    {
        if (defaultName == column)
            return reinterpret_cast<const char*>(m_slots) + slot * kSlotSize;
        ++slot;
    }
    return "";
}

const char* FileListTable()
{
    return g_dbNames.Table(SchemaTable::FileList);
}

const char* FileListColumn(std::string_view column)
{
    return g_dbNames.Column(SchemaTable::FileList, column);
}

std::string FileListInsertHead()
{
    std::string head = std::string("INSERT INTO ") + FileListTable() + "(";
    const char* columns[] = {"STA",      "TBEGIN",  "TQTY",  "SPS",    "GAIN",   "CPATH", "CH",
                             "DATATYPE", "CREATER", "CALIB", "CALPER", "LDDATE", "FOFF"};
    for (const char* column : columns)
    {
        if (column != columns[0])
            head += ", ";
        head += FileListColumn(column);
    }
    return head + ")";
}

} // namespace tarvell
