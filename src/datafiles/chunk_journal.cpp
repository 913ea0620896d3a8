#include "datafiles/chunk_journal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <utility>

#include "datafiles/channel_display.h"
#include "datafiles/channel_hold.h"
#include "datafiles/channel_ini.h"
#include "datafiles/file_header.h"
#include "datafiles/loop_file_sink.h"
#include "datafiles/loop_segments.h"
#include "datafiles/resume_store.h"
#include "datafiles/write_problems.h"
#include "db/db_access.h"
#include "db/db_health.h"
#include "db/disk_loop.h"
#include "db/file_registry.h"
#include "db/fleet_tables.h"
#include "log/event_log.h"
#include "metrics/counters.h"
#include "platform/clock.h"
#include "platform/fault_point.h"
#include "platform/file_system.h"
#include "platform/program_paths.h"
#include "platform/sync_ahead.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kCommitInterval{1000};
// From this many files in one commit on, they are synced together (SyncFilesTogether): below
// it the flushes cost little, and a file system sync would also write out what others wrote.
constexpr std::size_t kFilesSyncedTogether = 16;

std::int64_t WholeSeconds(double time)
{
    if (!std::isfinite(time) || std::fabs(time) > 9.0e18)
        return 0;
    return static_cast<std::int64_t>(std::trunc(time));
}

// The statements that make the channel's pending files and segments its rows. With updates,
// the rows of time-named files that only grew are added there instead, to be brought up to
// date together with the other channels' (UpdateFileRowsStatement).
std::vector<std::string> RowStatements(const CStationGroup& group, const CChannelState& channel,
                                       std::vector<FileRowValues>* updates = nullptr)
{
    std::vector<std::string> statements;
    auto append = [&statements](std::vector<std::string> more)
    {
        for (std::string& statement : more)
            statements.push_back(std::move(statement));
    };
    for (const PendingFile& piece : channel.pending)
    {
        if (piece.erased)
        {
            if (piece.loopSegment && piece.rowOffset >= 0)
            {
                statements.push_back(DeleteLoopSegmentStatement(group.station, channel.name,
                                                                piece.rowPath, piece.rowOffset));
            }
            continue;
        }
        if (!piece.loopSegment)
        {
            if (piece.created)
                append(RegisterFileStatements({piece.rowPath, group.station, channel.name,
                                               piece.begin, piece.duration, piece.sampleRate, 1, 3,
                                               piece.calib, piece.calper}));
            else if (updates != nullptr)
                updates->push_back(
                    {piece.rowPath, group.station, channel.name, piece.begin, piece.duration});
            else
                statements.push_back(UpdateFileRowStatement(
                    piece.rowPath, group.station, piece.begin, piece.duration, channel.name));
            continue;
        }
        const SegmentPiece segment{piece.offset, piece.begin, piece.duration};
        if (piece.rowOffset < 0)
            append(AddLoopSegmentStatements(group.station, channel.name, piece.rowPath, segment,
                                            piece.sampleRate, piece.calib, piece.calper));
        else if (piece.rowOffset == piece.offset)
            statements.push_back(ExtendLoopSegmentStatement(
                group.station, channel.name, piece.rowPath, piece.offset, piece.duration));
        else
            statements.push_back(MoveLoopSegmentStatement(group.station, channel.name,
                                                          piece.rowPath, piece.rowOffset, segment));
    }
    return statements;
}

int PendingChunks(const CChannelState& channel)
{
    int chunks = 0;
    for (const PendingFile& piece : channel.pending)
        chunks += piece.chunks;
    return chunks;
}

// The bytes a time-named piece added to its file (and the disk loop).
std::uint64_t PieceBytes(const PendingFile& piece)
{
    return static_cast<std::uint64_t>(piece.samples) * 4 + (piece.created ? 512 : 0);
}

// The text of the channel's file column for a committed piece: a time-named file's path, or
// the loop file's name as configured (without the station directory).
std::string FileText(const PendingFile& piece)
{
    if (!piece.loopSegment)
        return piece.rowPath;
    const std::size_t slash = piece.diskPath.rfind('/');
    return slash == std::string::npos ? piece.diskPath : piece.diskPath.substr(slash + 1);
}

