#include "datafiles/file_header.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "platform/text_format.h"
#include "datafiles/loop_segments.h"
#include "db/db_access.h"
#include "db/schema_names.h"
#include "platform/time_conversions.h"

namespace tarvell
{
namespace
{

struct Calendar
{
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0; // truncated
};

Calendar CalendarOf(double time)
{
    Calendar c;
    float seconds = 0;
    EpochToCalendar(time, &c.year, &c.month, &c.day, &c.hour, &c.minute, &seconds);
    c.second = static_cast<int>(seconds);
    return c;
}

// Copies the header text into the 512 bytes: at most 511 bytes of text, so at least one
// NUL byte always follows the last line.
void Store(FileHeader& header, const std::string& text)
{
    header.fill(0);
    std::memcpy(header.data(), text.data(), std::min(text.size(), kHeaderSize - 1));
}

std::string Tail(double sampleRate, const char* rateFormat, std::string_view station,
                 std::string_view channel)
{
    std::string text = "Data Type=FLOAT\r\n";
    text += FormatText(rateFormat, sampleRate);
    text += FormatText("Gain=%d\r\n", 1);
    text += "Station=" + std::string(station) + "\r\n";
    text += "Channels=\"" + std::string(channel) + "\"\r\n";
    return text;
}

} // namespace

void BuildFileHeader(FileHeader& header, std::string_view station, std::string_view channel,
                     double sampleRate, double start, double duration)
{
    const Calendar begin = CalendarOf(start);
    const Calendar length = CalendarOf(duration);
    std::string text = "[KDX5.x]\r\n";
    text += "Data offset=512\r\n";
    text += FormatText("Start time=%02d %02d %02d\r\n", begin.hour, begin.minute, begin.second);
    text += FormatText("Start date=%02d %02d %04d\r\n", begin.day, begin.month, begin.year);
    text +=
        FormatText("Time duration=%02d %02d %02d\r\n", length.hour, length.minute, length.second);
    text += Tail(sampleRate, "SpS=%f\r\n", station, channel);
    Store(header, text);
}

void BuildLoopHeader(FileHeader& header, std::string_view station, std::string_view channel,
                     double sampleRate, std::string_view path)
{
    header.fill(0);
    const std::string where = LoopSegmentCondition(station, channel, path);
    const char* table = g_dbNames.Table(SchemaTable::FileList);
    const char* foff = g_dbNames.Column(SchemaTable::FileList, "FOFF");
    const char* tbegin = g_dbNames.Column(SchemaTable::FileList, "TBEGIN");
    const char* tqty = g_dbNames.Column(SchemaTable::FileList, "TQTY");

    DbOutcome earliest = DbQuery(FormatText("select %s,%s from %s where %s order by %s", foff,
                                            tbegin, table, where.c_str(), tbegin),
                                 {DbType::Double, DbType::Double}, 1);
    if (!earliest.ok || earliest.rows.empty())
        return;
    DbOutcome latest = DbQuery(FormatText("select %s,%s from %s where %s order by %s desc", tqty,
                                          tbegin, table, where.c_str(), tbegin),
                               {DbType::Double, DbType::Double}, 1);
    if (!latest.ok || latest.rows.empty())
        return;

    // An offset that is no byte position (0 from an older writer, null, damaged) reads as
    // the start of the data.
    const DbCell& foffCell = earliest.rows[0][0];
    double offset = foffCell.number;
    if (foffCell.isNull || !std::isfinite(offset) || offset <= 0 || offset > 9.0e18)
        offset = static_cast<double>(kHeaderSize);
    const double firstBegin = earliest.rows[0][1].number;
    const double lastDuration = latest.rows[0][0].number;
    const double lastBegin = latest.rows[0][1].number;
    const double span = lastBegin != 0 ? lastBegin + lastDuration - firstBegin : lastDuration;

    const Calendar begin = CalendarOf(firstBegin);
    const Calendar length = CalendarOf(span);
    std::string text = "[KDX5.x]\r\n";
    text += FormatText("Data offset=%lld\r\n", static_cast<long long>(offset));
    text += FormatText("Start time=%02d %02d %02d\r\n", begin.hour, begin.minute, begin.second);
    text += FormatText("Start date=%02d %02d %04d\r\n", begin.day, begin.month, begin.year);
    text += FormatText("Time duration=%02d %02d:%02d:%02d\r\n", length.day, length.hour,
                       length.minute, length.second);
    text += Tail(sampleRate, "SpS=%0.2f\r\n", station, channel);
    Store(header, text);
}

} // namespace tarvell
