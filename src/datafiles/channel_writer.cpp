#include "datafiles/channel_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "config/station_groups.h"
#include "platform/text_format.h"
#include "datafiles/data_file_io.h"
#include "datafiles/file_header.h"
#include "datafiles/file_index.h"
#include "datafiles/loop_segments.h"
#include "db/connection.h"
#include "db/disk_loop.h"
#include "db/file_registry.h"
#include "link/time_conversions.h"
#include "link/waveform_packet.h"
#include "log/event_log.h"
#include "platform/fault_point.h"
#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace tarvell
{

std::atomic<bool> g_loopWrapped{false};

namespace
{

constexpr int kGain = 1;
constexpr int kDataType = 3; // FLOAT samples
constexpr std::int64_t kSampleBytes = 4;
constexpr std::int64_t kDataOffset = static_cast<std::int64_t>(kHeaderSize);
// Packet times come from the server in whole microseconds; as doubles near today's epoch
// they carry errors of a few tenths of a microsecond, which must not decide whether a packet
// continues the buffer.
constexpr double kTimeTolerance = 1e-6;
// A new time-named file whose name is taken gets the first free of name_1 ... name_99.
constexpr int kMaxNameVariants = 99;

// Set while the data root is missing, so that the condition is logged once.
std::atomic<bool> g_rootMissing{false};

// One chunk on its way to disk: the header (time-named files only) and the samples.
struct ChunkBytes
{
    std::array<unsigned char, kHeaderSize + kBufferCapacity * kSampleBytes> bytes;
    std::size_t sampleBytes = 0;

    unsigned char* Samples() { return bytes.data() + kHeaderSize; }
};

void Report(CChannelRecord& channel, unsigned problem, const std::string& text)
{
    if ((channel.reported & problem) != 0)
        return;
    channel.reported |= problem;
    LogEvent(text);
}

void Recovered(CChannelRecord& channel, unsigned problem, const std::string& text = {})
{
    if ((channel.reported & problem) == 0)
        return;
    channel.reported &= ~problem;
    if (!text.empty())
        LogEvent(text);
}

void ReportFileProblem(CChannelRecord& channel, const char* format, const std::string& path)
{
    Report(channel, kProblemFileWrite, FormatText(format, path.c_str()));
}

void ReportWriteError(CChannelRecord& channel, const std::string& path, int error)
{
    Report(channel, kProblemFileWrite,
           FormatText("File write error '%s': %s", path.c_str(), std::strerror(error)));
}

void FileWritten(CChannelRecord& channel, const std::string& path)
{
    Recovered(channel, kProblemFileWrite, FormatText("Data written again '%s'", path.c_str()));
}

bool DataRootUsable()
{
    if (IsDirectory(g_waveRoot))
    {
        if (g_rootMissing.exchange(false))
            LogEvent(FormatText("Data root '%s' is there again", g_waveRoot.c_str()));
        return true;
    }
    if (!g_rootMissing.exchange(true))
    {
        LogEvent(FormatText("Data root '%s' does not exist: chunks are dropped until it does",
                            g_waveRoot.c_str()));
    }
    return false;
}

std::int64_t WholeSeconds(double time)
{
    if (!std::isfinite(time) || std::fabs(time) > 9.0e18)
        return 0;
    return static_cast<std::int64_t>(std::trunc(time));
}

bool Continues(const CChannelRecord& channel)
{
    return channel.HasCurrentFile() && std::fabs(channel.fileStart + channel.fileDuration -
                                                 channel.bufferStart) <= 1.5 / channel.sampleRate;
}

void ForgetCurrentFile(CChannelRecord& channel)
{
    channel.fileStart = 0;
    channel.fileDuration = 0;
    channel.currentFile.clear();
    channel.fileBytes = 0;
    channel.fileRegistered = false;
    channel.segmentOffset = 0;
    channel.currentInLoopFile = false;
}

// Rotation: a file or segment that holds more than FILELENGTH(MIN) minutes less one second
// is finished; the next chunk starts a new one.
void RotateIfFull(const CStationGroup& group, CChannelRecord& channel)
{
    if (channel.fileDuration > 60.0 * group.fileLength - 1)
    {
        channel.fileStart = 0;
        channel.fileDuration = 0;
    }
}

// ---- time-named files --------------------------------------------------------------------

enum class Append
{
    Done,    // written, or dropped for a reason a new file would not cure
    NewFile, // the current file cannot take the chunk: it goes into a new file
};

// Appends the chunk to the channel's current time-named file. The file must still be
// exactly as this channel left it: a file another program shortened, lengthened or removed
// would make the row and the header disagree with the data, so it is left alone.
Append AppendChunk(const CStationGroup& group, CChannelRecord& channel, int section,
                   ChunkBytes& chunk)
{
    const std::string path = g_waveRoot + "/" + channel.currentFile;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd)
    {
        // A file that is gone was usually taken by the disk-loop purge: an event, not a
        // lasting fault, so it is logged each time.
        if (errno == ENOENT)
            LogEvent(FormatText("File open error '%s'", path.c_str()));
        else
            ReportFileProblem(channel, "File open error '%s'", path);
        ForgetCurrentFile(channel);
        return Append::NewFile;
    }
    const std::int64_t size = FileSizeOf(fd.Get());
    if (size != channel.fileBytes)
    {
        LogEvent(FormatText("File '%s' was changed by another program (%lld bytes, %lld "
                            "expected): a new file is started",
                            path.c_str(), static_cast<long long>(size),
                            static_cast<long long>(channel.fileBytes)));
        ForgetCurrentFile(channel);
        return Append::NewFile;
    }
    if (!WriteAt(fd.Get(), size, chunk.Samples(), chunk.sampleBytes))
    {
        ReportWriteError(channel, path, errno);
        TruncateTo(fd.Get(), size);
        return Append::Done; // the chunk is lost; the gap makes the next chunk a new file
    }
    FaultPoint("chunk-bytes-written");
    if (!fd.Close())
    {
        ReportWriteError(channel, path, errno);
        if (::truncate(path.c_str(), static_cast<off_t>(size)) != 0)
            ForgetCurrentFile(channel);
        return Append::Done;
    }
    FileWritten(channel, path);

    channel.fileBytes += static_cast<std::int64_t>(chunk.sampleBytes);
    channel.fileDuration += channel.bufferDuration;
    if (channel.fileRegistered)
    {
        UpdateFileRow(channel.currentFile, group.station, channel.fileStart, channel.fileDuration,
                      channel.name);
    }
    else
    {
        // The first registration failed: the row is written now, so that it accounts for
        // the file after all.
        channel.fileRegistered = RegisterFile(
            channel.currentFile, group.station, channel.fileStart, channel.fileDuration,
            channel.sampleRate, kGain, kDataType, channel.name, channel.calib, channel.calper);
    }
    SaveResumeTimeInSection(section, channel.name,
                            WholeSeconds(channel.fileStart + channel.fileDuration));
    channel.counters->ChunkCommitted(channel.bufferCount, channel.currentFile);
    ShowChannelFile(channel.currentFile, group.station, channel.name, false);
    RotateIfFull(group, channel);
    LogEvent("", true);
    return Append::Done;
}

struct FileName
{
    std::string relative; // STATION/HH/DDMMYYYY-HHMMSS-CHN.STA
    std::string full;     // under the data root
};

FileName NameFor(const CStationGroup& group, const CChannelRecord& channel, int year, int month,
                 int day, int hour, int minute, int second, int variant)
{
    const std::string directory = group.station + FormatText("/%02d", hour);
    std::string name = FormatText("%02d%02d%04d-%02d%02d%02d-%3s", day, month, year, hour, minute,
                                  second, channel.name.c_str());
    if (variant > 0)
        name += FormatText("_%d", variant);
    name += FormatText(".%3s", group.station.c_str());
    FileName result;
    result.relative = directory + "/" + name;
    result.full = g_waveRoot + "/" + result.relative;
    return result;
}

void CreateChunkFile(const CStationGroup& group, CChannelRecord& channel, int section,
                     ChunkBytes& chunk)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    float seconds = 0;
    if (!EpochToCalendar(channel.bufferStart, &year, &month, &day, &hour, &minute, &seconds))
    {
        Report(channel, kProblemBadPacket,
               FormatText("Chunk of station %s channel %s dropped: its time %f has no date",
                          group.station.c_str(), channel.name.c_str(), channel.bufferStart));
        return;
    }
    const int second = static_cast<int>(seconds);
    MakeDirectory(g_waveRoot + "/" + group.station + FormatText("/%02d", hour));

    FileHeader header;
    BuildFileHeader(header, group.station, channel.name, channel.sampleRate, channel.bufferStart,
                    channel.bufferDuration);
    std::memcpy(chunk.bytes.data(), header.data(), kHeaderSize);

    // Files are created exclusively: a file of the same name, whoever left it, is never
    // overwritten, and neither is its row. The chunk then goes into the next free variant of
    // the name, unless the name taken is the channel's own current file: a chunk that starts
    // in the same second after a short gap or overlap continues that file.
    FileName name;
    UniqueFd fd;
    for (int variant = 0; !fd && variant <= kMaxNameVariants; ++variant)
    {
        name = NameFor(group, channel, year, month, day, hour, minute, second, variant);
        fd.Reset(::open(name.full.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd || errno != EEXIST)
            break;
        if (channel.HasCurrentFile() && !channel.currentInLoopFile &&
            name.relative == channel.currentFile &&
            AppendChunk(group, channel, section, chunk) == Append::Done)
        {
            return;
        }
    }
    if (!fd)
    {
        ReportFileProblem(channel, "File create error '%s'", name.full);
        return;
    }

    const std::size_t size = kHeaderSize + chunk.sampleBytes;
    bool written = WriteAt(fd.Get(), 0, chunk.bytes.data(), size);
    int error = errno;
    if (written)
        FaultPoint("chunk-bytes-written");
    if (written && !fd.Close())
    {
        written = false;
        error = errno;
    }
    if (!written)
    {
        // The file is ours (created exclusively above): nothing half-written stays behind.
        fd.Reset();
        ::unlink(name.full.c_str());
        ReportWriteError(channel, name.full, error);
        return;
    }
    FileWritten(channel, name.full);

    channel.currentFile = name.relative;
    channel.currentInLoopFile = false;
    channel.fileStart = channel.bufferStart;
    channel.fileDuration = channel.bufferDuration;
    channel.fileBytes = static_cast<std::int64_t>(size);
    channel.segmentOffset = 0;
    channel.fileRegistered = RegisterFile(channel.currentFile, group.station, channel.fileStart,
                                          channel.fileDuration, channel.sampleRate, kGain,
                                          kDataType, channel.name, channel.calib, channel.calper);
    SaveResumeTimeInSection(section, channel.name,
                            WholeSeconds(channel.fileStart + channel.fileDuration));
    channel.counters->ChunkCommitted(channel.bufferCount, channel.currentFile);
    ShowChannelFile(channel.currentFile, group.station, channel.name, false);
    LogEvent("", true);
}

void WriteTimeNamedChunk(const CStationGroup& group, CChannelRecord& channel, int section,
                         ChunkBytes& chunk)
{
    const auto limit = static_cast<std::uint64_t>(std::max<std::int64_t>(group.loopSize, 0));
    const PurgeOutcome purge = PurgeDiskLoop(group.station, limit);
    group.counters->DiskLoopChecked(purge.size, limit, purge.filesPurged);
    if (Continues(channel) && !channel.currentFile.empty() &&
        AppendChunk(group, channel, section, chunk) == Append::Done)
    {
        return;
    }
    CreateChunkFile(group, channel, section, chunk);
}

// ---- loop files ---------------------------------------------------------------------------

// The byte at which the next segment of the loop file begins, after the latest segment; 512
// for the first one and when the ring is full (then wrapped is set).
std::int64_t NextLoopPosition(const LoopSegment& last, std::int64_t ringSize, bool* wrapped)
{
    *wrapped = false;
    if (last.offset == 0)
        return kDataOffset;
    // The latest segment holds TQTY x SPS samples; rounding to whole samples keeps the next
    // segment off the last sample of this one when the product falls just short.
    double samples = last.duration * last.sampleRate;
    if (!std::isfinite(samples) || samples < 0)
        samples = 0;
    samples = std::min(samples, 1.0e15);
    const std::int64_t position = last.offset + std::llround(samples) * kSampleBytes;
    if (position > ringSize)
    {
        *wrapped = true;
        return kDataOffset;
    }
    return position;
}

void WriteLoopChunk(const CStationGroup& group, CChannelRecord& channel, int section,
                    const std::string& stationDirectory, ChunkBytes& chunk)
{
    const std::string fileName = LoopFileName(section, group.station, channel.name);
    const std::string path = stationDirectory + "/" + fileName;

    const std::optional<std::int64_t> ringSize = LoopRingSize(section);
    if (!ringSize)
    {
        Report(channel, kProblemNoRingSize,
               FormatText("Chunk of station %s channel %s not written: no group of the program "
                          "INI names the station, so the ring size of '%s' is unknown",
                          group.station.c_str(), channel.name.c_str(), path.c_str()));
        return;
    }
    Recovered(channel, kProblemNoRingSize);

    const LoopSegment last = LastLoopSegment(group.station, channel.name, path);
    if (!last.ok)
    {
        // Without the latest segment the ring would start again at 512 over data whose rows
        // still describe it.
        Report(channel, kProblemLoopPosition,
               FormatText("Chunks of loop file '%s' not written: the database cannot tell "
                          "where the file continues",
                          path.c_str()));
        return;
    }
    Recovered(channel, kProblemLoopPosition);

    FileHeader header;
    BuildLoopHeader(header, group.station, channel.name, channel.sampleRate, path);

    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd)
    {
        ReportFileProblem(channel, "File open error '%s'", path);
        return;
    }

    bool wrapped = false;
    const std::int64_t position = NextLoopPosition(last, *ringSize, &wrapped);
    if (wrapped)
        g_loopWrapped = true;
    const std::int64_t end = position + static_cast<std::int64_t>(chunk.sampleBytes);
    const bool extend = !wrapped && last.offset > 0 && channel.currentInLoopFile &&
                        channel.segmentOffset == last.offset && Continues(channel);

    const std::int64_t size = FileSizeOf(fd.Get());
    if (size < position)
    {
        Report(channel, kProblemLoopFileShort,
               FormatText("Loop file '%s' is shorter (%lld bytes) than its next write position "
                          "%lld: it was cut by another program",
                          path.c_str(), static_cast<long long>(size),
                          static_cast<long long>(position)));
    }
    else
    {
        Recovered(channel, kProblemLoopFileShort);
    }

    if (!DeleteOverwrittenSegments(group.station, channel.name, path, position, end,
                                   extend ? last.offset : -1))
    {
        return;
    }
    if (!WriteAt(fd.Get(), 0, header.data(), kHeaderSize) ||
        !WriteAt(fd.Get(), position, chunk.Samples(), chunk.sampleBytes))
    {
        const int error = errno;
        if (end > size && size >= 0)
            TruncateTo(fd.Get(), std::max(size, kDataOffset));
        ReportWriteError(channel, path, error);
        return;
    }
    if (!fd.Close())
    {
        ReportWriteError(channel, path, errno);
        return;
    }
    FileWritten(channel, path);
    LogEvent("", true);

    if (extend)
    {
        channel.fileDuration += channel.bufferDuration;
        if (!ExtendLoopSegment(group.station, channel.name, path, last.offset,
                               channel.fileDuration))
        {
            // The row still ends where it ended: the next chunk starts a new segment there.
            ForgetCurrentFile(channel);
            return;
        }
        SaveResumeTimeInSection(section, channel.name,
                                WholeSeconds(channel.fileStart + channel.fileDuration));
        channel.counters->ChunkCommitted(channel.bufferCount, fileName + " (DL)");
        ShowChannelFile(fileName, group.station, channel.name, true);
        RotateIfFull(group, channel);
        return;
    }

    channel.fileStart = channel.bufferStart;
    channel.fileDuration = channel.bufferDuration;
    channel.currentFile.clear();
    channel.currentInLoopFile = true;
    channel.segmentOffset = position;
    if (!AddLoopSegment(group.station, channel.name, path, channel.fileStart, channel.fileDuration,
                        channel.sampleRate, channel.calib, channel.calper, position, g_loopWrapped))
    {
        // No row describes these samples: nothing may ever extend them.
        ForgetCurrentFile(channel);
        return;
    }
    SaveResumeTimeInSection(section, channel.name,
                            WholeSeconds(channel.fileStart + channel.fileDuration));
    channel.counters->ChunkCommitted(channel.bufferCount, fileName + " (DL)");
    ShowChannelFile(fileName, group.station, channel.name, true);
}

