#pragma once
// The writing state of one channel: where its data end, the chunk it is collecting, the file
// or loop segment it continues, what is written and not yet committed, and its faults. It has
// one owner, the archive of the link that carries the channel (datafiles/link_archive.h);
// the link's acquisition thread writes it while the link runs, and the thread that stopped
// or paused the link while it does not. A reload hands an unchanged channel's state to the
// new configuration instead of making it anew.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/station_groups.h"
#include "platform/file_system.h"
#include "platform/held_file.h"
#include "metrics/counters.h"

namespace tarvell
{

// Conditions that are logged once when they begin, not for every chunk while they last.
enum WriteProblem : unsigned
{
    kProblemFileWrite = 1u << 0,       // a data file could not be opened, created or written
    kProblemOversizePacket = 1u << 1,  // a packet of more than kMaxChunkSamples samples
    kProblemBadPacket = 1u << 2,       // a negative sample count or no samples
    kProblemCalibration = 1u << 3,     // a calibration value that is no finite number
    kProblemLoopFileMissing = 1u << 4, // FILE_<channel> names a file that is not there
    kProblemLoopFileShort = 1u << 5,   // the loop file is shorter than the next write position
    kProblemLoopPosition = 1u << 7,    // the database cannot tell where a loop file continues
    kProblemRow = 1u << 8,             // the database refused the rows of a chunk
};

// Why a channel's samples are not archived for now. Its resume point stays where its
// archived data end, so nothing is lost: the server is asked again from there once the
// reason is gone. Every other channel goes on meanwhile.
enum class HoldReason : int
{
    None = 0,
    WriteFault = 1,    // the channel's file or directory cannot be written
    RowsRefused = 2,   // the database refuses the channel's rows
    RatesDisagree = 3, // the server's sample interval is not the SITECHAN rate's
};

// A channel's hold: since when, and when its fault is next checked again (the pause grows
// while the fault stays).
struct ChannelHold
{
    HoldReason reason = HoldReason::None;
    double since = 0; // epoch seconds
    std::chrono::steady_clock::time_point nextCheck{};
    std::chrono::milliseconds pause{0};
    std::string detail; // what the log said, for the status

    bool Active() const { return reason != HoldReason::None; }
};

// What the screen of a channel's packets found on the current connection, so that each
// kind of refused packet is logged once per connection (with the span, for samples sent
// again).
struct PacketScreenLog
{
    std::uint64_t connection = 0; // the connection these notes belong to
    unsigned logged = 0;          // PacketVerdict bits logged on it
    double resentFrom = 0;        // the run of samples sent again that is being dropped
    double resentTo = 0;
    std::int64_t resentSamples = 0;
};

// Where a channel writes: its current time-named file or loop segment, the one the next
// chunk continues. Kept twice in the channel's state: as written, and as the last commit
// left it (a chunk that cannot be committed takes the channel back to that).
struct ChannelFileState
{
    double fileStart = 0;       // epoch time of the first sample of the file or segment; 0: none
    double fileDuration = 0;    // seconds of data in it
    std::string currentFile;    // time-named file, relative to the data root: ABC/13/0712...
    std::int64_t fileBytes = 0; // size the current time-named file has
    std::int64_t segmentOffset = 0; // FOFF of the current loop segment
    std::int64_t loopEnd = 0;       // the byte after the latest segment written; 0: not known
    bool currentInLoopFile = false; // the current file is a loop segment, not a time-named file
};

// Bytes of one file or loop segment written since the channel's last commit: what the next
// commit registers, and what it takes back when it cannot.
struct PendingFile
{
    bool loopSegment = false;
    std::string rowPath;  // CPATH: relative to the data root, or the loop file's full path
    std::string diskPath; // the file on disk
    // Time-named: made since the last commit (taken back by removing it), else the size it
    // had before the first pending append (taken back by cutting it there).
    bool created = false;
    std::int64_t bytesBefore = 0;
    // The time-named file as it was written: a take-back touches the file under its name
    // only while it is still this one (the instance that took the channel's server over may
    // have removed it and made its own of that name). Its descriptor stays open until the
    // commit when the bound of held files allows.
    WrittenFile file;
    // Loop segment: FOFF of its committed row (-1: none yet); the row after the commit.
    std::int64_t rowOffset = -1;
    std::int64_t offset = 0; // FOFF
    bool erased = false;     // overwritten whole before it was committed: no row
    double begin = 0;        // TBEGIN after the pending chunks
    double duration = 0;     // TQTY after the pending chunks
    double sampleRate = 0;
    double calib = 0;
    double calper = 0;
    int chunks = 0;           // chunks written into it since the last commit
    std::int64_t samples = 0; // their samples
};

class CChannelState : public ChannelFileState
{
public:
    // The state of the configured channel, nothing written, nothing known of its archive.
    explicit CChannelState(const CChannelRecord& config);

