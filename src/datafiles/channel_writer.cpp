#include "datafiles/channel_writer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "datafiles/channel_state.h"
#include "datafiles/channel_hold.h"
#include "datafiles/channel_ini.h"
#include "datafiles/chunk_journal.h"
#include "datafiles/chunk_policy.h"
#include "datafiles/data_file_io.h"
#include "datafiles/data_file_names.h"
#include "datafiles/file_header.h"
#include "datafiles/loop_file_sink.h"
#include "datafiles/loop_segments.h"
#include "datafiles/packet_screen.h"
#include "datafiles/time_named_sink.h"
#include "datafiles/write_problems.h"
#include "db/connection.h"
#include "db/db_access.h"
#include "db/db_health.h"
#include "db/disk_loop.h"
#include "platform/time_conversions.h"
#include "link/waveform_packet.h"
#include "log/event_log.h"
#include "metrics/metrics_registry.h"
#include "platform/clock.h"
#include "platform/fault_point.h"
#include "platform/file_system.h"
#include "platform/sync_ahead.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

// A new time-named file whose name is taken gets the first free of name_1 ... name_99.
constexpr int kMaxNameVariants = 99;

// Data that reach the program within this many seconds of being taken are live.
constexpr double kLiveSeconds = 60;

// The samples of a chunk as they go to disk (4 bytes each, little-endian).
struct ChunkBytes
{
    std::array<unsigned char, kMaxChunkSamples * kSampleBytes> bytes;
    std::size_t size = 0;
};

// What a failed write means for the channel's server: a fault of the disk itself (full,
// read-only, failing) meets every channel, and the connection ends until it is over; any
// other fault (a file or directory that cannot be opened or made) is the channel's alone.
enum class Outcome
{
    Written,
    NewFile,     // the current file cannot take the chunk: it goes into a new file
    RootMissing, // the data root is not there (any more): nothing was written
    ChannelFault,
    DiskFault,
};

bool HitsEveryChannel(int error)
{
    switch (error)
    {
    case ENOSPC:
    case EDQUOT:
    case EROFS:
    case EIO:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case EFBIG:
        return true;
    default:
        return false;
    }
}

// Logs a failed write once while it lasts; says what it means for the channel.
Outcome ReportWriteError(CChannelState& channel, const std::string& path, int error)
{
    ReportProblem(channel, kProblemFileWrite,
                  FormatText("File write error '%s': %s; the chunk is requested again",
                             path.c_str(), std::strerror(error)));
    return HitsEveryChannel(error) ? Outcome::DiskFault : Outcome::ChannelFault;
}

void FileWritten(CChannelState& channel, const std::string& path)
{
    if (ProblemReported(channel, kProblemFileWrite))
        ProblemOver(channel, kProblemFileWrite,
                    FormatText("Data written again '%s'", path.c_str()));
}

bool DataRootUsable()
{
    if (IsDirectory(g_waveRoot))
    {
        if (NoteDataRootMissing(false))
            LogEvent(FormatText("Data root '%s' is there again", g_waveRoot.c_str()));
        return true;
    }
    // Noted for the status (and so logged once while it lasts).
    if (!NoteDataRootMissing(true))
    {
        LogEvent(FormatText("Data root '%s' does not exist: chunks are requested again until "
                            "it does",
                            g_waveRoot.c_str()));
    }
    return false;
}

// DataRootUsable at most a few times a second per link thread: a status of the data root for
// every chunk was a twentieth of a busy program's time. A root that went within that time is
// found by the first chunk that misses it (RootMissing), before that counts as the file's
// fault.
bool DataRootSeenLately()
{
    constexpr auto kLately = std::chrono::milliseconds(250);
    thread_local std::chrono::steady_clock::time_point seen{};
    const auto now = SteadyCoarseNow();
    if (seen != std::chrono::steady_clock::time_point{} && now - seen < kLately)
        return true;
    if (!DataRootUsable())
    {
        seen = {};
        return false;
    }
    seen = now;
    return true;
}

void ForgetCurrentFile(CChannelState& channel)
{
    channel.openFile = {};
    channel.fileStart = 0;
    channel.fileDuration = 0;
    channel.currentFile.clear();
    channel.fileBytes = 0;
    channel.segmentOffset = 0;
    channel.currentInLoopFile = false;
}

// Rotation: a file or segment that holds more than FILELENGTH(MIN) minutes less one second
// is finished; the next chunk starts a new one.
void RotateIfFull(const CStationGroup& group, CChannelState& channel)
{
    if (FileIsFull(channel.fileDuration, group.fileLength))
    {
        channel.fileStart = 0;
        channel.fileDuration = 0;
    }
}

