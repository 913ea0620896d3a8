#include "datafiles/archive_recovery.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "datafiles/channel_state.h"
#include "datafiles/channel_ini.h"
#include "datafiles/chunk_policy.h"
#include "datafiles/data_file_names.h"
#include "datafiles/file_header.h"
#include "datafiles/loop_file_sink.h"
#include "datafiles/loop_segments.h"
#include "db/connection.h"
#include "db/db_access.h"
#include "db/disk_loop.h"
#include "db/file_registry.h"
#include "db/schema_names.h"
#include "metrics/metrics_registry.h"
#include "platform/time_conversions.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

// The latest row of a channel.
struct LatestRow
{
    std::string path; // CPATH with "/" separators
    double begin = 0;
    double duration = 0;
    double sampleRate = 0;
    std::int64_t offset = 0;

    double End() const { return begin + duration; }
};

// Loop segments name their loop file by its full path (a Windows installation wrote "D:/...");
// time-named files are named relative to the data root.
bool IsLoopFilePath(std::string_view path)
{
    return (!path.empty() && path.front() == '/') || (path.size() >= 2 && path[1] == ':');
}

double Number(const DbCell& cell)
{
    return cell.isNull || !std::isfinite(cell.number) ? 0 : cell.number;
}

// nothing when the query failed; a row with an empty path when the channel has none.
std::optional<LatestRow> FindLatestRow(const CStationGroup& group, const CChannelState& channel)
{
    DbOutcome outcome =
        DbQuery(FormatText("select %s,%s,%s,%s,%s from %s where %s='%s' and %s='%s' and "
                           "%s='DUVODIZEREVE' order by %s desc",
                           FileListColumn("CPATH"), FileListColumn("TBEGIN"),
                           FileListColumn("TQTY"), FileListColumn("SPS"), FileListColumn("FOFF"),
                           FileListTable(), FileListColumn("STA"), SqlText(group.station).c_str(),
                           FileListColumn("CH"), SqlText(channel.name).c_str(),
                           FileListColumn("CREATER"), FileListColumn("TBEGIN")),
                {DbType::Text, DbType::Double, DbType::Double, DbType::Double, DbType::Double}, 1);
    if (!outcome.ok)
        return std::nullopt;
    LatestRow row;
    if (outcome.rows.empty())
        return row;
    const DbRow& found = outcome.rows[0];
    row.path = ReplaceAll(found[0].text, '\\', '/');
    row.begin = Number(found[1]);
    row.duration = std::max(0.0, Number(found[2]));
    row.sampleRate = Number(found[3]);
    row.offset = static_cast<std::int64_t>(std::max(0.0, Number(found[4])));
    return row;
}

bool HasRow(const std::string& relativePath)
{
    DbOutcome outcome =
        DbQuery(FormatText("select %s from %s where %s='%s'", FileListColumn("CPATH"),
                           FileListTable(), FileListColumn("CPATH"), SqlText(relativePath).c_str()),
                {DbType::Text}, 1);
    return !outcome.ok || !outcome.rows.empty(); // in doubt, a file is kept
}

