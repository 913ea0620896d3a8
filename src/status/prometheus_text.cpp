#include "status/prometheus_text.h"

#include <cmath>
#include <charconv>
#include <optional>
#include <string_view>
#include <vector>

#include "metrics/counters.h"
#include "status/status_snapshot.h"

namespace tarvell
{
namespace
{

// The length of the well-formed UTF-8 sequence at the start of text (1 to 4), or 0 when it
// starts with a byte that is no part of one (a stray continuation byte, an overlong form, a
// surrogate, a code point above U+10FFFF, or a sequence cut short).
std::size_t Utf8SequenceLength(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, narrowed where a lead byte
    unsigned char high = 0xbf; // would otherwise allow an overlong form or a surrogate
    if (lead >= 0xc2 && lead <= 0xdf)
        length = 2;
    else if (lead >= 0xe0 && lead <= 0xef)
    {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    }
    else if (lead >= 0xf0 && lead <= 0xf4)
    {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    }
    if (length == 0 || text.size() < length || byte(1) < low || byte(1) > high)
        return 0;
    for (std::size_t i = 2; i < length; ++i)
    {
        if (byte(i) < 0x80 || byte(i) > 0xbf)
            return 0;
    }
    return length;
}

// Appends a name as a label value that every scraper accepts: the value must be UTF-8, so a
// byte that is no part of UTF-8 (a Latin-1 name from the INI) becomes the text \xHH. The
// name's own backslashes are doubled, so that a name holding the text "\xE9" and one holding
// the byte 0xE9 stay two labels. Then backslash, double quote and line feed are escaped as the
// text format asks.
void AppendEscaped(std::string& out, std::string_view value)
{
    static const char kHex[] = "0123456789ABCDEF";
    while (!value.empty())
    {
        const std::size_t length = Utf8SequenceLength(value);
        if (length == 0)
        {
            const auto byte = static_cast<unsigned char>(value.front());
            out.append("\\\\x").append(1, kHex[byte >> 4]).append(1, kHex[byte & 15]);
            value.remove_prefix(1);
            continue;
        }
        const char c = value.front();
        if (c == '\\')
            out.append("\\\\\\\\");
        else if (c == '"')
            out.append("\\\"");
        else if (c == '\n')
            out.append("\\n");
        else
            out.append(value.substr(0, length));
        value.remove_prefix(length);
    }
}

// The text of one exposition. Scraped every second for thousands of channels, so samples
// are appended in place: labels made once per item, numbers by to_chars.
class CExposition
{
public:
    CExposition(std::string& text, std::size_t expectedSamples) : m_text(text)
    {
        m_text.clear();
        m_text.reserve(expectedSamples * 96);
    }

    // Starts a family: its HELP and TYPE lines.
    void Family(const char* name, const char* type, const char* help)
    {
        m_name = name;
        m_text.append("# HELP ").append(name).append(" ").append(help);
        m_text.append("\n# TYPE ").append(name).append(" ").append(type).append("\n");
    }

