#include "availability.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>

#include <nlohmann/json.hpp>

#include "db/db_access.h"
#include "db/schema_names.h"
#include "platform/text.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

using Json = nlohmann::ordered_json;

// "2026-12-07T13:05:00.000", UTC, milliseconds rounded.
std::string IsoTime(double time)
{
    if (!std::isfinite(time))
        return "-";
    const double rounded = std::round(time * 1000) / 1000;
    const auto whole = static_cast<std::time_t>(std::floor(rounded));
    const int milliseconds = static_cast<int>(std::lround((rounded - std::floor(rounded)) * 1000));
    std::tm fields{};
    gmtime_r(&whole, &fields);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &fields);
    return FormatText("%s.%03d", text, std::min(milliseconds, 999));
}

// Merges one channel's spans (ordered by begin) into covered stretches: overlaps, and
// holes up to joinTolerance, join them.
std::vector<TimeStretch> Stretches(const std::vector<const FileSpan*>& spans, double joinTolerance)
{
    std::vector<TimeStretch> stretches;
    for (const FileSpan* span : spans)
    {
        const double end = span->begin + span->seconds;
        if (!stretches.empty() && span->begin - stretches.back().end <= joinTolerance)
        {
            stretches.back().end = std::max(stretches.back().end, end);
            continue;
        }
        stretches.push_back({span->begin, end});
    }
    return stretches;
}

ChannelAvailability Report(const std::vector<const FileSpan*>& spans,
                           const AvailabilityWindow& window, double gapSeconds)
{
    ChannelAvailability report;
    report.station = spans.front()->station;
    report.channel = spans.front()->channel;
    const double rate = spans.back()->rate;
    const double interval = rate > 0 ? 1.0 / rate : 0;
    const double threshold = gapSeconds >= 0 ? gapSeconds : 1.5 * interval;
    // The covered time is the data itself (overlaps once); the threshold only decides which
    // holes between the data are reported as gaps. Row times carry float rounding.
    const std::vector<TimeStretch> all = Stretches(spans, 1e-6);

    double cursor = window.from; // where the last stretch inside the window ended
    for (const TimeStretch& stretch : all)
    {
        const double begin = std::max(stretch.begin, window.from);
        const double end = std::min(stretch.end, window.to);
        if (end <= begin)
            continue;
        if (report.covered.empty())
            report.firstSample = begin;
        if (begin - cursor > threshold)
            report.gaps.push_back({cursor, begin});
        report.covered.push_back({begin, end});
        report.coveredSeconds += end - begin;
        cursor = end;
    }
    if (report.covered.empty())
    {
        report.gaps.push_back({window.from, window.to});
        return report;
    }
    // The window's end counts only when it lies after the channel's last sample interval.
    if (window.to - cursor > threshold)
        report.gaps.push_back({cursor, window.to});
    report.lastSample = report.covered.back().end - interval;
    const double length = window.to - window.from;
    report.share = length > 0 ? std::min(1.0, report.coveredSeconds / length) : 1.0;
    return report;
}

} // namespace

std::vector<ChannelAvailability> ComputeAvailability(std::vector<FileSpan> spans, double from,
                                                     double to, double gapSeconds,
                                                     AvailabilityWindow* window)
{
    std::stable_sort(spans.begin(), spans.end(),
                     [](const FileSpan& a, const FileSpan& b)
                     {
                         if (a.station != b.station)
                             return a.station < b.station;
                         if (a.channel != b.channel)
                             return a.channel < b.channel;
                         return a.begin < b.begin;
                     });
    double earliest = INFINITY;
    double latest = -INFINITY;
    std::map<std::pair<std::string, std::string>, std::vector<const FileSpan*>> channels;
    for (const FileSpan& span : spans)
    {
        if (!std::isfinite(span.begin) || !std::isfinite(span.seconds) || span.seconds <= 0)
            continue;
        earliest = std::min(earliest, span.begin);
        latest = std::max(latest, span.begin + span.seconds);
        channels[{span.station, span.channel}].push_back(&span);
    }
    window->from = std::isnan(from) ? earliest : from;
    window->to = std::isnan(to) ? latest : to;
    std::vector<ChannelAvailability> reports;
    if (channels.empty() || !(window->to > window->from))
        return reports;
    for (const auto& [name, channelSpans] : channels)
        reports.push_back(Report(channelSpans, *window, gapSeconds));
    return reports;
}

std::string AvailabilityText(const std::vector<ChannelAvailability>& channels,
                             const AvailabilityWindow& window)
{
    // Without a row (of the station or channel asked for) there is no default window.
    if (!std::isfinite(window.from) || !std::isfinite(window.to))
        return "no FILELIST rows of the channels asked for\n";
    std::string out = FormatText("window %s .. %s (%.3f s)\n", IsoTime(window.from).c_str(),
                                 IsoTime(window.to).c_str(), window.to - window.from);
    if (channels.empty())
        out += "no FILELIST rows of the channels asked for in the window\n";
    for (const ChannelAvailability& channel : channels)
    {
        if (channel.covered.empty())
        {
            out += FormatText("%-7s %-7s no data in the window\n", channel.station.c_str(),
                              channel.channel.c_str());
            continue;
        }
        out += FormatText("%-7s %-7s first %s last %s covered %.3f %% gaps %zu\n",
                          channel.station.c_str(), channel.channel.c_str(),
                          IsoTime(channel.firstSample).c_str(), IsoTime(channel.lastSample).c_str(),
                          channel.share * 100, channel.gaps.size());
        for (const TimeStretch& gap : channel.gaps)
        {
            out += FormatText("  gap %s .. %s (%.3f s)\n", IsoTime(gap.begin).c_str(),
                              IsoTime(gap.end).c_str(), gap.end - gap.begin);
        }
    }
    return out;
}