class CArchiveRecovery
{
public:
    ArchiveRecoveryReport Run(const std::vector<ChannelLocation>& channels)
    {
        if (!IsDirectory(g_waveRoot))
        {
            (void)NoteDataRootMissing(true);
            LogEvent(FormatText("Data root '%s' does not exist: the archive is not checked, "
                                "acquisition resumes from the program INI",
                                g_waveRoot.c_str()));
            return m_report;
        }
        for (const ChannelLocation& where : channels)
            Recover(*where.group, *where.channel);
        LogEvent(FormatText("Archive checked: %d channels resume where their rows end, %d "
                            "files cut back, %d rows shortened, %d files without a row removed",
                            m_report.channelsFromRows, m_report.filesCutBack,
                            m_report.rowsShortened, m_report.filesRemoved));
        return m_report;
    }

private:
    void Recover(const CStationGroup& group, CChannelState& channel)
    {
        const std::optional<LatestRow> latest = FindLatestRow(group, channel);
        if (!latest)
            return; // the database cannot tell: the INI resume time stands
        double end = channel.resumeTime;
        if (latest->path.empty() && end <= 0)
        {
            // Without a row and without a resume time nothing says that a file of the channel
            // is the uncommitted chunk of a run of ours: such files are set aside, not removed.
            RemoveOrphans(group, channel, "", 0, true);
        }
        else if (latest->path.empty())
        {
            // A resume time but no row: the rows of its commits are gone (a power cut took the
            // last commits of a database that does not sync each one), while the INI, synced,
            // says they were made. The channel's files without rows are those chunks: they
            // are removed, and the channel is asked again from the first of them.
            const auto first = static_cast<double>(RemoveOrphans(group, channel, "", 0, false));
            if (first > 0 && first < end)
            {
                const std::string resume = util_dttostr(end, 0);
                LogEvent(FormatText("Station %s channel %s has no row while its resume time in "
                                    "the program INI is %s: its files without rows are removed "
                                    "and asked for again from %s",
                                    group.station.c_str(), channel.name.c_str(), resume.c_str(),
                                    util_dttostr(first, 0)));
                end = first;
            }
        }
        else
        {
            LatestRow row = *latest;
            if (IsLoopFilePath(row.path))
                RepairLoopSegment(group, channel, row);
            else
                RepairTimeNamedFile(group, channel, row);
            end = row.End();
            ++m_report.channelsFromRows;
            if (channel.resumeTime > end + 1)
            {
                // Two times of util_dttostr in one line: the first is copied out of its buffer.
                const std::string resume = util_dttostr(channel.resumeTime, 0);
                LogEvent(FormatText("Resume time of station %s channel %s in the program INI "
                                    "(%s) lies after its data in the archive (%s): acquisition "
                                    "resumes from the archive",
                                    group.station.c_str(), channel.name.c_str(), resume.c_str(),
                                    util_dttostr(end, 0)));
            }
        }
        channel.resumeTime = end;
        channel.committedEnd = end;
        channel.writtenEnd = end;
    }

    void RepairTimeNamedFile(const CStationGroup& group, const CChannelState& channel,
                             LatestRow& row)
    {
        if (!StaysInsideDataRoot(row.path))
            return;
        const std::string file = g_waveRoot + "/" + row.path;
        const std::int64_t size = FileSizeAt(file);
        if (size < 0)
        {
            LogEvent(FormatText("File '%s' of the latest row of station %s channel %s is "
                                "missing",
                                file.c_str(), group.station.c_str(), channel.name.c_str()));
            return;
        }
        const std::int64_t samples = SegmentSamples(row.duration, row.sampleRate);
        const std::int64_t expected = kFirstSampleOffset + samples * kSampleBytes;
        if (size > expected)
        {
            if (CutFileDurably(file, expected))
            {
                ++m_report.filesCutBack;
                LogEvent(FormatText("File '%s' held %lld bytes beyond its row: cut back to it",
                                    file.c_str(), static_cast<long long>(size - expected)));
            }
        }
        else if (size < expected && row.sampleRate > 0)
        {
            const std::int64_t there =
                std::max<std::int64_t>(0, (size - kFirstSampleOffset) / kSampleBytes);
            const double duration = static_cast<double>(there) / row.sampleRate;
            if (DbExecute(UpdateFileRowStatement(row.path, group.station, row.begin, duration,
                                                 channel.name))
                    .ok)
            {
                (void)CutFileDurably(file, kFirstSampleOffset + there * kSampleBytes);
                ++m_report.rowsShortened;
                LogEvent(FormatText("File '%s' holds %lld samples fewer than its row: the row "
                                    "is shortened, the rest is requested again",
                                    file.c_str(), static_cast<long long>(samples - there)));
                row.duration = duration;
            }
        }
        RemoveOrphans(group, channel, row.path, static_cast<std::int64_t>(row.begin), false);
    }