    // Empties the buffer after a chunk was written or dropped.
    void EmptyBuffer();

    // True when a time-named file or a loop segment is being continued.
    bool HasCurrentFile() const { return fileStart != 0 || fileDuration != 0; }

    // The time after the last sample the channel holds: buffered, else written (committed
    // or pending); 0 when nothing is known. A packet's samples before it are not new.
    double HeldEnd() const { return bufferCount > 0 ? bufferStart + bufferDuration : writtenEnd; }

    // The file state as written, and as the last commit left it.
    ChannelFileState& Written() { return *this; }
    ChannelFileState committedFile;

    // Of the configuration: the channel's name, rate and loop file, and its counters.
    std::string name;
    double sampleRate = 0;
    std::string loopFile;
    std::shared_ptr<CChannelCounters> counters;

    double resumeTime = 0; // epoch seconds from which data is wanted next; 0: none

    // The archive's end of this channel: the time after the last sample that is committed
    // (bytes synced, row written), and after the last sample written (committed or pending).
    double committedEnd = 0;
    double writtenEnd = 0;
    std::vector<PendingFile> pending; // in the order written
    // The time-named file the channel continues, kept open from the commit that registered
    // its last chunk to the next chunk (when the bound of held files allows), and its path
    // under the data root: a channel written every second or two does not walk its path again
    // for each chunk. Used only while that path is still the current file.
    WrittenFile openFile;
    std::string openFilePath;

    // The chunk being collected.
    double bufferStart = 0;    // epoch time of the first buffered sample
    double bufferDuration = 0; // seconds of the buffered samples at the channel's rate
    int bufferCount = 0;       // buffered samples, 0 .. kMaxChunkSamples
    // When the oldest buffered sample arrived, and the oldest sample written but not yet
    // committed (BootClockMs; 0: none): what a latency bound and the delay figures measure.
    std::int64_t bufferArrivedMs = 0;
    std::int64_t writtenArrivedMs = 0;
    // When the oldest buffered sample was taken, as far as the clock can tell: its packet's
    // arrival less the packet's span (a server sends a packet once its last sample is
    // taken). The age a latency bound counts: that of the data, not of their packet.
    std::int64_t bufferTakenMs = 0;
    // The buffered samples, oldest first: grown to what the channel's chunks need (at most
    // kMaxChunkSamples), so a slow channel does not keep room for 4900.
    std::vector<float> samples;
    double calib = 0;  // calibration of the most recent packet
    double calper = 0; // calibration period of the most recent packet

    unsigned reported = 0;   // WriteProblem bits logged and not yet over
    std::string lastProblem; // the text of the last problem reported, logged or not
    ChannelHold hold;        // why its samples are not archived for now, if they are not
    // The connection (a journal's number) on which the channel's server was asked for a new
    // one after a hold: its packets on it are dropped. 0: none.
    std::uint64_t askedAgainOn = 0;
    PacketScreenLog screen;
};

// A channel of an archive: its group as configured and its writing state.
struct ChannelLocation
{
    const CStationGroup* group = nullptr;
    CChannelState* channel = nullptr;

    explicit operator bool() const { return channel != nullptr; }
};

} // namespace tarvell