PendingFile PieceOf(const CChannelState& channel)
{
    PendingFile piece;
    piece.sampleRate = channel.sampleRate;
    piece.calib = channel.calib;
    piece.calper = channel.calper;
    piece.begin = channel.fileStart;
    piece.duration = channel.fileDuration;
    piece.chunks = 1;
    piece.samples = channel.bufferCount;
    return piece;
}

// ---- time-named files --------------------------------------------------------------------

// The piece of this commit that the channel's current time-named file has already, if any.
PendingFile* PieceOfCurrentFile(CChannelState& channel)
{
    if (channel.pending.empty() || channel.pending.back().loopSegment ||
        channel.pending.back().rowPath != channel.currentFile)
        return nullptr;
    return &channel.pending.back();
}

// The chunk went onto the end of the channel's current file; file is how it was written when
// the file had no piece of this commit yet.
void RecordAppend(const CStationGroup& group, CChannelState& channel, std::size_t bytes,
                  WrittenFile&& file)
{
    const std::int64_t before = channel.fileBytes;
    channel.fileBytes += static_cast<std::int64_t>(bytes);
    channel.fileDuration += channel.bufferDuration;
    if (PendingFile* continued = PieceOfCurrentFile(channel))
    {
        continued->duration = channel.fileDuration;
        ++continued->chunks;
        continued->samples += channel.bufferCount;
    }
    else
    {
        PendingFile piece = PieceOf(channel);
        piece.rowPath = channel.currentFile;
        piece.diskPath = g_waveRoot + "/" + channel.currentFile;
        piece.bytesBefore = before;
        piece.file = std::move(file);
        channel.pending.push_back(std::move(piece));
    }
    RotateIfFull(group, channel);
    // A full file is not written again: it goes to the disk while the server is read on,
    // and the commit finds it there. The worker syncs it by its path, so what was kept back
    // for it is written first (a failure stays with the file, and its commit reports it).
    if (channel.fileStart == 0)
    {
        WrittenFile& full = channel.pending.back().file;
        if (full.held)
            (void)full.kept.WriteOut(full.held.Get());
        SyncAhead(channel.pending.back().diskPath);
    }
}

Outcome AppendChunk(const CStationGroup& group, CChannelState& channel, const ChunkBytes& chunk)
{
    const std::string path = g_waveRoot + "/" + channel.currentFile;
    // A file written since the last commit is written through the descriptor held for it,
    // and so is the file the last commit left open.
    WrittenFile fresh;
    PendingFile* piece = PieceOfCurrentFile(channel);
    const bool carried =
        piece == nullptr && channel.openFile.held && channel.openFilePath == channel.currentFile;
    if (carried)
        fresh = std::move(channel.openFile);
    channel.openFile = {};
    int error = 0;
    // The first chunk of a commit is written as it comes (in real time the only one); those
    // that follow it into the same file are kept back for fewer, larger writes.
    const bool keep = piece != nullptr;
    SinkResult result = AppendToDataFile(path, channel.fileBytes, chunk.bytes.data(), chunk.size,
                                         keep, keep ? &piece->file : &fresh, &error);
    if (carried && result == SinkResult::Gone)
    {
        // Removed since the last commit: what its path names now decides, as for any chunk.
        fresh = {};
        result = AppendToDataFile(path, channel.fileBytes, chunk.bytes.data(), chunk.size, false,
                                  &fresh, &error);
    }
    switch (result)
    {
    case SinkResult::Written:
        FileWritten(channel, path);
        DiskLoopWritten(group.station, chunk.size);
        RecordAppend(group, channel, chunk.size, std::move(fresh));
        return Outcome::Written;
    case SinkResult::Gone:
        if (!DataRootUsable())
            return Outcome::RootMissing;
        // A file that is gone was usually taken by the disk-loop purge: an event, not a
        // lasting fault, so it is logged each time.
        LogEvent(FormatText("File open error '%s'", path.c_str()));
        ForgetCurrentFile(channel);
        return Outcome::NewFile;
    case SinkResult::Changed:
        LogEvent(FormatText("File '%s' was changed by another program (%d bytes, %lld "
                            "expected): a new file is started",
                            path.c_str(), error, static_cast<long long>(channel.fileBytes)));
        ForgetCurrentFile(channel);
        return Outcome::NewFile;
    case SinkResult::Taken:
    case SinkResult::Failed:
        break;
    }
    return ReportWriteError(channel, path, error);
}

