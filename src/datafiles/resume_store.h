#pragma once
// Resume times on their way to the program INI. The commit of a chunk hands over the
// channel's new resume time (the whole second up to which its data are committed); the
// store writes what it holds in one rewrite of the INI, about once a second and at every stop
// and reload, never one rewrite per chunk. The INI is written only after the data and rows
// it describes are durable, so it never points past the archive. Any thread.

#include <cstdint>
#include <string_view>

namespace tarvell
{

// The resume time of channel of station, whose group was read from section GROUP<section>,
// is now seconds (section 0: nothing is stored). Costs a map update under a lock of its own.
// The write puts it into the section that names the station then (the INI may have been
// edited meanwhile; a moved or vanished station is logged once).
void NoteResumeTime(int section, std::string_view station, std::string_view channel,
                    std::int64_t seconds);

// Writes the resume times noted since the last write, when a second has passed since then
// and no other thread is writing. Returns at once otherwise.
void WriteResumeTimesIfDue();

// Writes the resume times noted since the last write now (the stop, a reload). A write that
// fails is logged once until one succeeds again; what it held is kept for the next write.
// Returns false when the INI could not be written.
bool WriteResumeTimes();

// Forgets what was noted and not written (tests).
void ResetResumeStoreForTest();

} // namespace tarvell