// The descriptor of the committed file the channel goes on writing stays open for its next
// chunk; every other one closes with its piece.
void KeepCurrentFileOpen(CChannelState& channel)
{
    if (channel.pending.empty())
        return;
    PendingFile& last = channel.pending.back();
    if (last.loopSegment || last.erased || !last.file.held || !channel.HasCurrentFile() ||
        channel.currentInLoopFile || last.rowPath != channel.currentFile)
        return;
    channel.openFile = std::move(last.file);
    channel.openFile.kept.ReleaseIfIdle();
    channel.openFilePath = last.rowPath;
}

void Accept(const ChannelLocation& where, std::set<std::string>& loopFiles)
{
    CChannelState& channel = *where.channel;
    if (!channel.pending.empty())
    {
        const PendingFile& last = channel.pending.back();
        ShowChannelFile(FileText(last), where.group->station, channel.name, last.loopSegment);
    }
    for (const PendingFile& piece : channel.pending)
    {
        channel.counters->ChunkCommitted(piece.chunks, piece.samples,
                                         FileText(piece) + (piece.loopSegment ? " (DL)" : ""));
        if (!piece.loopSegment && !piece.erased)
            DiskLoopGrew(where.group->station, PieceBytes(piece));
        else if (!piece.loopSegment)
            DiskLoopTakenBack(where.group->station, PieceBytes(piece));
        if (piece.loopSegment)
            loopFiles.insert(piece.diskPath + '\n' + where.group->station + '\n' + channel.name +
                             '\n' + FormatText("%.17g", channel.sampleRate));
    }
    KeepCurrentFileOpen(channel);
    channel.committedFile = channel.Written();
    channel.committedEnd = channel.writtenEnd;
    channel.pending.clear();
    if (channel.writtenArrivedMs > 0)
    {
        if (const CLinkCounters* link = channel.counters->link.load(std::memory_order_relaxed))
            link->archiveDelay.Observe(
                static_cast<double>(BootClockMs() - channel.writtenArrivedMs) / 1000.0);
        channel.writtenArrivedMs = 0;
    }
    if (ProblemReported(channel, kProblemRow))
        ProblemOver(channel, kProblemRow,
                    FormatText("Rows of station %s channel %s are written again",
                               where.group->station.c_str(), channel.name.c_str()));
    NoteResumeTime(where.group->section, where.group->station, channel.name,
                   WholeSeconds(channel.committedEnd));
}

// The files whose rows the channel's pending pieces would write, for a log line.
std::string PendingFileNames(const CChannelState& channel)
{
    std::string files;
    for (const PendingFile& piece : channel.pending)
        files += (files.empty() ? "'" : ", '") + piece.diskPath + "'";
    return files;
}

// After its rows changed, a loop file's header describes them again. Entries are
// "path\nstation\nchannel\nrate"; those whose header could not be written are returned, to
// be tried again at the next commit.
std::vector<std::string> RewriteLoopHeaders(const std::set<std::string>& loopFiles,
                                            const std::vector<std::string>& alreadyDue)
{
    std::vector<std::string> failed;
    for (const std::string& entry : loopFiles)
    {
        const std::size_t a = entry.find('\n');
        const std::size_t b = entry.find('\n', a + 1);
        const std::size_t c = entry.find('\n', b + 1);
        const std::string path = entry.substr(0, a);
        FileHeader header;
        BuildLoopHeader(header, entry.substr(a + 1, b - a - 1), entry.substr(b + 1, c - b - 1),
                        std::strtod(entry.c_str() + c + 1, nullptr), path);
        int error = 0;
        if (WriteLoopHeader(path, header, &error))
            continue;
        if (!PathExists(path))
            continue; // a loop file gone has no header to keep
        if (std::find(alreadyDue.begin(), alreadyDue.end(), entry) == alreadyDue.end())
        {
            LogEvent(FormatText("Header of loop file '%s' not written: %s; it is written again "
                                "at every commit until it is",
                                path.c_str(), std::strerror(error)));
        }
        failed.push_back(entry);
    }
    return failed;
}

// A file the commit makes durable: the descriptor held for it (-1: it is opened by its
// path), which file was written and, after SyncFiles, the errno of its failure or 0.
struct FileSync
{
    int fd = -1;
    FileIdentity identity;
    int error = 0;
    int keptError = 0; // of writing the bytes kept back for it
};

