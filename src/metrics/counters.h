#pragma once
// The counters the status server, the stall watchdog and the service manager report: per
// server link, per channel, per station and for the process. Every field is an atomic that
// its one writer updates with relaxed stores and any thread may read at any time, so that
// reading them never makes the packet path wait.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarvell
{

// The state of a server link.
enum class LinkState : int
{
    Idle = 0,       // no thread yet, or the thread ended
    Connecting = 1, // resolving, connecting, or the opening exchange
    Connected = 2,  // receiving packets
    Waiting = 3,    // pausing before the next attempt
};
const char* LinkStateText(LinkState state);

// Failure codes 0..kCountedFailureCodes-1 are counted one by one; any other code (a status
// only a server sends) in the last slot.
inline constexpr int kCountedFailureCodes = 64;

// A short text that one thread writes and others read without waiting for it: a sequence
// number odd while a write is under way lets a reader see either the old or the new text,
// never a mixture. Longer texts are cut.
class CSharedText
{
public:
    static constexpr std::size_t kWords = 24; // 192 bytes
    void Store(std::string_view text);        // one writing thread
    std::string Load() const;                 // any thread

private:
    std::atomic<std::uint32_t> m_sequence{0};
    std::array<std::atomic<std::uint64_t>, kWords> m_words{};
};

// The time from a sample's arrival to the commit of its row: one observation per channel and
// commit, its oldest sample's. Any thread.
class CDelayHistogram
{
public:
    // Upper bounds of the buckets in seconds; a last bucket (+Inf) takes the rest.
    static constexpr std::array<double, 10> kBounds{0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300};
    using Buckets = std::array<std::int64_t, kBounds.size() + 1>;

    void Observe(double seconds)
    {
        std::size_t bucket = 0;
        while (bucket < kBounds.size() && seconds > kBounds[bucket])
            ++bucket;
        m_buckets[bucket].fetch_add(1, std::memory_order_relaxed);
        m_sumMicros.fetch_add(static_cast<std::int64_t>(seconds * 1e6), std::memory_order_relaxed);
    }
    // The observations of each bucket (not cumulative), and the sum of all in seconds.
    Buckets Counts() const
    {
        Buckets counts{};
        for (std::size_t i = 0; i < counts.size(); ++i)
            counts[i] = m_buckets[i].load(std::memory_order_relaxed);
        return counts;
    }
    double Sum() const
    {
        return static_cast<double>(m_sumMicros.load(std::memory_order_relaxed)) / 1e6;
    }

private:
    std::array<std::atomic<std::int64_t>, kBounds.size() + 1> m_buckets{};
    std::atomic<std::int64_t> m_sumMicros{0};
};

// One server link. Written by its acquisition thread (the stall watchdog only raises
// reconnectRequested); kept alive by the registry for the program's life.
class CLinkCounters
{
public:
    CLinkCounters(std::string_view serverHost, int serverPort);

    void SetState(LinkState state) { m_state.store(static_cast<int>(state), kRelaxed); }
    LinkState State() const { return static_cast<LinkState>(m_state.load(kRelaxed)); }
    // Counts the code a connection ended or failed with.
    void CountFailure(int code);
    std::int64_t Failures(int code) const
    {
        return failures[static_cast<std::size_t>(Slot(code))].load(kRelaxed);
    }
    static int Slot(int code)
    {
        return code >= 0 && code < kCountedFailureCodes - 1 ? code : kCountedFailureCodes - 1;
    }

    const std::string host;
    const int port;
    std::atomic<std::int64_t> bytesReceived{0};
    std::atomic<std::int64_t> packetsReceived{0};
    std::atomic<std::int64_t> packetsSkipped{0};
    std::atomic<std::int64_t> connections{0};     // connections that completed the opening exchange
    std::atomic<std::int64_t> reconnects{0};      // of those, every one after the first
    std::atomic<std::int64_t> connectFailures{0}; // connections refused, or not made at all
    std::atomic<int> lastFailure{-1};             // code of the last failure; -1: none yet
    std::atomic<double> connectedSince{0};        // epoch seconds; 0 while not connected
    std::array<std::atomic<std::int64_t>, kCountedFailureCodes> failures{};
    // Raised by the stall watchdog (through a reader's pointer, hence mutable): the link
    // ends its connection and asks every channel again.
    mutable std::atomic<bool> reconnectRequested{false};
    // In a fleet (written by the fleet's thread): another instance archives the link, and its
    // name; empty while none holds it.
    std::atomic<bool> heldElsewhere{false};
    CSharedText holder;
    // Observed by the commits of the link's channels (through their pointer, hence mutable).
    mutable CDelayHistogram archiveDelay;

private:
    static constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
    std::atomic<int> m_state{static_cast<int>(LinkState::Idle)};
};

// Why samples a server sent were not archived.
enum class DropReason : int
{
    Resent = 0,        // the archive holds them already (a server that sends old data again)
    Future = 1,        // dated too far ahead of the clock, or before 1970
    RatesDisagree = 2, // the server's interval is not the channel's SITECHAN rate
    Held = 3,          // the channel's files or rows cannot be written for now
    Count = 4,
};
const char* DropReasonText(DropReason reason); // "resent", "future", "rate", "held"

// Availability of one channel over the last 24 hours, by sample time, in slots of
// kSlotSeconds: slot k holds the number of the period it last saw data of.
inline constexpr int kAvailabilitySlots = 144;
inline constexpr int kSlotSeconds = 24 * 3600 / kAvailabilitySlots;

// One channel, by station and channel name; survives reloads of the configuration, so its
// counts go on. Written by the acquisition thread of the channel's server (the stall fields
// by the stall watchdog).
class CChannelCounters
{
public:
    CChannelCounters(std::string_view stationName, std::string_view channelName);

    // A packet of count samples from begin to end (epoch seconds, the end being the time of
    // its last sample) arrived at now; bufferSamples is the buffer fill after merging it.
    void PacketReceived(double begin, double end, double interval, int count, int bufferSamples,
                        double now);
    // chunks holding samples are on disk and registered (one commit of one file or
    // segment); file is the text of the channel's file column ("ABC/13/...", or a loop file
    // with " (DL)").
    void ChunkCommitted(int chunks, std::int64_t samples, std::string_view file);
    // chunks could not be written or registered: the server is asked for them again.
    void ChunkRerequested(int chunks = 1)
    {
        chunksRerequested.fetch_add(chunks, std::memory_order_relaxed);
    }
    // samples of the channel were not archived, for reason.
    void SamplesDropped(DropReason reason, std::int64_t samples)
    {
        samplesDropped[static_cast<std::size_t>(reason)].fetch_add(samples,
                                                                   std::memory_order_relaxed);
    }
    // The channel's samples are not archived from since on (reason None: again from now),
    // with detail saying why.
    void Held(int reason, double since, std::string_view detail);

    // "1"/"0" per slot, oldest first, for the 24 hours before now.
    std::string Availability(double now) const;

    const std::string station;
    const std::string channel;
    std::atomic<std::int64_t> samplesReceived{0};
    std::atomic<std::int64_t> samplesWritten{0};
    std::atomic<std::int64_t> packetsReceived{0};
    std::atomic<std::int64_t> chunksCommitted{0};
    std::atomic<std::int64_t> chunksRerequested{0};
    std::atomic<double> lastSampleTime{0};           // epoch seconds of the last sample received
    std::atomic<double> lastArrival{0};              // epoch seconds when its packet arrived
    std::atomic<double> packetDuration{0};           // seconds covered by the last packet
    std::atomic<int> bufferSamples{0};               // samples buffered and not yet written
    std::atomic<bool> configured{true};              // false once a reload removed the channel
    std::atomic<const CLinkCounters*> link{nullptr}; // the server carrying it; set at start
    CSharedText file;
    std::array<std::atomic<std::int64_t>, static_cast<std::size_t>(DropReason::Count)>
        samplesDropped{};
    std::atomic<int> holdReason{0};   // a HoldReason of the channel's record; 0: archived
    std::atomic<double> heldSince{0}; // epoch seconds, while held
    CSharedText holdDetail;           // what the log said of it

    // The stall watchdog's view (written by it only).
    std::atomic<bool> stalled{false};
    std::atomic<double> silentSince{0}; // epoch seconds since which it sent nothing

private:
    std::array<std::atomic<std::int32_t>, kAvailabilitySlots> m_slots{};
};

// One station's disk loop. Written by the acquisition threads of its channels.
class CStationCounters
{
public:
    explicit CStationCounters(std::string_view stationName);

    // A chunk's purge found the loop at bytes (after deleting purged files) against limit.
    void DiskLoopChecked(std::uint64_t bytes, std::uint64_t limit, int purged);

    const std::string station;
    std::atomic<std::uint64_t> diskLoopBytes{0};
    std::atomic<std::uint64_t> diskLoopLimit{0};
    std::atomic<std::int64_t> filesPurged{0};
};

// What the status server turns away. A connection is refused at the limit (every open one
// is being answered), closed to make room for a new one (the open one that waited longest
// for its request), or closed when its request is not complete in time; a request is refused
// for a head too large, a method other than GET or HEAD, a body, or a missing or wrong token.
enum class StatusRefusal : int
{
    ConnectionLimit = 0,
    MadeRoom,
    Timeout,
    HeadTooLarge,
    Method,
    Body,
    Token,
};
inline constexpr int kStatusRefusals = 7;

// The status server: written by its threads.
struct StatusServerCounters
{
    void Refused(StatusRefusal why)
    {
        refused[static_cast<std::size_t>(why)].fetch_add(1, std::memory_order_relaxed);
    }

    std::atomic<std::int64_t> connectionsOpen{0};
    std::atomic<std::int64_t> connectionLimit{0}; // 0 while no status server runs
    std::array<std::atomic<std::int64_t>, kStatusRefusals> refused{};
};

// The process: written by whichever thread notices a change.
struct ProcessCounters
{
    std::atomic<bool> databaseReachable{false};
    std::atomic<bool> dataRootMissing{false};         // found missing when last looked for
    std::atomic<std::int64_t> channelsNotAcquired{0}; // of the configuration in force
    std::atomic<std::int64_t> databaseOutages{0};
    std::atomic<double> startTime{0};
    StatusServerCounters statusServer;
    CSharedText instanceName; // the instance's name in its fleet (written once at start)
};

} // namespace tarvell