// Appends samples to the channel's buffer (the caller made room).
void AppendToBuffer(CChannelRecord& channel, double interval, const std::int32_t* samples,
                    int count)
{
    float* out = channel.samples.data() + channel.bufferCount;
    for (int i = 0; i < count; ++i)
        out[i] = static_cast<float>(samples[i]);
    channel.bufferCount += count;
    channel.bufferDuration += count * interval;
}

void MergePiece(const ChannelLocation& where, double begin, double interval,
                const std::int32_t* samples, int count)
{
    CChannelRecord& channel = *where.channel;
    const bool continues = std::fabs(channel.bufferStart + channel.bufferDuration - begin) <=
                               interval + kTimeTolerance &&
                           channel.bufferCount + count <= kMaxChunkSamples &&
                           channel.sampleRate > 1.0;
    if (!continues)
    {
        FlushChannel(where.groupIndex, where.channelIndex);
        channel.bufferStart = begin;
        channel.bufferDuration = 0;
        channel.bufferCount = 0;
    }
    AppendToBuffer(channel, interval, samples, count);
}

double FiniteOrZero(CChannelRecord& channel, float value)
{
    if (std::isfinite(value))
        return value;
    Report(channel, kProblemCalibration,
           FormatText("Channel %s: the server sends a calibration that is no number; 0 is "
                      "registered instead",
                      channel.name.c_str()));
    return 0;
}

} // namespace

