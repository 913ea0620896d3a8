#include "db/file_registry.h"

#include "db/db_access.h"
#include "platform/text_format.h"
#include "db/schema_names.h"
#include "platform/clock.h"
#include "platform/operator_view.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

const char* FileList(const char* column)
{
    return g_dbNames.Column(SchemaTable::FileList, column);
}

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

bool RegisterFile(std::string_view relativePath, std::string_view station, double begin,
                  double seconds, double sampleRate, int gain, int dataType,
                  std::string_view channel, double calib, double calper)
{
    // The delete first makes the registration idempotent per path: a file made again under
    // the same path replaces its old row, whoever wrote it.
    std::string path = SqlText(relativePath);
    std::string remove = ReplaceAll(FormatText("DELETE FROM %s WHERE %s='%s'",
                                               g_dbNames.Table(SchemaTable::FileList),
                                               FileList("CPATH"), path.c_str()),
                                    '\\', '/');
    DbOutcome removed = DbExecute(remove);
    if (!removed.ok)
    {
        ShowStatementFailure("Удаление информации из базы данных",
                             "При попытке удаления из базы произошла ошибка:\r\n", removed);
        DbLogError(removed);
        return false;
    }

    std::string stamp = SqlLocalTime(WallClockNow());
    std::string slashPath = ReplaceAll(path, '\\', '/');
    std::string insert = FormatText(
        "INSERT INTO %s(%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s) VALUES "
        "('%s',%f,%f,%f,%d,'%s','%s',%d,'DUVODIZEREVE',%f,%f,{ts '%s'}, 512)",
        g_dbNames.Table(SchemaTable::FileList), FileList("STA"), FileList("TBEGIN"),
        FileList("TQTY"), FileList("SPS"), FileList("GAIN"), FileList("CPATH"), FileList("CH"),
        FileList("DATATYPE"), FileList("CREATER"), FileList("CALIB"), FileList("CALPER"),
        FileList("LDDATE"), FileList("FOFF"), SqlText(station).c_str(), begin, seconds, sampleRate,
        gain, slashPath.c_str(), SqlText(channel).c_str(), dataType, calib, calper, stamp.c_str());
    DbOutcome inserted = DbExecute(insert);
    if (!inserted.ok)
    {
        ShowStatementFailure("Запись информации в базу данных",
                             "При попытке записи в базу произошла ошибка:\r\n", inserted);
        DbLogError(inserted);
        return false;
    }
    return true;
}

bool UpdateFileRow(std::string_view relativePath, std::string_view station, double begin,
                   double seconds, std::string_view channel)
{
    std::string stamp = SqlLocalTime(WallClockNow());
    std::string update = ReplaceAll(
        FormatText("update %s set %s=%f,%s=%f,%s={ts '%s'},%s=512 where %s='%s' and %s='%s' and "
                   "%s='%s'",
                   g_dbNames.Table(SchemaTable::FileList), FileList("TBEGIN"), begin,
                   FileList("TQTY"), seconds, FileList("LDDATE"), stamp.c_str(), FileList("FOFF"),
                   FileList("CPATH"), SqlText(relativePath).c_str(), FileList("STA"),
                   SqlText(station).c_str(), FileList("CH"), SqlText(channel).c_str()),
        '\\', '/');
    DbOutcome updated = DbExecute(update);
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
