#pragma once
// The archive of one server link: the writing state of every channel the link carries, and
// the journal that commits their chunks. It is the one owner of those states. The link's
// acquisition thread uses it while the link runs; the thread that starts, stops or reloads
// the link uses it while the link's thread is not running or is paused between packets.

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/station_groups.h"
#include "datafiles/channel_state.h"
#include "datafiles/chunk_journal.h"

namespace tarvell
{

struct WaveformPacket;

// A channel state between two archives during a reload, with the group it was written under
// (of the configuration the reload replaces, which outlives the hand-over).
struct SpareChannel
{
    std::unique_ptr<CChannelState> state;
    const CStationGroup* group = nullptr;
};

// Channel states handed from one archive to another across a reload, by ChannelKey.
using ChannelStates = std::map<std::string, SpareChannel>;

class CLinkArchive
{
public:
    CLinkArchive() = default;
    CLinkArchive(const CLinkArchive&) = delete;
    CLinkArchive& operator=(const CLinkArchive&) = delete;

    // Takes link (an index into config's links) as its channels. A channel whose state is in
    // the archive or in spare (same station and channel) keeps it: it loses nothing and
    // repeats nothing; when its rate changed, what it buffered is written first and its file
    // is not continued. Every other channel gets a new state, resumed from its rows in the
    // archive (or its INI resume time), with what a crash left repaired (RecoverArchiveEnds).
    // States of channels the link no longer carries go into spare.
    void Configure(std::shared_ptr<const CConfiguration> config, std::size_t link,
                   ChannelStates& spare);

    // The channel a packet names, or nothing (a channel the link does not carry).
    ChannelLocation Find(std::string_view station, std::string_view channel) const;

    // Every channel of the link, in request order.
    const std::vector<ChannelLocation>& Channels() const { return m_channels; }

    CChunkJournal& Journal() { return m_journal; }
    const CConfiguration& Configuration() const { return *m_config; }
    const LinkConfig& Link() const { return m_config->links[m_link]; }

    // True while the link's bytes may be written: no fleet, or its lease is fresh. The check
    // stands right before the work that writes, on the same thread.
    bool MayWrite() const
    {
        const std::shared_ptr<CLinkLease>& lease = Link().lease;
        return lease == nullptr || lease->Fresh();
    }

    // Under a latency bound (MAX_LATENCY): writes the channel's buffer when its oldest sample
    // would be older than the bound by the next commit, for the journal to commit it then;
    // after each packet merged. False when the chunk could not be written (as for a full
    // buffer).
    bool WriteIfLate(const ChannelLocation& where);

    // When a commit is due: writes every buffer whose oldest sample is older than the bound
    // already (the channels whose server went quiet).
    bool WriteLateBuffers();

    // Writes every buffered chunk and commits everything written, then writes the resume
    // times: the stop of the link, and before its states change hands. Under a lease that
    // is no longer fresh nothing more is written: what was written is committed if the lease
    // is still this instance's, else taken back.
    void FlushAndCommit();

    // Commits what the journal holds, then takes every state out of the archive into spare
    // (buffers stay with their states: a kept channel loses nothing).
    void Release(ChannelStates& spare);

private:
    void Index();
    // Buffers whose oldest sample was taken before this BootClockMs are late, ahead
    // milliseconds from now.
    std::int64_t LateBefore(std::int64_t ahead) const;

    std::shared_ptr<const CConfiguration> m_config;
    std::size_t m_link = 0;
    std::vector<std::unique_ptr<CChannelState>> m_states;
    std::vector<ChannelLocation> m_channels;
    std::unordered_map<std::string, ChannelLocation> m_index; // by ChannelKey
    CChunkJournal m_journal;
};

} // namespace tarvell
