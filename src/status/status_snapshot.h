#pragma once
// One consistent-enough picture of the counters for the status server, the service
// manager and the terminal: every value is read once from its atomic, so taking it never
// waits for the packet path. Any thread.

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "status/status_fields.h"

#include "metrics/counters.h"

namespace tarvell
{

struct ChannelStatus
{
    std::string station;
    std::string channel;
    std::string server;        // host of the link that carries it; empty before the links start
    std::string file;          // the file column of the operator window
    ChannelCounts counts{};    // the counts of kChannelCounts, in its order
    bool hasData = false;      // a packet arrived since the program started
    double lastSampleTime = 0; // epoch seconds of the last sample received
    double latency = 0;        // now minus lastSampleTime
    double lastArrival = 0;    // epoch seconds when the last packet arrived
    int bufferSamples = 0;
    bool stalled = false;
    double silentSince = 0; // while stalled
    int holdReason = 0;     // a HoldReason: why its samples are not archived now; 0: they are
    double heldSince = 0;   // while held
    std::string holdDetail; // what the log said of the hold (Full depth only)
    std::array<std::int64_t, 4> samplesDropped{}; // by DropReason
    bool elsewhere = false;   // another instance of the fleet archives it (its link's holder)
    std::string availability; // '1'/'0' per slot of the last 24 hours, oldest first
};

struct LinkStatus
{
    std::string server;
    int port = 0;
    std::string state; // idle, connecting, connected, waiting
    bool connected = false;
    LinkCounts counts{};  // the counts of kLinkCounts, in its order
    bool heldHere = true; // this instance archives the link (always, without a fleet)
    std::string holder;   // the instance whose lease it is archived under; empty: none
    CDelayHistogram::Buckets delayBuckets{}; // arrival to commit, per bucket
    double delaySum = 0;                     // seconds
    int lastFailure = -1;
    std::vector<std::pair<std::string, std::int64_t>> failures; // code text ("16", "other")
};

struct StationStatus
{
    std::string station;
    std::uint64_t diskLoopBytes = 0;
    std::uint64_t diskLoopLimit = 0;
    std::int64_t filesPurged = 0;
};

struct StatusServerStatus
{
    std::int64_t connectionsOpen = 0;
    std::int64_t connectionLimit = 0; // 0: no status server
    std::array<std::int64_t, kStatusRefusals> refused{};
};

struct StatusSnapshot
{
    double now = 0;
    double startTime = 0;
    std::string version;
    bool databaseReachable = false;
    std::int64_t databaseOutages = 0;
    bool dataRootMissing = false;  // the data root was missing when last looked for
    std::int64_t notAcquired = 0;  // names the configuration asks for that are left out
    std::int64_t logLinesLost = 0; // event log lines that went only to stderr
    int flowingChannels = 0;       // configured, on a connected link, with data, not stalled
    int stalledChannels = 0;
    int heldChannels = 0;                // configured, but not archived for a fault of their own
    int elsewhereChannels = 0;           // configured, archived by another instance of the fleet
    std::string instance;                // this instance's name in its fleet
    std::vector<ChannelStatus> channels; // the configured channels, in the order of the INI
    std::vector<LinkStatus> links;
    std::vector<StationStatus> stations;
    StatusServerStatus statusServer;
};

// The build version the program reports.
const char* BuildVersion();

// What a snapshot reads: everything; the numbers without the channels' file texts and
// availability (for /metrics); or only what the one-line summary needs (the counts of
// channels and the database), which the monitor takes every second.
enum class SnapshotDepth
{
    Full,
    Numbers,
    Summary,
};

// Reads the counters of the registry at now; with Summary, channels holds nothing but each
// channel's stall and data flags.
StatusSnapshot TakeStatusSnapshot(double now, SnapshotDepth depth = SnapshotDepth::Full);

// The text of a channel's hold reason: "write", "rows", "rate"; empty for none.
const char* HoldReasonText(int reason);

// "3072 channels, 3070 flowing, database up": the one-line state for the service manager.
std::string StatusSummary(const StatusSnapshot& snapshot);

} // namespace tarvell
