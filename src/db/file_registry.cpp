#include "db/file_registry.h"

#include <cstdlib>

#include "db/connection.h"
#include "db/db_access.h"
#include "db/schema_names.h"
#include "platform/clock.h"
#include "platform/operator_view.h"
#include "platform/text.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

// A warning box whose text is firstLine followed by the driver's message (cut as a
// 1024-byte message buffer would cut it); the acquisition thread waits until it is closed.
void ShowStatementFailure(const char* caption, const char* firstLine, const DbOutcome& failure)
{
    if (failure.unreachable)
        return; // an outage is logged once, not shown per statement
    std::string text = firstLine + failure.message.substr(0, 1023);
    OperatorView().ShowMessage(caption, text, MessageIcon::Warning, true);
}

} // namespace

std::vector<std::string> RegisterFileStatements(const FileRowValues& row)
{
    // The delete first makes the registration idempotent per path: a file made again under
    // the same path replaces its old row, whoever wrote it.
    const std::string path = ReplaceAll(SqlText(row.relativePath), '\\', '/');
    std::vector<std::string> statements;
    statements.push_back(FormatText("DELETE FROM %s WHERE %s='%s'", FileListTable(),
                                    FileListColumn("CPATH"), path.c_str()));
    const std::string stamp = SqlLocalTime(WallClockNow());
    statements.push_back(
        FileListInsertHead() +
        FormatText(" VALUES ('%s',%f,%f,%f,%d,'%s','%s',%d,'DUVODIZEREVE',%f,%f,{ts '%s'}, 512)",
                   SqlText(row.station).c_str(), row.begin, row.seconds, row.sampleRate, row.gain,
                   path.c_str(), SqlText(row.channel).c_str(), row.dataType, row.calib, row.calper,
                   stamp.c_str()));
    return statements;
}

namespace
{

// A column of a row's key besides its path, as a condition names it. Without statistics
// SQLite's planner takes the station's index for "CPATH=… and STA=…" and reads every row of
// the station's disk loop to update one; a unary plus leaves it the path's index.
std::string KeyColumn(const char* column)
{
    const std::string name = FileListColumn(column);
    return ConnectedDialect() == DbDialect::SQLite ? "+" + name : name;
}

// The rows as one statement joined to a list of values: each row found through the path's
// index, whatever the number of rows (PostgreSQL; SQLite reads the rows as JSON, below).
std::string JoinedUpdate(std::span<const FileRowValues> rows, const std::string& stamp)
{
    std::string values;
    for (const FileRowValues& row : rows)
    {
        values += FormatText("%s('%s','%s','%s',%f,%f)", values.empty() ? "" : ",",
                             SqlText(row.relativePath).c_str(), SqlText(row.station).c_str(),
                             SqlText(row.channel).c_str(), row.begin, row.seconds);
    }
    return FormatText("update %s set %s=v.column4,%s=v.column5,%s={ts '%s'},%s=512 from (values "
                      "%s) as v where %s=v.column1 and %s=v.column2 and %s=v.column3",
                      FileListTable(), FileListColumn("TBEGIN"), FileListColumn("TQTY"),
                      FileListColumn("LDDATE"), stamp.c_str(), FileListColumn("FOFF"),
                      values.c_str(), FileListColumn("CPATH"), KeyColumn("STA").c_str(),
                      KeyColumn("CH").c_str());
}

// A name as a JSON string inside an SQL literal: its double quotes escaped for JSON, its
// single quotes doubled for SQL. The caller has turned backslashes into slashes already.
std::string JsonNameLiteral(std::string_view name)
{
    std::string text = "\"";
    for (const char c : name)
    {
        if (c == '"')
            text += "\\\"";
        else if (c == '\'')
            text += "''";
        else if (static_cast<unsigned char>(c) < 0x20)
            text += FormatText("\\u%04x", static_cast<unsigned>(c));
        else
            text += c;
    }
    return text + '"';
}

// SQLite parses a list of values as a select per row, and parsing was most of a commit's
// database work under a latency bound; the rows as one JSON array are read by json_each
// through the same statement code whatever their number, each row found through the path's
// index as before.
std::string JsonJoinedUpdate(std::span<const FileRowValues> rows, const std::string& stamp)
{
    std::string array;
    for (const FileRowValues& row : rows)
    {
        array += FormatText("%s[%s,%s,%s,%f,%f]", array.empty() ? "" : ",",
                            JsonNameLiteral(ReplaceAll(row.relativePath, '\\', '/')).c_str(),
                            JsonNameLiteral(ReplaceAll(row.station, '\\', '/')).c_str(),
                            JsonNameLiteral(ReplaceAll(row.channel, '\\', '/')).c_str(), row.begin,
                            row.seconds);
    }
    return FormatText(
        "update %s set %s=v.b,%s=v.q,%s={ts '%s'},%s=512 from (select "
        "json_extract(value,'$[0]') as p,json_extract(value,'$[1]') as s,"
        "json_extract(value,'$[2]') as c,json_extract(value,'$[3]') as b,"
        "json_extract(value,'$[4]') as q from json_each('[%s]')) as v where %s=v.p and %s=v.s "
        "and %s=v.c",
        FileListTable(), FileListColumn("TBEGIN"), FileListColumn("TQTY"), FileListColumn("LDDATE"),
        stamp.c_str(), FileListColumn("FOFF"), array.c_str(), FileListColumn("CPATH"),
        KeyColumn("STA").c_str(), KeyColumn("CH").c_str());
}

// Plain SQL for any other database: CASE keeps every row the list does not name as it is,
// should one share a path. A CASE is searched row by row, so its statements stay short.
std::string CaseUpdate(std::span<const FileRowValues> rows, const std::string& stamp)
{
    std::string begins, lengths, named, paths;
    for (const FileRowValues& row : rows)
    {
        const std::string match = FormatText(
            " when %s='%s' and %s='%s' and %s='%s'", FileListColumn("CPATH"),
            SqlText(row.relativePath).c_str(), FileListColumn("STA"), SqlText(row.station).c_str(),
            FileListColumn("CH"), SqlText(row.channel).c_str());
        begins += match + FormatText(" then %f", row.begin);
        lengths += match + FormatText(" then %f", row.seconds);
        named += match + " then 1";
        paths += (paths.empty() ? "'" : ",'") + SqlText(row.relativePath) + "'";
    }
    const char* begin = FileListColumn("TBEGIN");
    const char* length = FileListColumn("TQTY");
    return FormatText("update %s set %s=case%s else %s end,%s=case%s else %s end,"
                      "%s={ts '%s'},%s=512 where %s in (%s) and case%s else 0 end=1",
                      FileListTable(), begin, begins.c_str(), begin, length, lengths.c_str(),
                      length, FileListColumn("LDDATE"), stamp.c_str(), FileListColumn("FOFF"),
                      FileListColumn("CPATH"), paths.c_str(), named.c_str());
}

} // namespace