struct FileName
{
    std::string relative; // STATION/HH/DDMMYYYY-HHMMSS-CHN.STA
    std::string full;     // under the data root
};

FileName NameFor(const CStationGroup& group, const CChannelState& channel, int year, int month,
                 int day, int hour, int minute, int second, int variant)
{
    FileName result;
    result.relative =
        TimeNamedPath(group.station, channel.name, year, month, day, hour, minute, second, variant);
    result.full = g_waveRoot + "/" + result.relative;
    return result;
}

Outcome CreateChunkFile(const CStationGroup& group, CChannelState& channel, const ChunkBytes& chunk)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    float seconds = 0;
    if (!EpochToCalendar(channel.bufferStart, &year, &month, &day, &hour, &minute, &seconds))
    {
        // A time without a date is no data the server can send again: it is dropped.
        ReportProblem(channel, kProblemBadPacket,
                      FormatText("Chunk of station %s channel %s dropped: its time %f has no date",
                                 group.station.c_str(), channel.name.c_str(), channel.bufferStart));
        return Outcome::Written;
    }
    const int second = static_cast<int>(seconds);
    // The station and hour directories are made when a file finds them missing, not before
    // every file (a walk of each path). Why a directory could not be made says more than the
    // file's ENOENT that follows: a read-only disk is every channel's fault, a file in the
    // directory's place this one's.
    int directoryError = 0;
    bool directoriesMade = false;
    auto makeDirectories = [&]
    {
        directoriesMade = true;
        if (!MakeDirectory(g_waveRoot + "/" + group.station) ||
            !MakeDirectory(g_waveRoot + "/" + HourDirectory(group.station, hour)))
            directoryError = errno;
    };

    FileHeader header;
    BuildFileHeader(header, group.station, channel.name, channel.sampleRate, channel.bufferStart,
                    channel.bufferDuration);

    // Files are made exclusively: a file of the same name, whoever left it, is never
    // overwritten, and neither is its row. The chunk then goes into the next free variant of
    // the name; even the channel's own current file is not continued under its name, since
    // a chunk that does not continue it in time would stand at times not its own there.
    FileName name;
    WrittenFile file;
    int error = 0;
    SinkResult result = SinkResult::Taken;
    for (int variant = 0; result == SinkResult::Taken && variant <= kMaxNameVariants; ++variant)
    {
        name = NameFor(group, channel, year, month, day, hour, minute, second, variant);
        result = CreateDataFile(name.full, header, chunk.bytes.data(), chunk.size, &file, &error);
        if (result == SinkResult::Failed && error == ENOENT && !directoriesMade)
        {
            makeDirectories();
            result =
                CreateDataFile(name.full, header, chunk.bytes.data(), chunk.size, &file, &error);
        }
    }
    if (result == SinkResult::Taken)
    {
        ReportProblem(channel, kProblemFileWrite,
                      FormatText("File create error '%s': every name is taken; the chunk is "
                                 "requested again",
                                 name.full.c_str()));
        return Outcome::ChannelFault;
    }
    if (result != SinkResult::Written)
    {
        if (error == ENOENT && !DataRootUsable())
            return Outcome::RootMissing;
        if (error == ENOENT && directoryError != 0)
            error = directoryError;
        ReportProblem(channel, kProblemFileWrite,
                      FormatText("File create error '%s': %s; the chunk is requested again",
                                 name.full.c_str(), std::strerror(error)));
        return HitsEveryChannel(error) ? Outcome::DiskFault : Outcome::ChannelFault;
    }
    FileWritten(channel, name.full);
    DiskLoopWritten(group.station, kHeaderSize + chunk.size);

    channel.currentFile = name.relative;
    channel.currentInLoopFile = false;
    channel.fileStart = channel.bufferStart;
    channel.fileDuration = channel.bufferDuration;
    channel.fileBytes = static_cast<std::int64_t>(kHeaderSize + chunk.size);
    channel.segmentOffset = 0;
    PendingFile piece = PieceOf(channel);
    piece.rowPath = name.relative;
    piece.diskPath = name.full;
    piece.created = true;
    piece.file = std::move(file);
    channel.pending.push_back(std::move(piece));
    return Outcome::Written;
}