// Syncs each of files once and sets the errno of each that could not be made durable. Files
// the sync-ahead worker synced are synced again: cheap for a clean file, and bytes written
// after it asked are made durable too. Many files at once (a latency bound writes into every
// channel's file every few seconds) are synced together: one flush of the disk for the
// commit instead of one per file.
void SyncFiles(std::map<std::string, FileSync>& files)
{
    std::vector<FileToSync> list;
    std::vector<int> ahead;
    for (const auto& [path, file] : files)
    {
        list.push_back({path, file.fd, file.identity});
        ahead.push_back(FinishSyncAhead(path));
    }
    std::vector<int> errors(list.size(), 0);
    if (list.size() >= kFilesSyncedTogether)
        errors = SyncFilesTogether(list);
    else
        for (std::size_t i = 0; i < list.size(); ++i)
            errors[i] = SyncFile(list[i]) ? 0 : errno;
    std::size_t i = 0;
    for (auto& [path, file] : files)
    {
        file.error = file.keptError != 0 ? file.keptError : errors[i] != 0 ? errors[i] : ahead[i];
        ++i;
    }
}

// Writes the bytes kept back for every file the pending pieces wrote into, then syncs each
// once, and the directories of new files. Kept bytes are written only while mayWrite (the
// link's lease is fresh); otherwise their channels are taken back. A piece whose file is gone
// (the disk loop took it, or the operator) has nothing to register. Returns the channels
// whose bytes could not be made durable.
std::set<CChannelState*> SyncPendingFiles(const std::vector<ChannelLocation>& dirty,
                                          bool mayWrite)
{
    std::map<std::string, FileSync> files;
    std::set<std::string> directories;
    std::set<CChannelState*> failed;
    for (const ChannelLocation& where : dirty)
    {
        for (PendingFile& piece : where.channel->pending)
        {
            if (piece.erased)
                continue;
            FileSync& file = files[piece.diskPath];
            if (piece.file.held && !mayWrite && piece.file.kept.KeptBytes() > 0)
            {
                piece.file.kept.Drop(0);
                failed.insert(where.channel);
            }
            else if (piece.file.held)
            {
                if (const int error = piece.file.kept.WriteOut(piece.file.held.Get()); error != 0)
                    file.keptError = error;
            }
            if (file.fd < 0 && piece.file.held)
                file.fd = piece.file.held.Get();
            if (!piece.loopSegment)
                file.identity = piece.file.identity;
            if (piece.created)
                directories.insert(DirectoryOf(piece.diskPath));
        }
    }
    SyncFiles(files);
    std::map<std::string, int> directoryErrors;
    for (const std::string& directory : directories)
    {
        if (!SyncDirectory(directory))
            directoryErrors[directory] = errno;
    }

    for (const ChannelLocation& where : dirty)
    {
        for (PendingFile& piece : where.channel->pending)
        {
            if (piece.erased)
                continue;
            const int error = files[piece.diskPath].error;
            if (error == ENOENT)
            {
                if (piece.created)
                    LogEvent(FormatText("File '%s' vanished before it was registered",
                                        piece.diskPath.c_str()));
                piece.erased = true;
                continue;
            }
            auto directory = directoryErrors.find(DirectoryOf(piece.diskPath));
            if (error != 0 || (piece.created && directory != directoryErrors.end()))
            {
                ReportProblem(*where.channel, kProblemFileWrite,
                              FormatText("File write error '%s': %s", piece.diskPath.c_str(),
                                         std::strerror(error != 0 ? error : directory->second)));
                failed.insert(where.channel);
            }
        }
    }
    return failed;
}

std::atomic<std::uint64_t> g_connections{0};

} // namespace

CChunkJournal::CChunkJournal() : m_lastCommit(Clock::now()) {}

void CChunkJournal::Add(const ChannelLocation& where)
{
    for (const ChannelLocation& known : m_dirty)
    {
        if (known.channel == where.channel)
            return;
    }
    m_dirty.push_back(where);
}

void CChunkJournal::BeginConnection()
{
    m_connection = g_connections.fetch_add(1, std::memory_order_relaxed) + 1;
}

bool CChunkJournal::TakeFailure()
{
    return std::exchange(m_failed, false);
}

void CChunkJournal::SetCommitInterval(std::chrono::milliseconds interval)
{
    m_commitInterval = std::clamp(interval, std::chrono::milliseconds{250}, kCommitInterval);
}

bool CChunkJournal::CommitDue() const
{
    return SteadyCoarseNow() - m_lastCommit >= m_commitInterval;
}

void CChunkJournal::CommitIfDue()
{
    if (CommitDue())
        Commit();
}