std::string UpdateFileRowStatement(std::string_view relativePath, std::string_view station,
                                   double begin, double seconds, std::string_view channel)
{
    const std::string stamp = SqlLocalTime(WallClockNow());
    return ReplaceAll(
        FormatText("update %s set %s=%f,%s=%f,%s={ts '%s'},%s=512 where %s='%s' and %s='%s' and "
                   "%s='%s'",
                   FileListTable(), FileListColumn("TBEGIN"), begin, FileListColumn("TQTY"),
                   seconds, FileListColumn("LDDATE"), stamp.c_str(), FileListColumn("FOFF"),
                   FileListColumn("CPATH"), SqlText(relativePath).c_str(), KeyColumn("STA").c_str(),
                   SqlText(station).c_str(), KeyColumn("CH").c_str(), SqlText(channel).c_str()),
        '\\', '/');
}

std::string UpdateFileRowsStatement(std::span<const FileRowValues> rows)
{
    const std::string stamp = SqlLocalTime(WallClockNow());
    switch (ConnectedDialect())
    {
    case DbDialect::SQLite:
        return JsonJoinedUpdate(rows, stamp); // its names' separators turned already
    case DbDialect::PostgreSQL:
        return ReplaceAll(JoinedUpdate(rows, stamp), '\\', '/');
    case DbDialect::Other:
        break;
    }
    return ReplaceAll(CaseUpdate(rows, stamp), '\\', '/');
}

std::size_t FileRowsPerStatement()
{
    return ConnectedDialect() == DbDialect::Other ? 32 : 128;
}

bool RegisterFile(std::string_view relativePath, std::string_view station, double begin,
                  double seconds, double sampleRate, int gain, int dataType,
                  std::string_view channel, double calib, double calper)
{
    const FileRowValues row{relativePath, station, channel,  begin, seconds,
                            sampleRate,   gain,    dataType, calib, calper};
    DbOutcome outcome = DbExecuteAll(RegisterFileStatements(row));
    if (outcome.ok)
        return true;
    if (outcome.failedStatement == 0)
        ShowStatementFailure("Удаление информации из базы данных",
                             "При попытке удаления из базы произошла ошибка:\r\n", outcome);
    else
        ShowStatementFailure("Запись информации в базу данных",
                             "При попытке записи в базу произошла ошибка:\r\n", outcome);
    DbLogError(outcome);
    return false;
}

bool UpdateFileRow(std::string_view relativePath, std::string_view station, double begin,
                   double seconds, std::string_view channel)
{
    DbOutcome updated =
        DbExecute(UpdateFileRowStatement(relativePath, station, begin, seconds, channel));
    if (!updated.ok)
    {
        ShowStatementFailure("Обновление информации в базе данных",
                             "При попытке обновления информации в базе произошла ошибка:\r\n",
                             updated);
        return false;
    }
    return true;
}

double LookupSampleRate(std::string_view station, std::string_view channel)
{
    std::string query = FormatText(
        "select %s from %s where  %s='%s' and %s='%s'",
        g_dbNames.Column(SchemaTable::SiteChan, "SPS"), g_dbNames.Table(SchemaTable::SiteChan),
        g_dbNames.Column(SchemaTable::SiteChan, "STA"), SqlText(station).c_str(),
        g_dbNames.Column(SchemaTable::SiteChan, "CHAN"), SqlText(channel).c_str());
    // A failed statement, no row, or a null rate: the channel has no rate.
    return DbQueryNumber(query).value_or(0.0);
}

} // namespace tarvell