Outcome WriteTimeNamedChunk(const CStationGroup& group, CChannelState& channel,
                            const ChunkBytes& chunk)
{
    // One instance purges a station: where another holds the station's first server, it does.
    if (group.purgesStation)
    {
        const auto limit = static_cast<std::uint64_t>(std::max<std::int64_t>(group.loopSize, 0));
        const PurgeOutcome purge = PurgeDiskLoop(group.station, limit, kHeaderSize + chunk.size);
        group.counters->DiskLoopChecked(purge.size, limit, purge.filesPurged);
    }
    if (ContinuesFile(channel, channel.bufferStart, channel.sampleRate) &&
        !channel.currentFile.empty() && !channel.currentInLoopFile)
    {
        const Outcome appended = AppendChunk(group, channel, chunk);
        if (appended != Outcome::NewFile)
            return appended;
    }
    return CreateChunkFile(group, channel, chunk);
}

// ---- loop files ---------------------------------------------------------------------------

// A loop segment's piece again (a loop file is never held open, so all of it is its values).
PendingFile SegmentCopy(const PendingFile& piece)
{
    PendingFile copy;
    copy.loopSegment = piece.loopSegment;
    copy.rowPath = piece.rowPath;
    copy.diskPath = piece.diskPath;
    copy.rowOffset = piece.rowOffset;
    copy.offset = piece.offset;
    copy.erased = piece.erased;
    copy.begin = piece.begin;
    copy.duration = piece.duration;
    copy.sampleRate = piece.sampleRate;
    copy.calib = piece.calib;
    copy.calper = piece.calper;
    copy.chunks = piece.chunks;
    copy.samples = piece.samples;
    return copy;
}

// The byte after the latest segment of the channel's loop file: known in memory once the
// channel has written a segment, else asked from the database. Nothing when the database
// cannot tell (the ring would start again at 512 over data whose rows still describe it).
std::optional<std::int64_t> LatestSegmentEnd(const CStationGroup& group, CChannelState& channel,
                                             const std::string& path)
{
    if (channel.loopEnd > 0)
        return channel.loopEnd;
    const LoopSegment last = LastLoopSegment(group.station, channel.name, path);
    if (!last.ok)
    {
        ReportProblem(channel, kProblemLoopPosition,
                      FormatText("Chunks of loop file '%s' not written: the database cannot tell "
                                 "where the file continues",
                                 path.c_str()));
        return std::nullopt;
    }
    ProblemOver(channel, kProblemLoopPosition);
    if (last.offset <= 0)
        return 0;
    return last.offset + SegmentSamples(last.duration, last.sampleRate) * kSampleBytes;
}

// Before the bytes from begin up to end are overwritten, every row that describes some of
// them is shortened or deleted (committed at once: the bytes change right after), and so is
// every pending segment. A segment only partly overwritten keeps its intact samples. The
// segment at keepOffset is the one the chunk lengthens.
bool ReleaseOverwrittenBytes(const CStationGroup& group, CChannelState& channel,
                             const std::string& path, std::int64_t begin, std::int64_t end,
                             std::int64_t keepOffset)
{
    bool ok = false;
    const std::vector<LoopSegmentRow> rows =
        SegmentsTouching(group.station, channel.name, path, begin, end, &ok);
    if (!ok)
        return false;
    std::vector<std::string> statements;
    for (const LoopSegmentRow& row : rows)
    {
        const bool pendingRow =
            std::any_of(channel.pending.begin(), channel.pending.end(),
                        [&](const PendingFile& piece)
                        { return piece.loopSegment && piece.rowOffset == row.piece.offset; });
        if (row.piece.offset == keepOffset || pendingRow)
            continue; // its row is written from the pending piece at the commit
        const SegmentRemainder rest =
            RemainderAfterOverwrite(row.piece, row.sampleRate, begin, end);
        if (!rest.overlaps)
            continue;
        if (channel.committedFile.currentInLoopFile &&
            channel.committedFile.segmentOffset == row.piece.offset)
        {
            // A chunk taken back must never lengthen the shortened segment again.
            channel.committedFile.fileStart = 0;
            channel.committedFile.fileDuration = 0;
            channel.committedFile.loopEnd = 0;
        }
        if (rest.head)
            statements.push_back(MoveLoopSegmentStatement(group.station, channel.name, path,
                                                          row.piece.offset, *rest.head));
        if (rest.tail && rest.head)
        {
            for (std::string& statement :
                 AddLoopSegmentStatements(group.station, channel.name, path, *rest.tail,
                                          row.sampleRate, row.calib, row.calper))
                statements.push_back(std::move(statement));
        }
        else if (rest.tail)
        {
            statements.push_back(MoveLoopSegmentStatement(group.station, channel.name, path,
                                                          row.piece.offset, *rest.tail));
        }
        if (!rest.head && !rest.tail)
            statements.push_back(
                DeleteLoopSegmentStatement(group.station, channel.name, path, row.piece.offset));
    }
    if (!statements.empty() && !DbExecuteAll(statements).ok)
        return false;

    std::vector<PendingFile> tails;
    for (PendingFile& piece : channel.pending)
    {
        if (!piece.loopSegment || piece.erased || piece.diskPath != path ||
            piece.offset == keepOffset)
            continue;
        const SegmentRemainder rest = RemainderAfterOverwrite(
            {piece.offset, piece.begin, piece.duration}, piece.sampleRate, begin, end);
        if (!rest.overlaps)
            continue;
        if (rest.head)
            piece.duration = rest.head->duration;
        if (rest.head && rest.tail)
        {
            PendingFile tail = SegmentCopy(piece);
            tail.rowOffset = -1;
            tail.offset = rest.tail->offset;
            tail.begin = rest.tail->begin;
            tail.duration = rest.tail->duration;
            tails.push_back(std::move(tail));
        }
        else if (rest.tail)
        {
            piece.offset = rest.tail->offset;
            piece.begin = rest.tail->begin;
            piece.duration = rest.tail->duration;
        }
        piece.erased = !rest.head && !rest.tail;
    }
    for (PendingFile& tail : tails)
        channel.pending.push_back(std::move(tail));
    return true;
}

