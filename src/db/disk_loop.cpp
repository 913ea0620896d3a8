#include "db/disk_loop.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/connection.h"
#include "db/db_access.h"
#include "platform/text_format.h"
#include "db/schema_names.h"
#include "log/event_log.h"
#include "platform/file_system.h"
#include "platform/text.h"

namespace tarvell
{
namespace
{

// One row of the station's loop: its path relative to the data root, with "/" separators.
struct PurgeRecord
{
    std::string relativePath;
    double sampleRate = 0;
    double seconds = 0;
};

// Bytes as the database computed them (a double) made a 64-bit count: truncated towards
// zero; nothing (0) for a null, negative or not-a-number value, so a corrupt row can never
// make a huge size.
std::uint64_t ToBytes(double value)
{
    if (!(value > 0))
        return 0;
    if (value >= 18446744073709551615.0)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

// The size of a data file on disk: 4 bytes per sample and the 512-byte text header.
std::uint64_t FileSize(const PurgeRecord& record)
{
    return ToBytes(record.seconds * record.sampleRate * 4 + 512);
}

// A file that cannot be deleted comes up first in every purge until it can; its failure is
// logged when it first happens, not at every write.
std::mutex g_undeletableLock;
std::string g_lastUndeletable; // guarded by g_undeletableLock

void ReportUndeletable(const std::string& fullPath, int error)
{
    std::lock_guard<std::mutex> guard(g_undeletableLock);
    if (g_lastUndeletable == fullPath)
        return;
    g_lastUndeletable = fullPath;
    LogEvent("Cannot delete file '" + fullPath + "': " + std::strerror(error));
}

// The FILELIST condition that leaves the segment rows of loop files alone: their CPATH is
// the loop file's full path ("/var/lib/kdx/ABC/ABC_BHZ.DAT", or "D:/Data/..." from a
// Windows installation), while a time-named file's CPATH is relative to the data root.
// The first segment of a loop file has FOFF 512 like every time-named file, so the offset
// cannot tell them apart.
constexpr const char* kTimeNamedOnly = " AND %s NOT LIKE '/%%' AND %s NOT LIKE '_:%%'";

using Clock = std::chrono::steady_clock;

// Rows another program added (or took away) are seen at least this often.
constexpr std::chrono::hours kSizeQueryInterval{1};

// A station's loop size between two size queries. Its lock is held for a whole purge, so
// that the purges of one station (its channels may come from two servers) never overlap.
struct KnownLoopSize
{
    std::mutex lock;
    bool known = false;        // guarded by lock
    bool checked = false;      // rows held against their files in this run; guarded by lock
    std::uint64_t bytes = 0;   // registered; guarded by lock
    std::uint64_t pending = 0; // written, not yet registered; guarded by lock
    Clock::time_point asked{}; // guarded by lock
};

std::mutex g_knownLock; // guards the map only
std::unordered_map<std::string, std::unique_ptr<KnownLoopSize>> g_knownSizes;

KnownLoopSize& KnownSizeOf(std::string_view station)
{
    std::lock_guard lock(g_knownLock);
    auto& entry = g_knownSizes[std::string(station)];
    if (!entry)
        entry = std::make_unique<KnownLoopSize>();
    return *entry;
}

// The size query; nothing when it fails.
std::optional<std::uint64_t> AskDiskLoopSize(std::string_view station)
{
    std::string query = FormatText(
        "SELECT SUM(%s*%s*4+512) AS DLSIZE FROM %s WHERE %s='DUVODIZEREVE' AND %s>0. AND %s='%s'",
        FileListColumn("SPS"), FileListColumn("TQTY"), FileListTable(), FileListColumn("CREATER"),
        FileListColumn("TQTY"), FileListColumn("STA"), SqlText(station).c_str());
    query += FormatText(kTimeNamedOnly, FileListColumn("CPATH"), FileListColumn("CPATH"));
    // SUM over no rows is null: an empty loop.
    bool failed = false;
    std::optional<double> size = DbQueryNumber(query, &failed);
    if (failed)
        return std::nullopt;
    return size ? ToBytes(*size) : 0;
}

// The station's rows of time-named files, oldest first; nothing when the query fails.
std::optional<std::vector<PurgeRecord>> ListLoop(std::string_view station)
{
    std::string query = FormatText(
        "SELECT %s,%s,%s FROM %s WHERE %s='DUVODIZEREVE' AND %s='%s'", FileListColumn("CPATH"),
        FileListColumn("SPS"), FileListColumn("TQTY"), FileListTable(), FileListColumn("CREATER"),
        FileListColumn("STA"), SqlText(station).c_str());
    query += FormatText(kTimeNamedOnly, FileListColumn("CPATH"), FileListColumn("CPATH"));
    query += FormatText("  ORDER BY %s", FileListColumn("TBEGIN"));
    DbOutcome listing = DbQuery(query, {DbType::Text, DbType::Double, DbType::Double});
    if (!listing.ok)
    {
        DbLogError(listing);
        return std::nullopt;
    }
    std::vector<PurgeRecord> records;
    records.reserve(listing.rows.size());
    for (const DbRow& row : listing.rows)
        records.push_back({row[0].text, row[1].number, row[2].number});
    return records;
}

// Shortens every row of records that claims more samples than its file holds to the samples
// the file holds (the record too), and returns the loop's size as the rows then give it. A
// row whose file is missing counts as it stands: the purge deletes it when it comes to it.
std::uint64_t HoldRowsAgainstFiles(std::string_view station, std::vector<PurgeRecord>& records)
{
    std::uint64_t size = 0;
    int shortened = 0;
    for (PurgeRecord& record : records)
    {
        const std::string path = ReplaceAll(record.relativePath, '\\', '/');
        const std::int64_t onDisk =
            StaysInsideDataRoot(path) ? FileSizeAt(g_waveRoot + "/" + path) : -1;
        if (onDisk >= 0 && record.sampleRate > 0 &&
            static_cast<std::int64_t>(FileSize(record)) > onDisk)
        {
            const double seconds =
                static_cast<double>(std::max<std::int64_t>(0, (onDisk - 512) / 4)) /
                record.sampleRate;
            if (DbExecute(FormatText("UPDATE %s SET %s=%f WHERE %s='%s'", FileListTable(),
                                     FileListColumn("TQTY"), seconds, FileListColumn("CPATH"),
                                     SqlText(record.relativePath).c_str()))
                    .ok)
            {
                record.seconds = seconds;
                ++shortened;
            }
        }
        if (record.seconds > 0)
            size += FileSize(record);
    }
    if (shortened > 0)
    {
        LogEvent(FormatText("Station %.*s: %d rows claimed more samples than their files hold; "
                            "they are shortened to their files before the disk loop is purged",
                            static_cast<int>(station.size()), station.data(), shortened));
    }
    return size;
}

// Deletes the file of record and its row; false when the row stays (its size is not freed).
bool PurgeFile(const PurgeRecord& record)
{
    if (!StaysInsideDataRoot(ReplaceAll(record.relativePath, '\\', '/')))
    {
        // Only this program writes rows of its creator, so such a path is a damaged row: the
        // row goes, a file it names is never touched.
        LogEvent("File '" + record.relativePath +
                 "' lies outside the data catalog; only its row is deleted");
        return DeleteFileRow(record.relativePath);
    }
    std::string fullPath = g_waveRoot + "/" + ReplaceAll(record.relativePath, '\\', '/');
    if (!PathExists(fullPath))
        return DeleteFileRow(record.relativePath);
    if (!RemoveFile(fullPath))
    {
        // The file and its row stay; its size counts as freed, so this purge may end above
        // the limit, and the next one tries the same file first.
        ReportUndeletable(fullPath, errno);
        return true;
    }
    LogEvent("Deleted file '" + fullPath + "'");
    return DeleteFileRow(record.relativePath);
}

} // namespace

bool StaysInsideDataRoot(std::string_view relativePath)
{
    if (relativePath.empty() || relativePath.front() == '/')
        return false;
    std::size_t start = 0;
    while (start <= relativePath.size())
    {
        std::size_t end = relativePath.find('/', start);
        if (end == std::string_view::npos)
            end = relativePath.size();
        if (relativePath.substr(start, end - start) == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::uint64_t DiskLoopSize(std::string_view station)
{
    // A failed query counts as an empty loop.
    return AskDiskLoopSize(station).value_or(0);
}

void DiskLoopWritten(std::string_view station, std::uint64_t bytes)
{
    KnownLoopSize& known = KnownSizeOf(station);
    std::lock_guard lock(known.lock);
    known.pending += bytes;
}

void DiskLoopGrew(std::string_view station, std::uint64_t bytes)
{
    KnownLoopSize& known = KnownSizeOf(station);
    std::lock_guard lock(known.lock);
    known.bytes += bytes;
    known.pending -= std::min(known.pending, bytes);
}

void DiskLoopTakenBack(std::string_view station, std::uint64_t bytes)
{
    KnownLoopSize& known = KnownSizeOf(station);
    std::lock_guard lock(known.lock);
    known.pending -= std::min(known.pending, bytes);
}

void ForgetDiskLoopSizes()
{
    std::lock_guard lock(g_knownLock);
    for (auto& [station, known] : g_knownSizes)
    {
        std::lock_guard entry(known->lock);
        known->known = false;
        known->checked = false;
        known->pending = 0;
    }
}

void ForgetDiskLoopSize(std::string_view station)
{
    KnownLoopSize& known = KnownSizeOf(station);
    std::lock_guard lock(known.lock);
    known.known = false;
    known.checked = false;
}

PurgeOutcome PurgeDiskLoop(std::string_view station, std::uint64_t limit, std::uint64_t incoming)
{
    PurgeOutcome outcome;
    std::uint64_t& size = outcome.size;
    KnownLoopSize& known = KnownSizeOf(station);
    std::lock_guard lock(known.lock);
    // What is written and not yet registered will be, and so will the chunk to come: the
    // loop makes room for them now, not after they have taken it.
    const std::uint64_t coming = known.pending + incoming;
    const auto now = Clock::now();
    if (known.known && known.bytes + coming < limit && now - known.asked < kSizeQueryInterval)
    {
        size = known.bytes;
        return outcome;
    }
    // At or over the limit by what the program knows (or not known, or not asked for an
    // hour): the database says how large the loop is.
    const std::optional<std::uint64_t> asked = AskDiskLoopSize(station);
    known.known = asked.has_value();
    known.asked = now;
    known.bytes = size = asked.value_or(0);
    if (size + coming < limit)
        return outcome;

    std::optional<std::vector<PurgeRecord>> records = ListLoop(station);
    if (!records)
    {
        known.known = false;
        return outcome;
    }
    if (!known.checked)
    {
        size = HoldRowsAgainstFiles(station, *records);
        known.checked = true;
        if (size + coming < limit)
        {
            known.bytes = size;
            return outcome;
        }
    }

    // Oldest first across all channels of the station, until the loop is below its limit.
    for (const PurgeRecord& record : *records)
    {
        if (!PurgeFile(record))
            continue;
        const std::uint64_t freed = FileSize(record);
        size = freed > size ? 0 : size - freed;
        ++outcome.filesPurged;
        if (size + coming < limit)
            break;
    }
    known.bytes = size;
    return outcome;
}

bool DeleteFileRow(std::string_view relativePath)
{
    DbOutcome outcome =
        DbExecute(FormatText("DELETE FROM %s WHERE %s='%s'", FileListTable(),
                             FileListColumn("CPATH"), SqlText(relativePath).c_str()));
    if (!outcome.ok)
    {
        DbLogError(outcome);
        return false;
    }
    return true;
}

} // namespace tarvell