bool CChunkJournal::TakeBackFile(const UnfinishedTakeBack& take)
{
    // A file that is no longer the one written (the instance that took the server over
    // removed it and made its own of that name) is not this journal's to touch.
    if (take.identity)
    {
        const FileIdentity now = FileIdentityAt(take.path);
        if (!now && errno == ENOENT)
            return true;
        if (now && now != take.identity)
        {
            LogEvent(FormatText("File '%s' is another file now: left as it is", take.path.c_str()));
            return true;
        }
    }
    // Durably: a power cut must not bring back bytes that no row will ever describe.
    return take.remove ? RemoveFileDurably(take.path) || errno == ENOENT
                       : CutFileDurably(take.path, take.size) || errno == ENOENT;
}

void CChunkJournal::TakeBack(CChannelState& channel, const std::string& station, bool databaseAway,
                             bool rerequested)
{
    channel.writtenArrivedMs = 0; // its samples arrive again
    for (auto piece = channel.pending.rbegin(); piece != channel.pending.rend(); ++piece)
    {
        if (piece->loopSegment)
            continue; // bytes in the ring that no row describes are free space
        DiskLoopTakenBack(station, PieceBytes(*piece));
        if (piece->erased)
            continue;
        const UnfinishedTakeBack take{piece->diskPath, piece->created, piece->bytesBefore,
                                      piece->file.identity};
        if (TakeBackFile(take))
            continue;
        LogEvent(FormatText("File '%s' could not be %s (%s): tried again at every commit",
                            piece->diskPath.c_str(),
                            piece->created ? "removed, which has no row" : "cut back to its row",
                            std::strerror(errno)));
        m_unfinished.push_back(take);
    }
    const int chunks = PendingChunks(channel);
    const double firstBegin = channel.pending.empty() ? 0 : channel.pending.front().begin;
    channel.Written() = channel.committedFile;
    channel.openFile = {};
    channel.pending.clear();
    channel.EmptyBuffer();
    if (!channel.hold.Active())
        channel.resumeTime = channel.committedEnd > 0 ? channel.committedEnd : firstBegin;
    channel.writtenEnd = channel.committedEnd;
    if (!rerequested)
        return;
    channel.counters->ChunkRerequested(chunks);
    if (databaseAway)
    {
        for (int i = 0; i < chunks; ++i)
            DbCountTakenBackChunk();
    }
}

void CChunkJournal::RetryUnfinishedTakeBacks()
{
    std::vector<UnfinishedTakeBack> left;
    for (const UnfinishedTakeBack& take : m_unfinished)
    {
        if (TakeBackFile(take))
            LogEvent(FormatText("File '%s' is taken back now", take.path.c_str()));
        else
            left.push_back(take);
    }
    m_unfinished.swap(left);
}

bool CChunkJournal::TakeBackCheck(const ChannelLocation& where, bool tryRows)
{
    bool accepted = true;
    if (tryRows && !where.channel->pending.empty())
    {
        const std::vector<std::string> statements = RowStatements(*where.group, *where.channel);
        accepted = DbTryAll(statements).ok;
    }
    TakeBack(*where.channel, where.group->station, false, false);
    m_dirty.erase(std::remove_if(m_dirty.begin(), m_dirty.end(),
                                 [&](const ChannelLocation& known)
                                 { return known.channel == where.channel; }),
                  m_dirty.end());
    return accepted;
}

void CChunkJournal::Commit()
{
    m_lastCommit = Clock::now();
    if (!m_unfinished.empty())
        RetryUnfinishedTakeBacks();
    std::vector<ChannelLocation> dirty;
    dirty.swap(m_dirty);
    dirty.erase(std::remove_if(dirty.begin(), dirty.end(),
                               [](const ChannelLocation& where)
                               { return where.channel->pending.empty(); }),
                dirty.end());
    if (dirty.empty() && m_loopHeadersDue.empty())
    {
        WriteResumeTimesIfDue();
        return;
    }

    const std::set<CChannelState*> unsynced =
        SyncPendingFiles(dirty, m_lease == nullptr || m_lease->Fresh());
    std::vector<ChannelLocation> ready;
    for (const ChannelLocation& where : dirty)
    {
        if (unsynced.count(where.channel) != 0)
        {
            TakeBack(*where.channel, where.group->station, false, true);
            m_failed = true;
        }
        else
        {
            ready.push_back(where);
        }
    }
    CommitRows(ready);
    WriteResumeTimesIfDue();
}

