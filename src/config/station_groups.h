#pragma once
// The configuration model: g_groups, the stations of the program INI with their channels and
// the writing state of every channel. Built by LoadGroups on the main thread or the reload
// thread while no acquisition thread is running or all of them are paused; read by the
// acquisition threads afterwards. A channel record's writing state is written only by the
// acquisition thread of the server that carries the channel.

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/counters.h"

namespace tarvell
{

// The most samples one chunk holds: a packet is appended to a channel's buffer only while the
// buffer stays at or below kMaxChunkSamples.
inline constexpr int kMaxChunkSamples = 4900;

// The most [GROUP<n>] sections read: 64 servers of 64 stations each. A larger GROUPS value
// is a typing error, not a plan.
inline constexpr long long kMaxGroupSections = 4096;

// The server of a group when neither its section nor [SYSTEM] names one.
inline constexpr char kDefaultServerHost[] = "localhost";
inline constexpr int kDefaultServerPort = 14002;
inline constexpr char kDefaultServerType[] = "xfer";

// Conditions that are logged once when they begin, not for every chunk while they last.
enum WriteProblem : unsigned
{
    kProblemFileWrite = 1u << 0,       // a data file could not be opened, created or written
    kProblemOversizePacket = 1u << 1,  // a packet of more than kMaxChunkSamples samples
    kProblemBadPacket = 1u << 2,       // a negative sample count or no samples
    kProblemCalibration = 1u << 3,     // a calibration value that is no finite number
    kProblemLoopFileMissing = 1u << 4, // FILE_<channel> names a file that is not there
    kProblemLoopFileShort = 1u << 5,   // the loop file is shorter than the next write position
    kProblemNoRingSize = 1u << 6,      // no group of the program INI names the station any more
    kProblemLoopPosition = 1u << 7,    // the database cannot tell where a loop file continues
    kProblemRow = 1u << 8,             // the database refused the rows of a chunk
    kProblemLoopHeader = 1u << 9,      // a loop file's header could not be written
    kProblemTakeBack = 1u << 10,       // bytes taken back could not be cut from their file
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
// chunk continues. Kept twice in the channel's record: as written, and as the last commit
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

class CChannelRecord : public ChannelFileState
{
public:
    CChannelRecord(std::string_view channelName, double rate);

    // Empties the buffer, forgets the current file or segment and what is pending, as when an
    // acquisition thread starts; resumeTime and committedEnd are left to the caller.
    void ResetWritingState();

    // Empties the buffer after a chunk was written or dropped.
    void EmptyBuffer();

    // The time after the last sample the channel holds: buffered, else written (committed
    // or pending); 0 when nothing is known. A packet's samples before it are not new.
    double HeldEnd() const { return bufferCount > 0 ? bufferStart + bufferDuration : writtenEnd; }

    // True when a time-named file or a loop segment is being continued.
    bool HasCurrentFile() const { return fileStart != 0 || fileDuration != 0; }

    // The file state as written, and as the last commit left it.
    ChannelFileState& Written() { return *this; }
    ChannelFileState committedFile;

    std::string name;      // upper case, at most 7 characters
    double sampleRate = 0; // samples per second from SITECHAN; always > 0
    double resumeTime = 0; // epoch seconds from which data is wanted next; 0: none
    int listRow = -1;      // the channel's row in the operator window's list

    // The archive's end of this channel: the time after the last sample that is committed
    // (bytes synced, row written), and after the last sample written (committed or pending).
    double committedEnd = 0;
    double writtenEnd = 0;
    std::vector<PendingFile> pending; // in the order written

    // The chunk being collected.
    double bufferStart = 0;    // epoch time of the first buffered sample
    double bufferDuration = 0; // sum of count x interval over the buffered packets
    int bufferCount = 0;       // buffered samples, 0 .. kMaxChunkSamples
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

    // What the status server reports of the channel; the registry's object for records of
    // g_groups (the same across reloads), a private one for records made elsewhere.
    std::shared_ptr<CChannelCounters> counters;
};

class CStationGroup
{
public:
    CStationGroup(std::string_view stationName, int sectionNumber);

    // The number n of the INI section GROUP<n> the group was read from. Sections without a
    // STATION make no group, so n is not the group's index + 1 in general.
    int section = 0;
    std::int64_t loopSize = 1048576; // SIZEMB x 1048576 bytes: the station's disk loop
    std::string station;             // upper case
    std::vector<std::unique_ptr<CChannelRecord>> channels; // CHAN order, no two names alike
    int fileLength = 60; // FILELENGTH(MIN): minutes per time-named file
    std::string server;  // server host as written in the INI
    std::string serverType;
    int port = kDefaultServerPort;

    // The section last reported as moved or gone (0: none reported); any thread.
    mutable std::atomic<int> reportedSection{0};

    // The station's disk-loop counters (shared by every group of the station).
    std::shared_ptr<CStationCounters> counters;
};

// The groups in INI order. See the first lines of this header for who may touch it.
extern std::vector<std::unique_ptr<CStationGroup>> g_groups;

// Appends a group for station (kept as given; LoadGroups upper-cases it) read from section
// GROUP<section>; returns its index in g_groups.
std::size_t AddGroup(std::string_view station, int section);

// Returns the index of the group's channel called name (compared without regard to case;
// nothing changes then), or appends a new record and returns its index. group must be a
// valid index.
std::size_t AddChannel(std::size_t group, std::string_view name, double sampleRate);

// Deletes every group and its channel records. Only while acquisition is paused.
void ClearGroups();

// Where a channel lives in g_groups.
struct ChannelLocation
{
    std::size_t groupIndex = 0;
    std::size_t channelIndex = 0;
    CStationGroup* group = nullptr;
    CChannelRecord* channel = nullptr;

    explicit operator bool() const { return channel != nullptr; }
};

// Finds a packet's channel: groups in order, the station compared without regard to case,
// then the group's channels in order, first name equal without regard to case. A group of
// the station without the channel does not end the search. Empty location when not found.
// One hash lookup, whatever the number of groups and channels.
ChannelLocation FindChannel(std::string_view station, std::string_view channel);

} // namespace tarvell
