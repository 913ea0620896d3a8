#pragma once
// Syncing finished files ahead of their commit. A file the writer will not touch again (a
// time-named file that is full) can be made durable while the acquisition thread goes on
// reading its server; the group commit then only waits for what is still on its way and
// finds the file's pages already on the disk. A worker thread of its own, started at the
// first file, does the syncing. Any thread.
//
// Errors are never lost on the way: the disk reports a write-back error to the first sync
// that sees it, so an error the worker met is kept for the path and handed to the commit,
// which must call Finish for every file it syncs itself.

#include <string>

namespace tarvell
{

// Asks for the file at path to be synced soon. A full queue leaves the file to the commit.
void SyncAhead(const std::string& path);

// Takes the syncs of path not begun yet off the queue (the caller syncs the file itself),
// waits for one that is running, and returns the errno of a failed one (0 when none failed
// or none was asked for); forgets it. A file that has gone is no error here: the commit's own
// sync sees that.
int FinishSyncAhead(const std::string& path);

// Returns once every sync asked for has run.
void WaitForSyncAheadForTest();

} // namespace tarvell
