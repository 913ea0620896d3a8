#include "metrics/counters.h"

#include <cmath>
#include <cstring>

namespace tarvell
{
namespace
{
constexpr auto kRelaxed = std::memory_order_relaxed;

// The number of the availability period a time lies in; -1 for a time that has none.
std::int64_t PeriodOf(double time)
{
    if (!std::isfinite(time) || time <= 0 || time > 4.0e12)
        return -1;
    return static_cast<std::int64_t>(time / kSlotSeconds);
}
} // namespace

const char* LinkStateText(LinkState state)
{
    switch (state)
    {
    case LinkState::Idle:
        return "idle";
    case LinkState::Connecting:
        return "connecting";
    case LinkState::Connected:
        return "connected";
    case LinkState::Waiting:
        return "waiting";
    }
    return "unknown";
}

CLinkCounters::CLinkCounters(std::string_view serverHost, int serverPort)
    : host(serverHost), port(serverPort)
{
}

void CLinkCounters::CountFailure(int code)
{
    failures[static_cast<std::size_t>(Slot(code))].fetch_add(1, kRelaxed);
    lastFailure.store(code, kRelaxed);
}

void CSharedText::Store(std::string_view text)
{
    std::array<std::uint64_t, kWords> words{};
    std::memcpy(words.data(), text.data(), std::min(text.size(), kWords * 8 - 1));
    const std::uint32_t sequence = m_sequence.load(kRelaxed);
    m_sequence.store(sequence + 1, kRelaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < kWords; ++i)
        m_words[i].store(words[i], kRelaxed);
    m_sequence.store(sequence + 2, std::memory_order_release);
}

std::string CSharedText::Load() const
{
    std::array<std::uint64_t, kWords> words{};
    // The writer changes the text once per chunk: a reader that meets a write retries a few
    // times and otherwise reports nothing rather than wait.
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        const std::uint32_t before = m_sequence.load(std::memory_order_acquire);
        if ((before & 1u) != 0)
            continue;
        for (std::size_t i = 0; i < kWords; ++i)
            words[i] = m_words[i].load(kRelaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (m_sequence.load(kRelaxed) == before)
        {
            const char* text = reinterpret_cast<const char*>(words.data());
            return std::string(text, strnlen(text, kWords * 8));
        }
    }
    return {};
}

CChannelCounters::CChannelCounters(std::string_view stationName, std::string_view channelName)
    : station(stationName), channel(channelName)
{
}

void CChannelCounters::PacketReceived(double begin, double end, double interval, int count,
                                      int buffered, double now)
{
    packetsReceived.fetch_add(1, kRelaxed);
    samplesReceived.fetch_add(count, kRelaxed);
    lastSampleTime.store(end, kRelaxed);
    lastArrival.store(now, kRelaxed);
    packetDuration.store(count * interval, kRelaxed);
    bufferSamples.store(buffered, kRelaxed);
    const std::int64_t first = PeriodOf(begin);
    const std::int64_t last = PeriodOf(end);
    if (first < 0 || last < first || last - first > kAvailabilitySlots)
        return;
    for (std::int64_t period = first; period <= last; ++period)
    {
        m_slots[static_cast<std::size_t>(period % kAvailabilitySlots)].store(
            static_cast<std::int32_t>(period), kRelaxed);
    }
}

void CChannelCounters::ChunkCommitted(int chunks, std::int64_t samples, std::string_view fileText)
{
    chunksCommitted.fetch_add(chunks, kRelaxed);
    samplesWritten.fetch_add(samples, kRelaxed);
    file.Store(fileText);
}

std::string CChannelCounters::Availability(double now) const
{
    std::string bar(kAvailabilitySlots, '0');
    const std::int64_t newest = PeriodOf(now);
    if (newest < 0)
        return bar;
    for (int k = 0; k < kAvailabilitySlots; ++k)
    {
        const std::int64_t period = newest - (kAvailabilitySlots - 1) + k;
        if (period < 0)
            continue;
        const auto slot = static_cast<std::size_t>(period % kAvailabilitySlots);
        if (m_slots[slot].load(kRelaxed) == static_cast<std::int32_t>(period))
            bar[static_cast<std::size_t>(k)] = '1';
    }
    return bar;
}

void CChannelCounters::Held(int reason, double since, std::string_view detail)
{
    holdDetail.Store(detail);
    heldSince.store(reason == 0 ? 0 : since, kRelaxed);
    holdReason.store(reason, kRelaxed);
}

const char* DropReasonText(DropReason reason)
{
    switch (reason)
    {
    case DropReason::Resent:
        return "resent";
    case DropReason::Future:
        return "future";
    case DropReason::RatesDisagree:
        return "rate";
    case DropReason::Held:
        return "held";
    case DropReason::Count:
        break;
    }
    return "other";
}

CStationCounters::CStationCounters(std::string_view stationName) : station(stationName) {}

void CStationCounters::DiskLoopChecked(std::uint64_t bytes, std::uint64_t limit, int purged)
{
    diskLoopBytes.store(bytes, kRelaxed);
    diskLoopLimit.store(limit, kRelaxed);
    if (purged > 0)
        filesPurged.fetch_add(purged, kRelaxed);
}

} // namespace tarvell
