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
// taken back (an append cut off, a new file removed, durably) and the channel is asked for
// its samples again from the end of its committed data. When the database refuses one
// channel's rows (a value its columns do not take), that channel alone is put on hold
// (datafiles/channel_hold.h) and the others are committed; when the database or the disk
// fails for all, the journal says that its connection must end, so that the server is asked
// again once they are back. Bytes that cannot be taken back at once are tried again at every
// commit.
//
// One journal per link archive (datafiles/link_archive.h), for the channels of its server,
// used by the thread that writes those channels' states.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/link_lease.h"
#include "datafiles/channel_state.h"

namespace tarvell
{

class CChunkJournal
{
public:
    CChunkJournal();
    CChunkJournal(const CChunkJournal&) = delete;
    CChunkJournal& operator=(const CChunkJournal&) = delete;

    // The channel at where wrote a chunk that is not committed yet.
    void Add(const ChannelLocation& where);

    // A new connection of the journal's thread begins: what is noted per connection (the
    // screen's log lines) starts afresh.
    void BeginConnection();
    std::uint64_t Connection() const { return m_connection; }

    // The chunk the channel at where just wrote was the check of its hold: with tryRows, its
    // rows are tried in a transaction that is rolled back; then its bytes are taken back, so
    // the channel stands where its committed data end. True when the rows would be taken
    // (always without tryRows).
    bool TakeBackCheck(const ChannelLocation& where, bool tryRows);

    // A chunk could not be written or committed: its samples must be asked for again.
    void NoteFailure() { m_failed = true; }

    // True when a chunk failed since the last TakeFailure (the connection must end).
    bool Failed() const { return m_failed; }
    bool TakeFailure();

    // A commit is due a second after the last one, or after interval (at least a quarter of
    // a second, at most a second): what a latency bound asks for.
    void SetCommitInterval(std::chrono::milliseconds interval);
    std::chrono::milliseconds CommitInterval() const { return m_commitInterval; }
    bool CommitDue() const;

    // Commits when a commit is due; returns at once otherwise.
    void CommitIfDue();

    // Commits everything written so far.
    void Commit();

    // The lease under which the journal's link is held (nullptr: none): rows are committed
    // only in a transaction that finds it still this instance's. A commit that does not takes
    // its chunks back and marks the lease lost.
    void SetLease(std::shared_ptr<CLinkLease> lease) { m_lease = std::move(lease); }

private:
    // Bytes taken back that could not be cut or removed yet.
    struct UnfinishedTakeBack
    {
        std::string path;
        bool remove = false; // else cut to size
        std::int64_t size = 0;
        FileIdentity identity; // of the file written; empty: not known
    };

    // Removes or cuts the file of take, durably; true when done (or nothing is left to do).
    static bool TakeBackFile(const UnfinishedTakeBack& take);

    void TakeBack(CChannelState& channel, const std::string& station, bool databaseAway,
                  bool rerequested);
    void RetryUnfinishedTakeBacks();
    void CommitRows(std::vector<ChannelLocation>& ready);

    std::vector<ChannelLocation> m_dirty;
    std::vector<UnfinishedTakeBack> m_unfinished;
    std::vector<std::string> m_loopHeadersDue; // loop files whose header failed to be written
    std::uint64_t m_connection = 0;
    bool m_rowsFailing = false; // the last commit's rows failed for all (logged)
    std::shared_ptr<CLinkLease> m_lease;
    std::chrono::steady_clock::time_point m_lastCommit;
    std::chrono::milliseconds m_commitInterval{1000};
    bool m_failed = false;
};

} // namespace tarvell