void FlushChannel(std::size_t groupIndex, std::size_t channelIndex)
{
    const CStationGroup& group = *g_groups[groupIndex];
    CChannelRecord& channel = *group.channels[channelIndex];
    if (channel.bufferCount <= 0)
        return;
    if (!DataRootUsable())
    {
        channel.EmptyBuffer();
        return;
    }

    const std::string stationDirectory = g_waveRoot + "/" + group.station;
    MakeDirectory(stationDirectory);
    const int section = GroupSection(group);
    const LoopMode mode = ChannelLoopMode(section, group.station, channel.name);
    if (mode == LoopMode::MissingLoopFile)
    {
        Report(channel, kProblemLoopFileMissing,
               FormatText("Loop file of station %s channel %s not found under [DATA] DIR: "
                          "time-named files are written",
                          group.station.c_str(), channel.name.c_str()));
    }
    else
    {
        Recovered(channel, kProblemLoopFileMissing);
    }
    const bool loopFile = mode == LoopMode::LoopFile;
    if (channel.HasCurrentFile() && channel.currentInLoopFile != loopFile)
        ForgetCurrentFile(channel); // the channel changed between loop file and time-named files

    ChunkBytes chunk;
    chunk.sampleBytes = static_cast<std::size_t>(channel.bufferCount) * kSampleBytes;
    EncodeSamples(channel.samples.data(), channel.bufferCount, chunk.Samples());
    if (loopFile)
        WriteLoopChunk(group, channel, section, stationDirectory, chunk);
    else
        WriteTimeNamedChunk(group, channel, section, chunk);
    channel.EmptyBuffer();
}