    void RepairLoopSegment(const CStationGroup& group, const CChannelState& channel, LatestRow& row)
    {
        const std::int64_t size = FileSizeAt(row.path);
        const std::int64_t samples = SegmentSamples(row.duration, row.sampleRate);
        const std::int64_t end = row.offset + samples * kSampleBytes;
        if (size >= 0 && size < end && row.sampleRate > 0)
        {
            const std::int64_t there =
                std::max<std::int64_t>(0, (size - row.offset) / kSampleBytes);
            const double duration = static_cast<double>(there) / row.sampleRate;
            const std::string statement =
                there > 0
                    ? ExtendLoopSegmentStatement(group.station, channel.name, row.path, row.offset,
                                                 duration)
                    : DeleteLoopSegmentStatement(group.station, channel.name, row.path, row.offset);
            if (DbExecute(statement).ok)
            {
                ++m_report.rowsShortened;
                LogEvent(FormatText("Loop file '%s' holds %lld samples fewer than its latest "
                                    "segment: the segment is shortened, the rest is requested "
                                    "again",
                                    row.path.c_str(), static_cast<long long>(samples - there)));
                row.duration = duration;
            }
        }
        // The header follows the rows again (the process may have ended between the two).
        if (size >= 0 && m_loopHeaders.insert(row.path).second)
        {
            FileHeader header;
            BuildLoopHeader(header, group.station, channel.name, channel.sampleRate, row.path);
            int error = 0;
            if (!WriteLoopHeader(row.path, header, &error))
                LogEvent(FormatText("Header of loop file '%s' not written: %s; it is written "
                                    "again after the channel's next commit",
                                    row.path.c_str(), std::strerror(error)));
        }
    }

    // Removes the time-named files of the channel that begin at or after from (in whole
    // seconds) and have no row: the bytes of a chunk whose row was never committed. With
    // setAside they are renamed "<name>.unregistered" instead, out of the archive's way. Only
    // the hour directories between from and now are looked at, every hour when that is a day
    // or more. Every change is synced before the servers are asked for what it took away.
    // Returns the start (whole seconds) of the earliest file taken away; 0 for none.
    std::int64_t RemoveOrphans(const CStationGroup& group, const CChannelState& channel,
                               const std::string& latestPath, std::int64_t from, bool setAside)
    {
        std::int64_t first = 0;
        const std::int64_t now = static_cast<std::int64_t>(WallClockNow());
        std::set<int> hours;
        if (now - from >= 23 * 3600)
        {
            for (int hour = 0; hour < 24; ++hour)
                hours.insert(hour);
        }
        else
        {
            for (std::int64_t t = from - from % 3600; t <= now + 3600; t += 3600)
                hours.insert(static_cast<int>((t / 3600) % 24));
        }
        for (int hour : hours)
        {
            const std::string directory = HourDirectory(group.station, hour);
            for (const std::string& name : Listing(directory))
            {
                const std::optional<TimeNamedFile> file = ParseTimeNamedFileName(name);
                if (!file || file->second < from ||
                    !EqualsIgnoreCase(file->station, group.station) ||
                    !EqualsIgnoreCase(file->channel, channel.name))
                    continue;
                const std::string relative = directory + "/" + name;
                if (relative == latestPath || HasRow(relative))
                    continue;
                const std::string full = g_waveRoot + "/" + relative;
                if (setAside)
                {
                    if (RenameFileDurably(full, full + ".unregistered"))
                    {
                        ++m_report.filesRemoved;
                        LogEvent(FormatText("File '%s' has no row and the channel none at all: "
                                            "set aside as '%s.unregistered'",
                                            full.c_str(), full.c_str()));
                    }
                }
                else if (RemoveFileDurably(full))
                {
                    ++m_report.filesRemoved;
                    if (first == 0 || file->second < first)
                        first = file->second;
                    LogEvent(FormatText("File '%s' has no row: removed, its samples are "
                                        "requested again",
                                        full.c_str()));
                }
            }
        }
        return first;
    }

    // The names in a directory under the data root, read once per run.
    const std::vector<std::string>& Listing(const std::string& relativeDirectory)
    {
        auto [entry, added] = m_listings.try_emplace(relativeDirectory);
        if (added)
            entry->second = ListDirectory(g_waveRoot + "/" + relativeDirectory);
        return entry->second;
    }

    ArchiveRecoveryReport m_report;
    std::map<std::string, std::vector<std::string>> m_listings;
    std::set<std::string> m_loopHeaders;
};

} // namespace

ArchiveRecoveryReport RecoverArchiveEnds(const std::vector<ChannelLocation>& channels)
{
    return CArchiveRecovery().Run(channels);
}

} // namespace tarvell