// The pending piece of the segment the channel is lengthening, or nullptr.
PendingFile* CurrentSegmentPiece(CChannelState& channel, const std::string& path)
{
    for (auto piece = channel.pending.rbegin(); piece != channel.pending.rend(); ++piece)
    {
        if (piece->loopSegment && !piece->erased && piece->diskPath == path &&
            piece->offset == channel.segmentOffset)
            return &*piece;
    }
    return nullptr;
}

// A failed statement about the loop file's rows: the database away is everyone's fault.
Outcome DatabaseFault()
{
    return DbReachable() ? Outcome::ChannelFault : Outcome::DiskFault;
}

Outcome WriteLoopChunk(const CStationGroup& group, CChannelState& channel, const ChunkBytes& chunk)
{
    const std::string path = LoopFilePath(g_waveRoot, group, channel.loopFile);
    const std::optional<std::int64_t> latestEnd = LatestSegmentEnd(group, channel, path);
    if (!latestEnd)
        return DatabaseFault();
    const LoopPosition next = NextLoopPosition(*latestEnd, group.ringSize);
    const std::int64_t end = next.position + static_cast<std::int64_t>(chunk.size);
    const std::int64_t currentEnd =
        channel.segmentOffset +
        SegmentSamples(channel.fileDuration, channel.sampleRate) * kSampleBytes;
    const bool extend = !next.wrapped && channel.currentInLoopFile && channel.HasCurrentFile() &&
                        currentEnd == next.position &&
                        ContinuesFile(channel, channel.bufferStart, channel.sampleRate);

    if (!ReleaseOverwrittenBytes(group, channel, path, next.position, end,
                                 extend ? channel.segmentOffset : -1))
    {
        ReportProblem(channel, kProblemLoopPosition,
                      FormatText("Chunks of loop file '%s' not written: the rows of the bytes "
                                 "they overwrite cannot be changed",
                                 path.c_str()));
        return DatabaseFault();
    }
    std::int64_t sizeBefore = -1;
    int error = 0;
    if (!WriteLoopSamples(path, next.position, chunk.bytes.data(), chunk.size, &sizeBefore, &error))
        return ReportWriteError(channel, path, error);
    FileWritten(channel, path);
    if (sizeBefore >= 0 && sizeBefore < next.position)
    {
        ReportProblem(channel, kProblemLoopFileShort,
                      FormatText("Loop file '%s' is shorter (%lld bytes) than its next write "
                                 "position %lld: it was cut by another program",
                                 path.c_str(), static_cast<long long>(sizeBefore),
                                 static_cast<long long>(next.position)));
    }
    else
    {
        ProblemOver(channel, kProblemLoopFileShort);
    }

    channel.loopEnd = end;
    if (extend)
    {
        channel.fileDuration += channel.bufferDuration;
        if (PendingFile* piece = CurrentSegmentPiece(channel, path))
        {
            piece->duration = channel.fileDuration;
            ++piece->chunks;
            piece->samples += channel.bufferCount;
        }
        else
        {
            PendingFile lengthened = PieceOf(channel);
            lengthened.loopSegment = true;
            lengthened.rowPath = path;
            lengthened.diskPath = path;
            lengthened.rowOffset = channel.segmentOffset;
            lengthened.offset = channel.segmentOffset;
            channel.pending.push_back(std::move(lengthened));
        }
        RotateIfFull(group, channel);
        return Outcome::Written;
    }

    channel.fileStart = channel.bufferStart;
    channel.fileDuration = channel.bufferDuration;
    channel.currentFile.clear();
    channel.currentInLoopFile = true;
    channel.segmentOffset = next.position;
    PendingFile segment = PieceOf(channel);
    segment.loopSegment = true;
    segment.rowPath = path;
    segment.diskPath = path;
    segment.offset = next.position;
    channel.pending.push_back(std::move(segment));
    return Outcome::Written;
}

