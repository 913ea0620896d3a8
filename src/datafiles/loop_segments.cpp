#include "datafiles/loop_segments.h"

#include <cmath>

#include "platform/text_format.h"
#include "db/db_access.h"
#include "db/schema_names.h"
#include "platform/operator_view.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

constexpr std::size_t kMaxDiagnostic = 1024;

const char* FileList()
{
    return g_dbNames.Table(SchemaTable::FileList);
}

const char* Col(const char* name)
{
    return g_dbNames.Column(SchemaTable::FileList, name);
}

void ReportFailure(const char* caption, const char* firstLine, const DbOutcome& outcome)
{
    std::string text = firstLine;
    text += outcome.message.substr(0, kMaxDiagnostic);
    OperatorView().ShowMessage(caption, text, MessageIcon::Warning, true);
}

// An offset read from the database as a double; anything that is no byte offset reads as 0.
std::int64_t OffsetOf(const DbCell& cell)
{
    if (cell.isNull || !std::isfinite(cell.number) || cell.number < 0 || cell.number > 9.0e18)
        return 0;
    return static_cast<std::int64_t>(cell.number);
}

} // namespace

std::string LoopSegmentCondition(std::string_view station, std::string_view channel,
                                 std::string_view path)
{
    return FormatText("%s='%s' and %s='%s' and %s='%s'", Col("STA"), SqlText(station).c_str(),
                     Col("CH"), SqlText(channel).c_str(), Col("CPATH"),
                     SqlText(ReplaceAll(path, '\\', '/')).c_str());
}

LoopSegment LastLoopSegment(std::string_view station, std::string_view channel,
                            std::string_view path)
{
    // FOFF is read as a double so that offsets of rings of 2 GiB and more survive.
    DbOutcome outcome =
        DbQuery(FormatText("select %s,%s,%s from %s where %s order by %s desc", Col("FOFF"),
                          Col("SPS"), Col("TQTY"), FileList(),
                          LoopSegmentCondition(station, channel, path).c_str(), Col("TBEGIN")),
                {DbType::Double, DbType::Double, DbType::Double}, 1);
    LoopSegment segment;
    segment.ok = outcome.ok;
    if (!outcome.ok || outcome.rows.empty())
        return segment;
    const DbRow& row = outcome.rows[0];
    segment.offset = OffsetOf(row[0]);
    segment.sampleRate = row[1].isNull ? 0 : row[1].number;
    segment.duration = row[2].isNull ? 0 : row[2].number;
    return segment;
}

bool ExtendLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                       std::int64_t offset, double duration)
{
    const std::string now = SqlNowTimestamp();
    DbOutcome outcome = DbExecute(FormatText(
        "update %s set %s=%f,%s=%s where %s and %s=%lld", FileList(), Col("TQTY"), duration,
        Col("LDDATE"), now.c_str(), LoopSegmentCondition(station, channel, path).c_str(),
        Col("FOFF"), static_cast<long long>(offset)));
    if (!outcome.ok)
    {
        ReportFailure("Обновление информации в базе данных",
                      "При попытке обновления информации в базе произошла ошибка:\r\n", outcome);
    }
    return outcome.ok;
}

bool AddLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                    double begin, double duration, double sampleRate, double calib, double calper,
                    std::int64_t position, bool wrapped)
{
    const std::string where = LoopSegmentCondition(station, channel, path);
    if (wrapped)
    {
        // One hour of samples from the write position: 3600 seconds x 4 bytes per sample.
        const double end = static_cast<double>(position) + sampleRate * 14400;
        DbOutcome deleted =
            DbExecute(FormatText("delete from %s where %s and %s>=%lld and %s<%lld", FileList(),
                                where.c_str(), Col("FOFF"), static_cast<long long>(position),
                                Col("FOFF"), static_cast<long long>(std::trunc(end))));
        if (!deleted.ok)
        {
            ReportFailure("Удаление информации из базы данных",
                          "При попытке удаления информации из базы произошла ошибка:\r\n", deleted);
            return false;
        }
    }

    const std::string now = SqlNowTimestamp();
    DbOutcome inserted = DbExecute(FormatText(
        "INSERT INTO %s(%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s) VALUES "
        "('%s',%0.4f,%f,%f,%d,'%s','%s',%d,'DUVODIZEREVE',%f,%f,%s, %lld)",
        FileList(), Col("STA"), Col("TBEGIN"), Col("TQTY"), Col("SPS"), Col("GAIN"), Col("CPATH"),
        Col("CH"), Col("DATATYPE"), Col("CREATER"), Col("CALIB"), Col("CALPER"), Col("LDDATE"),
        Col("FOFF"), SqlText(station).c_str(), begin, duration, sampleRate, 1,
        SqlText(ReplaceAll(path, '\\', '/')).c_str(), SqlText(channel).c_str(), 3, calib, calper,
        now.c_str(), static_cast<long long>(position)));
    if (!inserted.ok)
    {
        ReportFailure("Добавление информации в базу данных",
                      "При попытке добавления информации в базу произошла ошибка:\r\n", inserted);
    }
    return inserted.ok;
}

bool DeleteOverwrittenSegments(std::string_view station, std::string_view channel,
                               std::string_view path, std::int64_t begin, std::int64_t end,
                               std::int64_t keepOffset)
{
    // Segment ends are computed from TQTY x SPS, which carries rounding: half a sample of
    // slack keeps the segment that ends exactly at begin.
    DbOutcome deleted = DbExecute(
        FormatText("delete from %s where %s and %s<>%lld and %s<%lld and %s+%s*%s*4>%lld",
                  FileList(), LoopSegmentCondition(station, channel, path).c_str(), Col("FOFF"),
                  static_cast<long long>(keepOffset), Col("FOFF"), static_cast<long long>(end),
                  Col("FOFF"), Col("TQTY"), Col("SPS"), static_cast<long long>(begin + 2)));
    if (!deleted.ok)
    {
        ReportFailure("Удаление информации из базы данных",
                      "При попытке удаления информации из базы произошла ошибка:\r\n", deleted);
    }
    return deleted.ok;
}

} // namespace tarvell