    // One sample of the current family (its name followed by suffix: "_bucket" of a
    // histogram); labels "{key="value",...}" or empty.
    void Sample(std::string_view labels, double value, std::string_view suffix = {})
    {
        m_text.append(m_name).append(suffix).append(labels);
        if (std::isnan(value))
        {
            m_text.append(" NaN\n");
            return;
        }
        if (std::isinf(value))
        {
            m_text.append(value > 0 ? " +Inf\n" : " -Inf\n");
            return;
        }
        // The number goes straight into the text. Counters are whole numbers: their digits
        // cost a fraction of a shortest round-trip form.
        const std::size_t at = m_text.size();
        m_text.resize(at + 40);
        char* first = m_text.data() + at;
        *first++ = ' ';
        char* last = m_text.data() + m_text.size();
        const bool whole = std::fabs(value) < 9.0e15 && value == std::trunc(value);
        char* end = whole ? std::to_chars(first, last, static_cast<long long>(value)).ptr
                          : std::to_chars(first, last, value).ptr;
        *end++ = '\n';
        m_text.resize(static_cast<std::size_t>(end - m_text.data()));
    }

private:
    std::string& m_text;
    std::string_view m_name;
};

// Appends key="value" (value escaped) to out.
void AppendLabel(std::string& out, const char* key, const std::string& value)
{
    out.append(key).append("=\"");
    // Names are almost always plain: they go in as they stand.
    bool plain = true;
    for (char c : value)
        plain = plain && c != '\\' && c != '"' && c != '\n' && static_cast<unsigned char>(c) < 0x80;
    if (plain)
        out.append(value);
    else
        AppendEscaped(out, value);
    out.append("\"");
}

std::string Label(const char* key, const std::string& value)
{
    std::string out;
    AppendLabel(out, key, value);
    return out;
}

std::string ChannelLabels(const ChannelStatus& channel)
{
    std::string out;
    out.reserve(64);
    out.append("{");
    AppendLabel(out, "station", channel.station);
    out.append(",");
    AppendLabel(out, "channel", channel.channel);
    out.append(",");
    AppendLabel(out, "server", channel.server);
    out.append("}");
    return out;
}

// A link is a host and a port: two servers on one host are two label sets.
std::string LinkLabels(const LinkStatus& link)
{
    return '{' + Label("server", link.server) + ',' + Label("port", std::to_string(link.port)) +
           '}';
}

std::string StationLabels(const StationStatus& station)
{
    return '{' + Label("station", station.station) + '}';
}

// The label sets of items, made once for all their families.
template <typename Item>
std::vector<std::string> LabelsOf(const std::vector<Item>& items,
                                  std::string (*labels)(const Item&))
{
    std::vector<std::string> out;
    out.reserve(items.size());
    for (const Item& item : items)
        out.push_back(labels(item));
    return out;
}

// One family with a sample per item; an item without a value (nullopt) is left out.
template <typename Item, typename Value>
void PerItem(CExposition& out, const std::vector<Item>& items,
             const std::vector<std::string>& labels, const char* name, const char* type,
             const char* help, Value value)
{
    out.Family(name, type, help);
    for (std::size_t i = 0; i < items.size(); ++i)
    {
        if (const std::optional<double> sample = value(items[i]))
            out.Sample(labels[i], *sample);
    }
}

template <typename Count> double Real(Count count)
{
    return static_cast<double>(count);
}

void ChannelMetrics(CExposition& out, const StatusSnapshot& snapshot)
{
    const std::vector<std::string> labels = LabelsOf(snapshot.channels, &ChannelLabels);
    const auto each = [&](const char* name, const char* type, const char* help, auto value)
    { PerItem(out, snapshot.channels, labels, name, type, help, value); };
    using C = const ChannelStatus&;
    using Value = std::optional<double>;
    for (std::size_t i = 0; i < kChannelCounts.size(); ++i)
        each(kChannelCounts[i].metric, "counter", kChannelCounts[i].help,
             [i](C c) -> Value { return Real(c.counts[i]); });
    each("tarvell_last_sample_time_seconds", "gauge",
         "Time of the last sample received, in seconds since the epoch.",
         [](C c) -> Value { return c.hasData ? Value(c.lastSampleTime) : std::nullopt; });
    each("tarvell_data_latency_seconds", "gauge", "Now minus the time of the last sample received.",
         [](C c) -> Value { return c.hasData ? Value(c.latency) : std::nullopt; });
    each("tarvell_buffer_samples", "gauge", "Samples buffered and not yet written.",
         [](C c) -> Value { return Real(c.bufferSamples); });
    each("tarvell_channel_stalled", "gauge",
         "1 while the channel's link is connected but the channel sends nothing.",
         [](C c) -> Value { return c.stalled ? 1.0 : 0.0; });
    each("tarvell_channel_held", "gauge",
         "1 while the channel's samples are not archived for a fault of its own (its file, its "
         "rows, or a server interval that disagrees with SITECHAN).",
         [](C c) -> Value { return c.holdReason != 0 ? 1.0 : 0.0; });
    out.Family("tarvell_samples_dropped_total", "counter",
               "Samples received and not archived, by reason: resent (the archive holds them), "
               "future (dated a day ahead or before 1970), rate, held.");
    for (std::size_t i = 0; i < snapshot.channels.size(); ++i)
    {
        const std::string_view base = std::string_view(labels[i]).substr(0, labels[i].size() - 1);
        for (std::size_t r = 0; r < snapshot.channels[i].samplesDropped.size(); ++r)
        {
            out.Sample(std::string(base) + ',' +
                           Label("reason", DropReasonText(static_cast<DropReason>(r))) + '}',
                       Real(snapshot.channels[i].samplesDropped[r]));
        }
    }
}

void LinkMetrics(CExposition& out, const StatusSnapshot& snapshot)
{
    const std::vector<std::string> labels = LabelsOf(snapshot.links, &LinkLabels);
    const auto each = [&](const char* name, const char* type, const char* help, auto value)
    { PerItem(out, snapshot.links, labels, name, type, help, value); };
    using L = const LinkStatus&;
    using Value = std::optional<double>;
    each("tarvell_link_connected", "gauge", "1 while the link receives packets from its server.",
         [](L link) -> Value { return link.connected ? 1.0 : 0.0; });
    each("tarvell_link_held_here", "gauge",
         "1 while this instance holds the link's lease and archives it; 0 while another does.",
         [](L link) -> Value { return link.heldHere ? 1.0 : 0.0; });
    for (std::size_t i = 0; i < kLinkCounts.size(); ++i)
        each(kLinkCounts[i].metric, "counter", kLinkCounts[i].help,
             [i](L link) -> Value { return Real(link.counts[i]); });
    out.Family("tarvell_link_failures_total", "counter",
               "Connections that failed or ended, by failure code.");
    for (const LinkStatus& link : snapshot.links)
    {
        for (const auto& [code, count] : link.failures)
        {
            out.Sample('{' + Label("server", link.server) + ',' +
                           Label("port", std::to_string(link.port)) + ',' + Label("code", code) +
                           '}',
                       Real(count));
        }
    }
    out.Family("tarvell_archive_delay_seconds", "histogram",
               "Time from a sample's arrival to the commit of its row (each channel's oldest "
               "sample at each commit).");
    for (std::size_t i = 0; i < snapshot.links.size(); ++i)
    {
        const LinkStatus& link = snapshot.links[i];
        const std::string base = labels[i].substr(0, labels[i].size() - 1) + ",le=\"";
        std::int64_t cumulative = 0;
        for (std::size_t b = 0; b < link.delayBuckets.size(); ++b)
        {
            cumulative += link.delayBuckets[b];
            char bound[32] = "+Inf";
            if (b < CDelayHistogram::kBounds.size())
                *std::to_chars(bound, bound + sizeof bound - 1, CDelayHistogram::kBounds[b]).ptr =
                    '\0';
            out.Sample(base + bound + "\"}", Real(cumulative), "_bucket");
        }
        out.Sample(labels[i], link.delaySum, "_sum");
        out.Sample(labels[i], Real(cumulative), "_count");
    }
    out.Family("tarvell_link_holder_info", "gauge",
               "The instance of the fleet that holds the link's lease, as a label.");
    for (const LinkStatus& link : snapshot.links)
    {
        if (!link.holder.empty())
            out.Sample('{' + Label("server", link.server) + ',' +
                           Label("port", std::to_string(link.port)) + ',' +
                           Label("holder", link.holder) + '}',
                       1.0);
    }
}

void StationMetrics(CExposition& out, const StatusSnapshot& snapshot)
{
    const std::vector<std::string> labels = LabelsOf(snapshot.stations, &StationLabels);
    const auto each = [&](const char* name, const char* type, const char* help, auto value)
    { PerItem(out, snapshot.stations, labels, name, type, help, value); };
    using S = const StationStatus&;
    using Value = std::optional<double>;
    each("tarvell_disk_loop_bytes", "gauge",
         "Size of the station's time-named files as registered, at the last chunk.",
         [](S station) -> Value { return Real(station.diskLoopBytes); });
    each("tarvell_disk_loop_limit_bytes", "gauge", "The station's disk-loop limit (SIZEMB).",
         [](S station) -> Value { return Real(station.diskLoopLimit); });
    each("tarvell_files_purged_total", "counter",
         "Files taken away by the station's disk-loop purge.",
         [](S station) -> Value { return Real(station.filesPurged); });
}

void ProcessMetrics(CExposition& out, const StatusSnapshot& snapshot)
{
    out.Family("tarvell_database_reachable", "gauge", "1 while the database connection works.");
    out.Sample("", snapshot.databaseReachable ? 1 : 0);
    out.Family("tarvell_database_outages_total", "counter",
               "Times the database connection was found lost.");
    out.Sample("", static_cast<double>(snapshot.databaseOutages));
    out.Family("tarvell_channels_not_acquired", "gauge",
               "Channels (or stations) the configuration names that are not acquired; the event "
               "log says why.");
    out.Sample("", static_cast<double>(snapshot.notAcquired));
    out.Family("tarvell_log_lines_lost_total", "counter",
               "Event log lines that could not be written to the log file (they went to stderr).");
    out.Sample("", static_cast<double>(snapshot.logLinesLost));
    out.Family("tarvell_start_time_seconds", "gauge",
               "Start of the program, in seconds since the epoch.");
    out.Sample("", snapshot.startTime);
    out.Family("tarvell_build_info", "gauge", "The program's version, as a label.");
    out.Sample('{' + Label("version", snapshot.version) + '}', 1);
}

// What the status server turned away, each kind of refusal under its own reason.
void StatusServerMetrics(CExposition& out, const StatusSnapshot& snapshot)
{
    const StatusServerStatus& server = snapshot.statusServer;
    if (server.connectionLimit == 0)
        return;
    out.Family("tarvell_status_connections", "gauge", "Connections open to the status server.");
    out.Sample("", Real(server.connectionsOpen));
    out.Family("tarvell_status_connection_limit", "gauge",
               "Connections the status server keeps open at most.");
    out.Sample("", Real(server.connectionLimit));
    const auto refused = [&](StatusRefusal why)
    { return Real(server.refused[static_cast<std::size_t>(why)]); };
    out.Family("tarvell_status_connections_refused_total", "counter",
               "Connections closed without an answer: at the limit, to make room, or slow.");
    out.Sample("{reason=\"limit\"}", refused(StatusRefusal::ConnectionLimit));
    out.Sample("{reason=\"made_room\"}", refused(StatusRefusal::MadeRoom));
    out.Sample("{reason=\"timeout\"}", refused(StatusRefusal::Timeout));
    out.Family("tarvell_status_requests_refused_total", "counter",
               "Requests refused: head too large, a method other than GET, a body, no token.");
    out.Sample("{reason=\"head_too_large\"}", refused(StatusRefusal::HeadTooLarge));
    out.Sample("{reason=\"method\"}", refused(StatusRefusal::Method));
    out.Sample("{reason=\"body\"}", refused(StatusRefusal::Body));
    out.Sample("{reason=\"token\"}", refused(StatusRefusal::Token));
}

} // namespace

void WritePrometheusText(const StatusSnapshot& snapshot, std::string& text)
{
    CExposition out(text, snapshot.channels.size() * 14 + snapshot.links.size() * 8 +
                              snapshot.stations.size() * 3 + 17);
    ChannelMetrics(out, snapshot);
    LinkMetrics(out, snapshot);
    StationMetrics(out, snapshot);
    ProcessMetrics(out, snapshot);
    StatusServerMetrics(out, snapshot);
}

std::string PrometheusText(const StatusSnapshot& snapshot)
{
    std::string text;
    WritePrometheusText(snapshot, text);
    return text;
}

} // namespace tarvell