// ---- chunks and packets -------------------------------------------------------------------

// The chunk in the buffer was not written: the channel is asked again from the end of what
// it has written.
bool ChunkNotWritten(CChannelState& channel, CChunkJournal& journal, bool databaseAway)
{
    channel.resumeTime = channel.writtenEnd > 0 ? channel.writtenEnd : channel.bufferStart;
    channel.EmptyBuffer();
    channel.counters->ChunkRerequested();
    journal.NoteFailure();
    if (databaseAway)
        DbCountTakenBackChunk();
    return false;
}

void AppendToBuffer(CChannelState& channel, double interval, const std::int32_t* samples, int count)
{
    // Doubling, but never past the most a chunk holds: a vector left to grow by itself
    // would keep room for 6400 samples to hold 4900.
    if (channel.bufferCount == 0)
    {
        // Live data were taken over the packet's span before it came; a backlog's were taken
        // long ago, and its buffers are counted from their arrival (they fill long before a
        // latency bound, which would otherwise write every packet of a catch-up on its own).
        channel.bufferArrivedMs = BootClockMs();
        const double span = std::min(interval * count, 86400.0); // a day: no overflow
        const bool live = EpochSecondsCoarse() - (channel.bufferStart + span) < kLiveSeconds;
        channel.bufferTakenMs =
            channel.bufferArrivedMs - (live ? std::llround(span * 1000) : std::int64_t{0});
    }
    const auto needed = static_cast<std::size_t>(channel.bufferCount + count);
    if (channel.samples.capacity() < needed)
        channel.samples.reserve(std::min<std::size_t>(
            std::max(needed, 2 * channel.samples.capacity()), kMaxChunkSamples));
    if (channel.samples.size() < needed)
        channel.samples.resize(needed);
    float* out = channel.samples.data() + channel.bufferCount;
    for (int i = 0; i < count; ++i)
        out[i] = static_cast<float>(samples[i]);
    channel.bufferCount += count;
    channel.bufferDuration += count * interval;
}

double FiniteOrZero(CChannelState& channel, float value)
{
    if (std::isfinite(value))
        return value;
    ReportProblem(channel, kProblemCalibration,
                  FormatText("Channel %s: the server sends a calibration that is no number; 0 is "
                             "registered instead",
                             channel.name.c_str()));
    return 0;
}

// Writes the buffered chunk into the channel's loop file or time-named file.
Outcome WriteChunk(const ChannelLocation& where)
{
    const CStationGroup& group = *where.group;
    CChannelState& channel = *where.channel;
    const LoopMode mode = ChannelLoopMode(g_waveRoot, group, channel.loopFile);
    if (mode == LoopMode::MissingLoopFile && !DataRootUsable())
        return Outcome::RootMissing;
    if (mode == LoopMode::MissingLoopFile)
    {
        ReportProblem(channel, kProblemLoopFileMissing,
                      FormatText("Loop file of station %s channel %s not found under the data "
                                 "root '%s': time-named files are written",
                                 group.station.c_str(), channel.name.c_str(), g_waveRoot.c_str()));
    }
    else
    {
        ProblemOver(channel, kProblemLoopFileMissing);
    }
    const bool loopFile = mode == LoopMode::LoopFile;
    if (channel.HasCurrentFile() && channel.currentInLoopFile != loopFile)
        ForgetCurrentFile(channel); // the channel changed between loop file and time-named files

    ChunkBytes chunk;
    chunk.size = static_cast<std::size_t>(channel.bufferCount) * kSampleBytes;
    EncodeSamples(channel.samples.data(), channel.bufferCount, chunk.bytes.data());
    return loopFile ? WriteLoopChunk(group, channel, chunk)
                    : WriteTimeNamedChunk(group, channel, chunk);
}

