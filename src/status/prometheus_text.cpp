#include "status/prometheus_text.h"

#include <cmath>
#include <cstdio>
#include <functional>

#include "status/status_snapshot.h"

namespace tarvell
{
namespace
{

// A label value with backslash, double quote and line feed escaped.
std::string Escaped(const std::string& value)
{
    std::string out;
    for (char c : value)
    {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n')
        {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

class CFamilies
{
public:
    // Starts a family: its HELP and TYPE lines.
    void Family(const char* name, const char* type, const char* help)
    {
        m_name = name;
        m_text += "# HELP ";
        m_text += name;
        m_text += ' ';
        m_text += help;
        m_text += "\n# TYPE ";
        m_text += name;
        m_text += ' ';
        m_text += type;
        m_text += '\n';
    }
    // One sample of the current family; labels as "key=value" pairs already escaped.
    void Sample(const std::string& labels, double value)
    {
        m_text += m_name;
        if (!labels.empty())
            m_text += '{' + labels + '}';
        m_text += ' ';
        m_text += Number(value);
        m_text += '\n';
    }
    std::string Take() { return std::move(m_text); }

private:
    std::string m_text;
    std::string m_name;
};

std::string Label(const char* key, const std::string& value)
{
    return std::string(key) + "=\"" + Escaped(value) + '"';
}

std::string ChannelLabels(const ChannelStatus& channel)
{
    return Label("station", channel.station) + ',' + Label("channel", channel.channel) + ',' +
           Label("server", channel.server);
}

void ChannelFamily(CFamilies& out, const StatusSnapshot& snapshot, const char* name,
                   const char* type, const char* help,
                   const std::function<bool(const ChannelStatus&, double*)>& value)
{
    out.Family(name, type, help);
    for (const ChannelStatus& channel : snapshot.channels)
    {
        double sample = 0;
        if (value(channel, &sample))
            out.Sample(ChannelLabels(channel), sample);
    }
}

template <typename Field>
void ChannelCounter(CFamilies& out, const StatusSnapshot& snapshot, const char* name,
                    const char* help, Field field)
{
    ChannelFamily(out, snapshot, name, "counter", help,
                  [field](const ChannelStatus& channel, double* value)
                  {
                      *value = static_cast<double>(channel.*field);
                      return true;
                  });
}

void ChannelMetrics(CFamilies& out, const StatusSnapshot& snapshot)
{
    ChannelCounter(out, snapshot, "tarvell_samples_received_total",
                   "Samples received from the server.", &ChannelStatus::samplesReceived);
    ChannelCounter(out, snapshot, "tarvell_samples_written_total",
                   "Samples written to data files and registered.", &ChannelStatus::samplesWritten);
    ChannelCounter(out, snapshot, "tarvell_packets_received_total",
                   "Waveform packets received from the server.", &ChannelStatus::packetsReceived);
    ChannelCounter(out, snapshot, "tarvell_chunks_committed_total",
                   "Chunks written to disk and registered in the database.",
                   &ChannelStatus::chunksCommitted);
    ChannelCounter(out, snapshot, "tarvell_chunks_rerequested_total",
                   "Chunks that could not be committed and were asked from the server again.",
                   &ChannelStatus::chunksRerequested);
    ChannelFamily(out, snapshot, "tarvell_last_sample_time_seconds", "gauge",
                  "Time of the last sample received, in seconds since the epoch.",
                  [](const ChannelStatus& channel, double* value)
                  {
                      *value = channel.lastSampleTime;
                      return channel.hasData;
                  });
    ChannelFamily(out, snapshot, "tarvell_data_latency_seconds", "gauge",
                  "Now minus the time of the last sample received.",
                  [](const ChannelStatus& channel, double* value)
                  {
                      *value = channel.latency;
                      return channel.hasData;
                  });
    ChannelFamily(out, snapshot, "tarvell_buffer_samples", "gauge",
                  "Samples buffered and not yet written.",
                  [](const ChannelStatus& channel, double* value)
                  {
                      *value = channel.bufferSamples;
                      return true;
                  });
    ChannelFamily(out, snapshot, "tarvell_channel_stalled", "gauge",
                  "1 while the channel's link is connected but the channel sends nothing.",
                  [](const ChannelStatus& channel, double* value)
                  {
                      *value = channel.stalled ? 1 : 0;
                      return true;
                  });
}

void LinkMetrics(CFamilies& out, const StatusSnapshot& snapshot)
{
    const auto each = [&](const char* name, const char* type, const char* help,
                          const std::function<double(const LinkStatus&)>& value)
    {
        out.Family(name, type, help);
        for (const LinkStatus& link : snapshot.links)
            out.Sample(Label("server", link.server), value(link));
    };
    each("tarvell_link_connected", "gauge", "1 while the link receives packets from its server.",
         [](const LinkStatus& link) { return link.connected ? 1.0 : 0.0; });
    each("tarvell_link_received_bytes_total", "counter", "Bytes received from the server.",
         [](const LinkStatus& link) { return static_cast<double>(link.bytesReceived); });
    each("tarvell_link_skipped_packets_total", "counter",
         "Packets skipped because they do not fit the server's configuration.",
         [](const LinkStatus& link) { return static_cast<double>(link.packetsSkipped); });
    each("tarvell_link_reconnects_total", "counter", "Connections made after the first one.",
         [](const LinkStatus& link) { return static_cast<double>(link.reconnects); });
    out.Family("tarvell_link_failures_total", "counter",
               "Connections that failed or ended, by failure code.");
    for (const LinkStatus& link : snapshot.links)
    {
        for (const auto& [code, count] : link.failures)
        {
            out.Sample(Label("server", link.server) + ',' + Label("code", code),
                       static_cast<double>(count));
        }
    }
}

void StationMetrics(CFamilies& out, const StatusSnapshot& snapshot)
{
    const auto each = [&](const char* name, const char* type, const char* help,
                          const std::function<double(const StationStatus&)>& value)
    {
        out.Family(name, type, help);
        for (const StationStatus& station : snapshot.stations)
            out.Sample(Label("station", station.station), value(station));
    };
    each("tarvell_disk_loop_bytes", "gauge",
         "Size of the station's time-named files as registered, at the last chunk.",
         [](const StationStatus& station) { return static_cast<double>(station.diskLoopBytes); });
    each("tarvell_disk_loop_limit_bytes", "gauge", "The station's disk-loop limit (SIZEMB).",
         [](const StationStatus& station) { return static_cast<double>(station.diskLoopLimit); });
    each("tarvell_files_purged_total", "counter",
         "Files taken away by the station's disk-loop purge.",
         [](const StationStatus& station) { return static_cast<double>(station.filesPurged); });
}

void ProcessMetrics(CFamilies& out, const StatusSnapshot& snapshot)
{
    out.Family("tarvell_database_reachable", "gauge", "1 while the database connection works.");
    out.Sample("", snapshot.databaseReachable ? 1 : 0);
    out.Family("tarvell_database_outages_total", "counter",
               "Times the database connection was found lost.");
    out.Sample("", static_cast<double>(snapshot.databaseOutages));
    out.Family("tarvell_start_time_seconds", "gauge",
               "Start of the program, in seconds since the epoch.");
    out.Sample("", snapshot.startTime);
    out.Family("tarvell_build_info", "gauge", "The program's version, as a label.");
    out.Sample(Label("version", snapshot.version), 1);
}

} // namespace

std::string PrometheusText(const StatusSnapshot& snapshot)
{
    CFamilies out;
    ChannelMetrics(out, snapshot);
    LinkMetrics(out, snapshot);
    StationMetrics(out, snapshot);
    ProcessMetrics(out, snapshot);
    return out.Take();
}

} // namespace tarvell
