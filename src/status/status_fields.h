#pragma once
// The counts of a channel and of a link, as every reader of the status shows them: one row
// each, which says the counter it is read from into the snapshot, its key in /status and its
// family in /metrics. Adding a count is adding a row. Any thread.

#include <array>
#include <atomic>
#include <cstdint>

#include "metrics/counters.h"

namespace tarvell
{

template <typename Counters> struct CountField
{
    const char* json;   // the key in /status
    const char* metric; // the Prometheus family (a counter)
    const char* help;
    std::atomic<std::int64_t> Counters::*counter;
};

inline constexpr std::array<CountField<CChannelCounters>, 5> kChannelCounts = {{
    {"samples_received", "tarvell_samples_received_total", "Samples received from the server.",
     &CChannelCounters::samplesReceived},
    {"samples_written", "tarvell_samples_written_total",
     "Samples written to data files and registered.", &CChannelCounters::samplesWritten},
    {"packets_received", "tarvell_packets_received_total",
     "Waveform packets received from the server.", &CChannelCounters::packetsReceived},
    {"chunks_committed", "tarvell_chunks_committed_total",
     "Chunks written to disk and registered in the database.", &CChannelCounters::chunksCommitted},
    {"chunks_rerequested", "tarvell_chunks_rerequested_total",
     "Chunks that could not be committed and were asked from the server again.",
     &CChannelCounters::chunksRerequested},
}};

inline constexpr std::array<CountField<CLinkCounters>, 6> kLinkCounts = {{
    {"bytes_received", "tarvell_link_received_bytes_total", "Bytes received from the server.",
     &CLinkCounters::bytesReceived},
    {"packets_received", "tarvell_link_received_packets_total",
     "Waveform packets received from the server.", &CLinkCounters::packetsReceived},
    {"packets_skipped", "tarvell_link_skipped_packets_total",
     "Packets skipped because they do not fit the server's configuration.",
     &CLinkCounters::packetsSkipped},
    {"connections", "tarvell_link_connections_total",
     "Connections that completed the opening exchange.", &CLinkCounters::connections},
    {"reconnects", "tarvell_link_reconnects_total", "Connections made after the first one.",
     &CLinkCounters::reconnects},
    {"connect_failures", "tarvell_link_connect_failures_total",
     "Connection attempts refused by the server's host or not made at all.",
     &CLinkCounters::connectFailures},
}};

// The values of a table's counters, in its order.
using ChannelCounts = std::array<std::int64_t, kChannelCounts.size()>;
using LinkCounts = std::array<std::int64_t, kLinkCounts.size()>;

template <typename Counters, std::size_t N>
std::array<std::int64_t, N> ReadCounts(const Counters& counters,
                                       const std::array<CountField<Counters>, N>& fields)
{
    std::array<std::int64_t, N> values{};
    for (std::size_t i = 0; i < N; ++i)
        values[i] = (counters.*(fields[i].counter)).load(std::memory_order_relaxed);
    return values;
}

} // namespace tarvell
