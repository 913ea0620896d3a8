#include "datafiles/loop_segments.h"

#include <cmath>

#include "db/db_access.h"
#include "db/schema_names.h"
#include "platform/operator_view.h"
#include "platform/text.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

constexpr std::size_t kMaxDiagnostic = 1024;

void ReportFailure(const char* caption, const char* firstLine, const DbOutcome& outcome)
{
    if (outcome.unreachable)
        return; // an outage is logged once, not shown per statement
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

double NumberOf(const DbCell& cell)
{
    return cell.isNull || !std::isfinite(cell.number) ? 0 : cell.number;
}

std::string AtOffset(std::string_view station, std::string_view channel, std::string_view path,
                     std::int64_t offset)
{
    return LoopSegmentCondition(station, channel, path) +
           FormatText(" and %s=%lld", FileListColumn("FOFF"), static_cast<long long>(offset));
}

} // namespace

std::string LoopSegmentCondition(std::string_view station, std::string_view channel,
                                 std::string_view path)
{
    return FormatText("%s='%s' and %s='%s' and %s='%s'", FileListColumn("STA"),
                      SqlText(station).c_str(), FileListColumn("CH"), SqlText(channel).c_str(),
                      FileListColumn("CPATH"), SqlText(ReplaceAll(path, '\\', '/')).c_str());
}

LoopSegment LastLoopSegment(std::string_view station, std::string_view channel,
                            std::string_view path)
{
    // FOFF is read as a double so that offsets of rings of 2 GiB and more survive.
    DbOutcome outcome = DbQuery(
        FormatText("select %s,%s,%s from %s where %s order by %s desc", FileListColumn("FOFF"),
                   FileListColumn("SPS"), FileListColumn("TQTY"), FileListTable(),
                   LoopSegmentCondition(station, channel, path).c_str(), FileListColumn("TBEGIN")),
        {DbType::Double, DbType::Double, DbType::Double}, 1);
    LoopSegment segment;
    segment.ok = outcome.ok;
    if (!outcome.ok || outcome.rows.empty())
        return segment;
    const DbRow& row = outcome.rows[0];
    segment.offset = OffsetOf(row[0]);
    segment.sampleRate = NumberOf(row[1]);
    segment.duration = NumberOf(row[2]);
    return segment;
}

std::vector<LoopSegmentRow> SegmentsTouching(std::string_view station, std::string_view channel,
                                             std::string_view path, std::int64_t begin,
                                             std::int64_t end, bool* ok)
{
    // Segment ends are computed from TQTY x SPS, which carries rounding: half a sample of
    // slack keeps the segment that ends exactly at begin out.
    DbOutcome outcome = DbQuery(
        FormatText("select %s,%s,%s,%s,%s,%s from %s where %s and %s<%lld and %s+%s*%s*4>%lld",
                   FileListColumn("FOFF"), FileListColumn("TBEGIN"), FileListColumn("TQTY"),
                   FileListColumn("SPS"), FileListColumn("CALIB"), FileListColumn("CALPER"),
                   FileListTable(), LoopSegmentCondition(station, channel, path).c_str(),
                   FileListColumn("FOFF"), static_cast<long long>(end), FileListColumn("FOFF"),
                   FileListColumn("TQTY"), FileListColumn("SPS"),
                   static_cast<long long>(begin + 2)),
        {DbType::Double, DbType::Double, DbType::Double, DbType::Double, DbType::Double,
         DbType::Double});
    *ok = outcome.ok;
    std::vector<LoopSegmentRow> rows;
    for (const DbRow& row : outcome.rows)
    {
        rows.push_back({{OffsetOf(row[0]), NumberOf(row[1]), NumberOf(row[2])},
                        NumberOf(row[3]),
                        NumberOf(row[4]),
                        NumberOf(row[5])});
    }
    return rows;
}

std::string ExtendLoopSegmentStatement(std::string_view station, std::string_view channel,
                                       std::string_view path, std::int64_t offset, double duration)
{
    return FormatText("update %s set %s=%f,%s=%s where %s", FileListTable(), FileListColumn("TQTY"),
                      duration, FileListColumn("LDDATE"), SqlNowTimestamp().c_str(),
                      AtOffset(station, channel, path, offset).c_str());
}

std::vector<std::string> AddLoopSegmentStatements(std::string_view station,
                                                  std::string_view channel, std::string_view path,
                                                  const SegmentPiece& segment, double sampleRate,
                                                  double calib, double calper)
{
    std::vector<std::string> statements;
    statements.push_back(DeleteLoopSegmentStatement(station, channel, path, segment.offset));
    statements.push_back(
        FileListInsertHead() +
        FormatText(" VALUES ('%s',%0.4f,%f,%f,%d,'%s','%s',%d,'DUVODIZEREVE',%f,%f,%s, %lld)",
                   SqlText(station).c_str(), segment.begin, segment.duration, sampleRate, 1,
                   SqlText(ReplaceAll(path, '\\', '/')).c_str(), SqlText(channel).c_str(), 3, calib,
                   calper, SqlNowTimestamp().c_str(), static_cast<long long>(segment.offset)));
    return statements;
}

std::string MoveLoopSegmentStatement(std::string_view station, std::string_view channel,
                                     std::string_view path, std::int64_t fromOffset,
                                     const SegmentPiece& to)
{
    return FormatText("update %s set %s=%lld,%s=%0.4f,%s=%f,%s=%s where %s", FileListTable(),
                      FileListColumn("FOFF"), static_cast<long long>(to.offset),
                      FileListColumn("TBEGIN"), to.begin, FileListColumn("TQTY"), to.duration,
                      FileListColumn("LDDATE"), SqlNowTimestamp().c_str(),
                      AtOffset(station, channel, path, fromOffset).c_str());
}

std::string DeleteLoopSegmentStatement(std::string_view station, std::string_view channel,
                                       std::string_view path, std::int64_t offset)
{
    return FormatText("delete from %s where %s", FileListTable(),
                      AtOffset(station, channel, path, offset).c_str());
}

bool ExtendLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                       std::int64_t offset, double duration)
{
    DbOutcome outcome =
        DbExecute(ExtendLoopSegmentStatement(station, channel, path, offset, duration));
    if (!outcome.ok)
    {
        ReportFailure("Обновление информации в базе данных",
                      "При попытке обновления информации в базе произошла ошибка:\r\n", outcome);
    }
    return outcome.ok;
}

bool AddLoopSegment(std::string_view station, std::string_view channel, std::string_view path,
                    double begin, double duration, double sampleRate, double calib, double calper,
                    std::int64_t position)
{
    DbOutcome outcome = DbExecuteAll(AddLoopSegmentStatements(
        station, channel, path, {position, begin, duration}, sampleRate, calib, calper));
    if (!outcome.ok)
    {
        ReportFailure("Добавление информации в базу данных",
                      "При попытке добавления информации в базу произошла ошибка:\r\n", outcome);
    }
    return outcome.ok;
}

} // namespace tarvell