// The buffer of a channel on hold: dropped, unless its fault is due to be checked again.
// The check writes the chunk as any other and takes it back at once (with the rows tried,
// when the database refused them): only a connection that asks again from the resume point
// may archive the channel again, or a gap would open before the chunk.
void CheckHeldChannel(const ChannelLocation& where, CChunkJournal& journal)
{
    CChannelState& channel = *where.channel;
    // Only an acquisition thread's own connection can be asked again; a stop or a reload
    // drops the buffer.
    if (journal.Connection() == 0 || !HoldCheckDue(channel) || !DbReachable() ||
        !IsDirectory(g_waveRoot))
    {
        DropHeldBuffer(channel);
        return;
    }
    const bool cleared =
        WriteChunk(where) == Outcome::Written &&
        journal.TakeBackCheck(where, channel.hold.reason == HoldReason::RowsRefused);
    if (cleared)
    {
        ReleaseHold(channel, where.group->station, journal.Connection());
        return;
    }
    journal.TakeBackCheck(where, false);
    HoldCheckFailed(channel);
    DropHeldBuffer(channel);
}

// Tells, once per connection, what the screen of the channel's packets kept out, and counts
// every sample of it. Samples sent again are told as one run, with its span, when it ends.
void NoteScreened(const ChannelLocation& where, const WaveformPacket& packet,
                  const ScreenResult& screen, std::uint64_t connection)
{
    CChannelState& channel = *where.channel;
    PacketScreenLog& log = channel.screen;
    if (log.connection != connection)
        log = PacketScreenLog{connection};
    if (screen.verdict == kPacketTaken || screen.verdict == kPacketResent)
    {
        if (screen.dropped == 0)
            return;
        channel.counters->SamplesDropped(DropReason::Resent, screen.dropped);
        if (log.resentSamples == 0)
            log.resentFrom = packet.beginTime;
        log.resentTo = packet.beginTime + screen.dropped / channel.sampleRate;
        log.resentSamples += screen.dropped;
        return;
    }
    channel.counters->SamplesDropped(DropReason::Future, screen.dropped);
    if ((log.logged & screen.verdict) != 0)
        return;
    log.logged |= screen.verdict;
    const char* why = screen.verdict == kPacketFuture
                          ? "lies ahead of the clock by more than %.0f s"
                          : "lies before 1970%.0s";
    LogEvent(FormatText("Station %s channel %s: a packet dated %s %s: not archived, and the "
                        "channel's resume point stays",
                        where.group->station.c_str(), channel.name.c_str(),
                        util_dttostr(packet.beginTime, 0), FormatText(why, FutureLimit()).c_str()));
}

// The server's interval is not the channel's SITECHAN rate: the channel is held until they
// agree again (a reload of a mended SITECHAN, or a mended server).
bool HoldForRates(const ChannelLocation& where, const WaveformPacket& packet,
                  CChunkJournal& journal)
{
    CChannelState& channel = *where.channel;
    channel.counters->SamplesDropped(DropReason::RatesDisagree, packet.count);
    if (channel.hold.reason == HoldReason::RatesDisagree)
        return true;
    // What is buffered came while the rates agreed: it is written first.
    if (!channel.hold.Active() && !FlushChannel(where, journal))
        return false;
    HoldChannel(channel, where.group->station, HoldReason::RatesDisagree,
                FormatText("its server sends a sample interval of %.6f s (%.6g Hz) while "
                           "SITECHAN gives %.6g Hz, so its rows could not describe its files",
                           packet.sampleInterval, 1.0 / packet.sampleInterval, channel.sampleRate));
    return true;
}

} // namespace

void EndResentRun(const ChannelLocation& where)
{
    CChannelState& channel = *where.channel;
    PacketScreenLog& log = channel.screen;
    if (log.resentSamples == 0)
        return;
    if ((log.logged & kPacketResent) == 0)
    {
        log.logged |= kPacketResent;
        std::string from = util_dttostr(log.resentFrom, 0);
        LogEvent(FormatText("Station %s channel %s: the server sent %lld samples again (%s to "
                            "%s) that the archive holds already; they are not written again",
                            where.group->station.c_str(), channel.name.c_str(),
                            static_cast<long long>(log.resentSamples), from.c_str(),
                            util_dttostr(log.resentTo, 0)));
    }
    log.resentSamples = 0;
}

