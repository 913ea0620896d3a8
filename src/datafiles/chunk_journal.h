#pragma once
// The group commit of written chunks. The channel writer writes a chunk's bytes at once and
// hands the chunk to its journal; about once a second the journal makes what it holds part
// of the archive, in this order: the files written since the last commit are synced
// together (and the directories of new files), then the rows of those files and segments
// are written in one transaction, then the channels' resume times go to the resume store,
// which writes the INI after them. So no row and no resume time ever describes bytes that
// are not on the disk.
//
// A chunk is committed whole or not at all: when its rows cannot be written, its bytes are
// taken back (an append cut off, a new file removed) and the channel is asked for its samples
// again from the end of its committed data; the journal then says that its connection must
// end, so that the server is asked again.
//
// One journal per acquisition thread, for the channels of its server, used by that thread;
// or by the thread that stopped or paused every acquisition thread (CommitEveryJournal).

#include <chrono>
#include <vector>

#include "config/station_groups.h"

namespace tarvell
{

class CChunkJournal
{
public:
    CChunkJournal();
    ~CChunkJournal();
    CChunkJournal(const CChunkJournal&) = delete;
    CChunkJournal& operator=(const CChunkJournal&) = delete;

    // The channel at where wrote a chunk that is not committed yet.
    void Add(const ChannelLocation& where);

    // A chunk could not be written or committed: its samples must be asked for again.
    void NoteFailure() { m_failed = true; }

    // True when a chunk failed since the last TakeFailure (the connection must end).
    bool Failed() const { return m_failed; }
    bool TakeFailure();

    // Commits when a second has passed since the last commit; returns at once otherwise.
    void CommitIfDue();

    // Commits everything written so far.
    void Commit();

    // Commits every journal of the process and every channel of g_groups with chunks
    // pending, then writes the resume times: the stop and the reload, while no acquisition
    // thread is inside a packet.
    static void CommitEveryJournal();

private:
    std::vector<ChannelLocation> m_dirty;
    std::chrono::steady_clock::time_point m_lastCommit;
    bool m_failed = false;
};

} // namespace tarvell