void CChunkJournal::CommitRows(std::vector<ChannelLocation>& ready)
{
    // One transaction for all. When the database refuses the values of one channel's rows,
    // that channel goes on hold and the others are tried again without it, a few times at
    // most; any other failure (the database away, its disk full) takes every chunk back and
    // ends the connection.
    // The rows of files that only grew are brought up to date together, by statements of
    // many rows each (a statement per row, parsed or sent on its own, would be most of the
    // commit's cost under a latency bound). When the database refuses such a statement, the
    // commit is tried again a statement per row, to find whose values it refuses.
    constexpr int kMostRefusedPerCommit = 4;
    constexpr std::size_t kSeveralChannels = std::numeric_limits<std::size_t>::max();
    bool together = true;
    std::set<std::string> loopFiles;
    for (int refused = 0; !ready.empty(); ++refused)
    {
        std::vector<std::string> all;
        std::vector<std::size_t> owner;     // the index in ready of each statement's channel
        std::vector<FileRowValues> updates; // views of the channels' names and paths
        std::vector<std::size_t> updateOwner;
        for (std::size_t i = 0; i < ready.size(); ++i)
        {
            for (std::string& statement :
                 RowStatements(*ready[i].group, *ready[i].channel, together ? &updates : nullptr))
            {
                all.push_back(std::move(statement));
                owner.push_back(i);
            }
            updateOwner.resize(updates.size(), i);
        }
        const std::size_t perStatement = FileRowsPerStatement();
        for (std::size_t first = 0; first < updates.size(); first += perStatement)
        {
            const std::size_t count = std::min(perStatement, updates.size() - first);
            all.push_back(UpdateFileRowsStatement(std::span(updates).subspan(first, count)));
            owner.push_back(count == 1 ? updateOwner[first] : kSeveralChannels);
        }
        const DbOutcome outcome =
            m_lease ? DbExecuteAllGuarded(
                          LeaseGuardStatement(m_lease->link, m_lease->owner, m_lease->fence), all)
                    : DbExecuteAll(all);
        if (outcome.guardFailed)
        {
            // Another instance holds the server now and asks for these samples itself: they
            // leave this archive, and the link stops writing.
            if (m_lease->Fresh())
                LogEvent(FormatText("Rows of server %s not committed: another instance holds it "
                                    "now; the chunks are taken back",
                                    m_lease->link.c_str()));
            m_lease->Lost();
            for (const ChannelLocation& where : ready)
                TakeBack(*where.channel, where.group->station, false, false);
            ready.clear();
            m_failed = true;
            break;
        }
        if (outcome.ok)
        {
            for (const ChannelLocation& where : ready)
                Accept(where, loopFiles);
            ready.clear();
            if (std::exchange(m_rowsFailing, false))
                LogEvent("Rows are written again");
            break;
        }
        if (!outcome.unreachable && outcome.failedStatement < owner.size() &&
            owner[outcome.failedStatement] == kSeveralChannels)
        {
            together = false; // whatever the database said, a statement per row says whose
            --refused;
            continue;
        }
        if (DbRefusedValues(outcome) && outcome.failedStatement < owner.size() &&
            refused < kMostRefusedPerCommit)
        {
            const std::size_t index = owner[outcome.failedStatement];
            const ChannelLocation where = ready[index];
            CChannelState& channel = *where.channel;
            const std::string detail =
                FormatText("the database refuses the rows of %s (%s)",
                           PendingFileNames(channel).c_str(), outcome.message.c_str());
            ReportProblem(channel, kProblemRow, detail);
            TakeBack(channel, where.group->station, false, true);
            HoldChannel(channel, where.group->station, HoldReason::RowsRefused, detail);
            ready.erase(ready.begin() + static_cast<std::ptrdiff_t>(index));
            continue;
        }
        // Logged when it begins, not at every commit while it lasts (an outage is logged by
        // itself).
        if (!outcome.unreachable && !std::exchange(m_rowsFailing, true))
        {
            LogEvent("Rows not written (" + outcome.message +
                     "); the chunks are taken back and requested again until they are");
        }
        for (const ChannelLocation& where : ready)
            TakeBack(*where.channel, where.group->station, outcome.unreachable, true);
        ready.clear();
        m_failed = true;
    }
    FaultPoint("chunk-rows-written");
    for (const std::string& due : m_loopHeadersDue)
        loopFiles.insert(due);
    m_loopHeadersDue = RewriteLoopHeaders(loopFiles, m_loopHeadersDue);
}

} // namespace tarvell
