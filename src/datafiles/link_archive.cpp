#include "datafiles/link_archive.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include "datafiles/archive_recovery.h"
#include "datafiles/channel_ini.h"
#include "datafiles/channel_writer.h"
#include "datafiles/resume_store.h"
#include "db/disk_loop.h"
#include "platform/clock.h"

namespace tarvell
{
namespace
{

// A state kept across a reload takes the channel's new configuration. A chunk buffered under
// the old rate is written under it first, and the file it continued is not continued under
// the new one: a file has one rate.
void Adopt(CChannelState& state, const CStationGroup& oldGroup, const CChannelRecord& config,
           CChunkJournal& journal)
{
    if (state.sampleRate != config.sampleRate)
    {
        (void)FlushChannel({&oldGroup, &state}, journal);
        journal.Commit();
        state.Written() = ChannelFileState{};
        state.openFile = {};
        state.committedFile = ChannelFileState{};
    }
    state.sampleRate = config.sampleRate;
    state.loopFile = config.loopFile;
    state.counters = config.counters ? config.counters : state.counters;
}

} // namespace

void CLinkArchive::Configure(std::shared_ptr<const CConfiguration> config, std::size_t link,
                             ChannelStates& spare)
{
    // What this archive holds now joins the spare states; the new channels take theirs back.
    Release(spare);

    std::shared_ptr<const CConfiguration> previous = std::move(m_config);
    m_config = std::move(config);
    m_link = link;
    m_journal.SetLease(m_config->links[m_link].lease);
    // Under a latency bound a chunk waits for the next commit too: commits come at a quarter
    // of the bound (a second at most, a quarter of a second at least).
    const double bound = m_config->maxLatencySeconds;
    m_journal.SetCommitInterval(std::chrono::milliseconds(
        bound > 0 ? static_cast<std::int64_t>(std::min(bound, 4.0) * 250) : 1000));
    std::vector<ChannelLocation> fresh;
    for (std::size_t g : m_config->links[m_link].groups)
    {
        const CStationGroup& group = m_config->groups[g];
        for (const CChannelRecord& record : group.channels)
        {
            const std::string key = ChannelKey(group.station, record.name);
            auto kept = spare.find(key);
            if (kept != spare.end())
            {
                Adopt(*kept->second.state, *kept->second.group, record, m_journal);
                m_states.push_back(std::move(kept->second.state));
                spare.erase(kept);
                continue;
            }
            auto state = std::make_unique<CChannelState>(record);
            state->resumeTime =
                static_cast<double>(LoadResumeTime(m_config->iniPath, group, record.name));
            state->committedEnd = state->writtenEnd = state->resumeTime;
            fresh.push_back({&group, state.get()});
            m_states.push_back(std::move(state));
        }
    }
    Index();
    if (!fresh.empty())
    {
        // What is known of the stations' loops may be old: the rows of a server held by
        // another instance until now changed meanwhile.
        for (const ChannelLocation& where : fresh)
            ForgetDiskLoopSize(where.group->station);
        RecoverArchiveEnds(fresh);
    }
    (void)previous; // the groups the kept states came from live until here
}

void CLinkArchive::Index()
{
    m_channels.clear();
    m_index.clear();
    std::size_t next = 0;
    for (std::size_t g : m_config->links[m_link].groups)
    {
        const CStationGroup& group = m_config->groups[g];
        for (std::size_t c = 0; c < group.channels.size(); ++c, ++next)
        {
            const ChannelLocation where{&group, m_states[next].get()};
            m_channels.push_back(where);
            m_index.emplace(ChannelKey(group.station, group.channels[c].name), where);
        }
    }
}

ChannelLocation CLinkArchive::Find(std::string_view station, std::string_view channel) const
{
    auto found = m_index.find(ChannelKey(station, channel));
    return found == m_index.end() ? ChannelLocation{} : found->second;
}

// Under a latency bound, a packet's channel is written when its data would be older than the
// bound by the next commit, and committed with that one. A buffer whose data reach that age
// only within kTieMs waits: packets that arrive together with a commit would otherwise be
// written with one or the next by chance, more often than needed. For a live server that
// sends a packet a second and a bound of 2 s, each channel writes a chunk of two packets,
// and its rows lag behind by the bound and the time to the commit at most. A backlog fills
// its buffers long before they are late.
std::int64_t CLinkArchive::LateBefore(std::int64_t ahead) const
{
    constexpr std::int64_t kTieMs = 100;
    return BootClockMs() + ahead - kTieMs -
           static_cast<std::int64_t>(m_config->maxLatencySeconds * 1000);
}

bool CLinkArchive::WriteIfLate(const ChannelLocation& where)
{
    const CChannelState& channel = *where.channel;
    if (m_config->maxLatencySeconds <= 0 || channel.bufferCount <= 0 ||
        channel.bufferTakenMs > LateBefore(m_journal.CommitInterval().count()))
        return true;
    return FlushChannel(where, m_journal);
}

bool CLinkArchive::WriteLateBuffers()
{
    // Before each commit, the channels whose server went quiet: those whose data are older
    // than the bound already (a channel that is sent on is written with its next packet).
    if (m_config->maxLatencySeconds <= 0 || !m_journal.CommitDue() || !MayWrite())
        return true;
    const std::int64_t before = LateBefore(0);
    for (const ChannelLocation& where : m_channels)
    {
        const CChannelState& channel = *where.channel;
        if (channel.bufferCount > 0 && channel.bufferTakenMs <= before &&
            !FlushChannel(where, m_journal))
            return false;
    }
    return true;
}

void CLinkArchive::FlushAndCommit()
{
    if (MayWrite())
    {
        for (const ChannelLocation& where : m_channels)
            (void)FlushChannel(where, m_journal);
    }
    m_journal.Commit();
    (void)WriteResumeTimes();
}

void CLinkArchive::Release(ChannelStates& spare)
{
    // The journal's chunks name the groups of the configuration they were written under,
    // which need not outlive the states' hand-over: they are committed first.
    m_journal.Commit();
    // m_channels and m_states are in the same order (Index).
    for (std::size_t i = 0; i < m_channels.size(); ++i)
    {
        const ChannelLocation& where = m_channels[i];
        spare[ChannelKey(where.group->station, where.channel->name)] = {std::move(m_states[i]),
                                                                        where.group};
    }
    m_states.clear();
    m_channels.clear();
    m_index.clear();
}

} // namespace tarvell
