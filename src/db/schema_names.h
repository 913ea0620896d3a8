#pragma once
// The names of the KDX tables and columns every statement uses, in the database's own letter
// case once adopted. Adopted once at start-up on the main thread; read by any thread after.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvell
{

enum class SchemaTable
{
    FileList,
    SiteChan,
    Site,
    Origin,
    Networks,
    LastId,
    IdSens,
    IdFreq,
    GeographicRegion,
    EventList,
    Earthquake,
    ContReg,
    Calibration,
    Arrival,
};

class CSchemaNames
{
public:
    static constexpr std::size_t kSlotCount = 166;
    static constexpr std::size_t kSlotSize = 16;

    CSchemaNames();
    virtual ~CSchemaNames();

    // Writes the default (upper-case) names into every slot, then takes over the letter case
    // of every table and column the database reports through connection (an ODBC connection
    // handle). A table or column the database does not report keeps its default.
    void Adopt(void* connection);

    // Adopts the letter case of the column names of one table.
    void AdoptColumns(SchemaTable table);

    // Writes the default names without asking a database (tests, tools).
    void SetDefaults();

    // The table's name; empty before Adopt or SetDefaults.
    const char* Table(SchemaTable table) const;

    // The name of the column whose default name is defaultName in table's block; empty when
    // the block has no such column.
    const char* Column(SchemaTable table, std::string_view defaultName) const;

private:
    void* m_connection = nullptr;
    char m_slots[kSlotCount][kSlotSize] = {};
};

extern CSchemaNames g_dbNames;

// The name of the table FILELIST, and of its column whose default name is column, as the
// database spells them: the table every data-file statement of the program reads and writes.
const char* FileListTable();
const char* FileListColumn(std::string_view column);

// "INSERT INTO FILELIST(STA, TBEGIN, TQTY, SPS, GAIN, CPATH, CH, DATATYPE, CREATER, CALIB,
// CALPER, LDDATE, FOFF)" with the names as the database spells them: the head of the insert
// of a file's row and of a loop segment's row, whose values follow in this order.
std::string FileListInsertHead();

} // namespace tarvell