bool FlushChannel(const ChannelLocation& where, CChunkJournal& journal)
{
    CChannelState& channel = *where.channel;
    if (channel.bufferCount <= 0)
        return true;
    if (channel.hold.Active())
    {
        CheckHeldChannel(where, journal);
        return true;
    }
    // While the database is away nothing could be registered: the chunk is not even written.
    if (!DbReachable() && !DbRestore(false))
        return ChunkNotWritten(channel, journal, true);
    if (!DataRootSeenLately())
        return ChunkNotWritten(channel, journal, false);

    switch (WriteChunk(where))
    {
    case Outcome::RootMissing:
        return ChunkNotWritten(channel, journal, false);
    case Outcome::DiskFault:
        return ChunkNotWritten(channel, journal, !DbReachable());
    case Outcome::ChannelFault:
        channel.counters->ChunkRerequested();
        HoldChannel(channel, where.group->station, HoldReason::WriteFault, channel.lastProblem);
        return true;
    case Outcome::Written:
    case Outcome::NewFile:
        break;
    }
    channel.writtenEnd = channel.bufferStart + channel.bufferDuration;
    if (channel.writtenArrivedMs == 0)
        channel.writtenArrivedMs = channel.bufferArrivedMs;
    EnsureTodaysLogFile();
    FaultPoint("chunk-bytes-written");
    if (!channel.pending.empty())
        journal.Add(where);
    channel.EmptyBuffer();
    return true;
}

bool MergePacket(const WaveformPacket& packet, const ChannelLocation& where, CChunkJournal& journal)
{
    CChannelState& channel = *where.channel;
    if (packet.count < 0 || (packet.count > 0 && packet.samples == nullptr) ||
        !std::isfinite(packet.sampleInterval) || packet.sampleInterval <= 0 ||
        !std::isfinite(packet.beginTime))
    {
        ReportProblem(channel, kProblemBadPacket,
                      FormatText("Packets of station %s channel %s dropped: %d samples, sample "
                                 "interval %f",
                                 where.group->station.c_str(), channel.name.c_str(), packet.count,
                                 packet.sampleInterval));
        return true;
    }
    if (channel.askedAgainOn != 0 && channel.askedAgainOn == journal.Connection())
    {
        // The channel's server is asked again from its resume point on a new connection: what
        // this one still brings lies after a gap.
        channel.counters->SamplesDropped(DropReason::Held, packet.count);
        return true;
    }
    const ScreenResult screen =
        ScreenPacket(packet, channel.sampleRate, channel.hold.Active() ? 0 : channel.HeldEnd(),
                     EpochSecondsCoarse());
    if (screen.verdict == kPacketRatesDisagree)
        return HoldForRates(where, packet, journal);
    if (channel.hold.reason == HoldReason::RatesDisagree)
    {
        // The rates agree again (a reload, or the server): the channel is asked again from
        // where its data end, and this packet comes again then.
        ReleaseHold(channel, where.group->station, journal.Connection());
        return true;
    }
    NoteScreened(where, packet, screen, journal.Connection());
    if (screen.verdict != kPacketTaken)
        return true;
    if (screen.dropped == 0)
        EndResentRun(where);

    // Taken before the buffer decision: a chunk this packet causes to be written is
    // registered with this packet's calibration.
    channel.calib = FiniteOrZero(channel, packet.calib);
    channel.calper = FiniteOrZero(channel, packet.calper);

    if (packet.count > kMaxChunkSamples)
    {
        ReportProblem(channel, kProblemOversizePacket,
                      FormatText("Packet of %d samples of station %s channel %s taken in pieces "
                                 "of %d samples",
                                 packet.count, where.group->station.c_str(), channel.name.c_str(),
                                 kMaxChunkSamples));
    }
    // Times and lengths follow the channel's rate: the server's interval agrees with it, and
    // a row's TQTY x SPS must be the samples its file holds.
    const double interval = 1.0 / channel.sampleRate;
    int done = screen.dropped;
    while (done < packet.count)
    {
        const int piece = std::min(packet.count - done, kMaxChunkSamples);
        const double begin = packet.beginTime + done * interval;
        if (!ContinuesBuffer(channel.bufferStart, channel.bufferDuration, channel.bufferCount,
                             begin, interval, piece, channel.sampleRate))
        {
            if (!FlushChannel(where, journal))
                return false;
            if (channel.askedAgainOn != 0 && channel.askedAgainOn == journal.Connection())
                return true; // its hold just ended: the rest comes again on a new connection
            channel.bufferStart = begin;
            channel.bufferDuration = 0;
            channel.bufferCount = 0;
        }
        AppendToBuffer(channel, interval, packet.samples + done, piece);
        done += piece;
    }
    if (!channel.hold.Active())
        channel.resumeTime = packet.beginTime + packet.count * interval;
    return true;
}

} // namespace tarvell
