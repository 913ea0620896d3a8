#pragma once
// Where each channel's data end in the archive, found at start-up before any server is asked,
// and the repairs that make files and rows agree again after a crash or a power cut. Main
// thread at start-up, or the reload thread for the channels a reload adds, before their
// servers are asked.
//
// A channel resumes from the end of what its latest FILELIST row describes (exact to the
// sample, where the INI keeps only whole seconds), or from its INI resume time when it has no
// row. Before that:
//   - a time-named file holding bytes beyond its row (the process ended between the bytes
//     and the row) is cut back to its row;
//   - a file shorter than its row (its last bytes never reached the disk) has its row
//     shortened to the samples that are there;
//   - a time-named file of the channel newer than its latest row and without a row of its own
//     is removed; so is every file without a row of a channel that has a resume time but no
//     row at all (the rows of its last commits were lost while the INI kept their time: it
//     then resumes from the first file removed); one of a channel with neither rows nor a
//     resume time is set aside as "<name>.unregistered";
//   - a loop file's header is written again from its rows.
// Every cut and removal is synced, and every shortened row committed, before any server is
// asked: a second power cut cannot bring back what was taken away. Whatever was cut,
// shortened or removed lies after the resume point, so the servers send it again.

#include <vector>

#include "datafiles/channel_state.h"

namespace tarvell
{

struct ArchiveRecoveryReport
{
    int channelsFromRows = 0; // channels that resume from their rows
    int filesCutBack = 0;
    int rowsShortened = 0;
    int filesRemoved = 0;
};

// Finds the end in the archive of every channel of channels (whose resumeTime holds its INI
// resume time), repairs what disagrees, and sets each channel's resumeTime, committedEnd and
// writtenEnd to it. Logs every repair and one summary line. Leaves the archive alone (and the
// INI resume times in place) when the data root is missing or the database cannot answer.
ArchiveRecoveryReport RecoverArchiveEnds(const std::vector<ChannelLocation>& channels);

} // namespace tarvell