std::string AvailabilityJson(const std::vector<ChannelAvailability>& channels,
                             const AvailabilityWindow& window)
{
    Json list = Json::array();
    for (const ChannelAvailability& channel : channels)
    {
        Json gaps = Json::array();
        for (const TimeStretch& gap : channel.gaps)
            gaps.push_back(
                {{"begin", gap.begin}, {"end", gap.end}, {"seconds", gap.end - gap.begin}});
        const bool any = !channel.covered.empty();
        list.push_back({{"station", channel.station},
                        {"channel", channel.channel},
                        {"first_sample", any ? Json(channel.firstSample) : Json(nullptr)},
                        {"last_sample", any ? Json(channel.lastSample) : Json(nullptr)},
                        {"covered_seconds", channel.coveredSeconds},
                        {"share", channel.share},
                        {"gaps", std::move(gaps)}});
    }
    auto time = [](double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); };
    const Json out = {
        {"from", time(window.from)}, {"to", time(window.to)}, {"channels", std::move(list)}};
    return out.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string AvailabilitySvg(const std::vector<ChannelAvailability>& channels,
                            const AvailabilityWindow& window)
{
    constexpr double kLeft = 120;
    constexpr double kWidth = 760;
    constexpr double kRow = 24;
    constexpr double kTop = 34;
    const double length = window.to - window.from;
    const auto x = [&](double time)
    { return kLeft + (length > 0 ? (time - window.from) / length * kWidth : 0); };
    const double height = kTop + kRow * static_cast<double>(channels.size()) + 28;
    std::string out =
        FormatText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                   "font-family=\"sans-serif\" font-size=\"12\">\n"
                   "<rect width=\"100%%\" height=\"100%%\" fill=\"#ffffff\"/>\n"
                   "<text x=\"%.0f\" y=\"20\" font-size=\"14\">Availability %s .. %s UTC</text>\n",
                   kLeft + kWidth + 64, height, kLeft, IsoTime(window.from).c_str(),
                   IsoTime(window.to).c_str());
    double y = kTop;
    for (const ChannelAvailability& channel : channels)
    {
        // Names come from the database: only letters, digits and a few signs are drawn.
        std::string label;
        for (char c : channel.station + " " + channel.channel)
            label += std::isalnum(static_cast<unsigned char>(c)) || c == ' ' || c == '_' ? c : '?';
        out += FormatText("<text x=\"8\" y=\"%.1f\">%s</text>\n", y + 14, label.c_str());
        out += FormatText("<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\">%.2f %%</text>\n",
                          kLeft + kWidth + 4, y + 14, channel.share * 100);
        out += FormatText("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"16\" "
                          "fill=\"#eeeeee\"/>\n",
                          kLeft, y, kWidth);
        for (const TimeStretch& stretch : channel.covered)
        {
            out += FormatText("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"16\" "
                              "fill=\"#3a9d3a\"><title>%s .. %s</title></rect>\n",
                              x(stretch.begin), y, std::max(0.5, x(stretch.end) - x(stretch.begin)),
                              IsoTime(stretch.begin).c_str(), IsoTime(stretch.end).c_str());
        }
        for (const TimeStretch& gap : channel.gaps)
        {
            out += FormatText("<rect x=\"%.2f\" y=\"%.1f\" width=\"%.2f\" height=\"16\" "
                              "fill=\"#d03030\"><title>gap %s .. %s (%.3f s)</title></rect>\n",
                              x(gap.begin), y, std::max(2.0, x(gap.end) - x(gap.begin)),
                              IsoTime(gap.begin).c_str(), IsoTime(gap.end).c_str(),
                              gap.end - gap.begin);
        }
        y += kRow;
    }
    out += FormatText("<text x=\"%.0f\" y=\"%.1f\" font-size=\"10\">%s</text>\n", kLeft, y + 12,
                      IsoTime(window.from).c_str());
    out += FormatText("<text x=\"%.0f\" y=\"%.1f\" font-size=\"10\" text-anchor=\"end\">%s"
                      "</text>\n</svg>\n",
                      kLeft + kWidth, y + 12, IsoTime(window.to).c_str());
    return out;
}

bool ReadFileSpans(const std::string& station, const std::string& channel,
                   std::vector<FileSpan>* spans, std::string* error)
{
    const auto column = [](const char* name)
    { return g_dbNames.Column(SchemaTable::FileList, name); };
    std::string query = FormatText("SELECT %s,%s,%s,%s,%s FROM %s WHERE %s>0", column("STA"),
                                   column("CH"), column("TBEGIN"), column("TQTY"), column("SPS"),
                                   g_dbNames.Table(SchemaTable::FileList), column("TQTY"));
    if (!station.empty())
        query += FormatText(" AND %s='%s'", column("STA"), SqlText(station).c_str());
    if (!channel.empty())
        query += FormatText(" AND %s='%s'", column("CH"), SqlText(channel).c_str());
    query += FormatText(" ORDER BY %s,%s,%s", column("STA"), column("CH"), column("TBEGIN"));
    DbOutcome rows = DbQuery(
        query, {DbType::Text, DbType::Text, DbType::Double, DbType::Double, DbType::Double});
    if (!rows.ok)
    {
        *error = rows.message;
        return false;
    }
    for (const DbRow& row : rows.rows)
        spans->push_back({row[0].text, row[1].text, row[2].number, row[3].number, row[4].number});
    return true;
}

} // namespace tarvell
