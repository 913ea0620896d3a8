#pragma once
// A data file kept open from its first write of a commit to that commit's sync, so that
// neither the next chunk nor the sync opens it again by its path (a walk of the path from
// the data root each time). Held descriptors are bounded for the whole process, to half
// the descriptor limit (the status server keeps an eighth, links, database and log the
// rest): beyond that a file is closed after its write and found by its path again, as it
// always can be. Any thread; one holder at a time.

#include "platform/bounded_share.h"
#include "platform/file_system.h"
#include "platform/unique_fd.h"
#include "platform/write_behind.h"

namespace tarvell
{

class CHeldFile
{
public:
    // Takes fd over when the bound allows (true); else fd stays with the caller.
    bool Keep(UniqueFd& fd);

    int Get() const { return m_fd.Get(); }
    explicit operator bool() const { return static_cast<bool>(m_fd); }

private:
    // Its bytes were synced through it, or are taken back by the path: a close has nothing
    // to report.
    CBoundedShare m_share; // given back after the descriptor is closed
    UniqueFd m_fd;
};

// A file written since the last commit: its descriptor, held when the bound allows (the
// next chunk is written through it instead of opening the path again, and the commit syncs
// it), the appended bytes kept back for one larger write (only while it is held), and which
// file it is.
struct WrittenFile
{
    CHeldFile held;
    CWriteBehind kept;
    FileIdentity identity;
};

} // namespace tarvell