void MergePacket(const WaveformPacket& packet)
{
    ChannelLocation where = FindChannel(FieldText(packet.station, sizeof packet.station),
                                        FieldText(packet.channel, sizeof packet.channel));
    if (!where)
        return;
    CChannelRecord& channel = *where.channel;
    const double interval = packet.sampleInterval;
    if (packet.count < 0 || (packet.count > 0 && packet.samples == nullptr) ||
        !std::isfinite(interval) || interval <= 0 || !std::isfinite(packet.beginTime))
    {
        Report(channel, kProblemBadPacket,
               FormatText("Packets of station %s channel %s dropped: %d samples, sample "
                          "interval %f",
                          where.group->station.c_str(), channel.name.c_str(), packet.count,
                          interval));
        return;
    }

    // Taken before the buffer decision: a chunk this packet causes to be written is
    // registered with this packet's calibration.
    channel.calib = FiniteOrZero(channel, packet.calib);
    channel.calper = FiniteOrZero(channel, packet.calper);

    if (packet.count > kMaxChunkSamples)
    {
        Report(channel, kProblemOversizePacket,
               FormatText("Packet of %d samples of station %s channel %s taken in pieces of "
                          "%d samples",
                          packet.count, where.group->station.c_str(), channel.name.c_str(),
                          kMaxChunkSamples));
    }
    int done = 0;
    do
    {
        const int piece = std::min(packet.count - done, kMaxChunkSamples);
        MergePiece(where, packet.beginTime + done * interval, interval, packet.samples + done,
                   piece);
        done += piece;
    } while (done < packet.count);

    channel.resumeTime = packet.endTime + interval;
}

} // namespace tarvell
