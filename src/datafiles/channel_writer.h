#pragma once
// Channel buffering and the writing of chunks. Every waveform packet of a configured channel
// is collected in the channel's buffer; a chunk that cannot grow any more is written to the
// channel's data file at once and handed to the journal, which commits it (rows, resume
// time) with the other chunks of about a second. Acquisition threads only, each for the
// channels of its own server, while g_groups stays as it is (or the thread that stopped or
// paused them all).
//
// What a chunk touches, in this order. Time-named files: the station's disk-loop purge, the
// file (appended, or created with its header); at the commit, its row. Loop files: the rows
// of the segments whose bytes the chunk overwrites (shortened or deleted first, so that no
// row ever describes overwritten bytes), the chunk at its ring position; at the commit, the
// new or lengthened segment's row and the header rebuilt from the rows.

namespace tarvell
{

struct WaveformPacket;
struct ChannelLocation;
class CChunkJournal;

// Takes one packet of the channel at where. The packet is screened first (see
// datafiles/packet_screen.h): samples the channel holds already are dropped, a packet dated
// far ahead of the clock or before 1970 is not taken, and one whose interval disagrees with
// the channel's SITECHAN rate puts the channel on hold (datafiles/channel_hold.h); each is
// counted, and logged once per connection. Of what is taken, the calibration is copied and
// the samples are appended to the buffer. A packet that does not continue the buffer within
// half a sample interval, that would take it past 4900 samples, or that belongs to a channel
// of 1.0 samples per second or less, first has the buffer written (FlushChannel). A packet
// of more than 4900 samples is taken in pieces of at most 4900. Times and lengths follow the
// channel's rate. Sets the channel's resumeTime to the time after the packet's last sample
// (not while the channel is on hold). Returns false when a chunk could not be written for a
// fault that meets every channel: the packet is not taken then, the channel will be asked
// again from the end of what it has written, and the journal says that the connection must
// end.
bool MergePacket(const WaveformPacket& packet, const ChannelLocation& where,
                 CChunkJournal& journal);

// Writes the buffered chunk of the channel at where and hands it to journal; empties the
// buffer either way. Returns false when the chunk could not be written for a fault of the
// disk or the database (full or read-only disk, a missing data root, the database away):
// nothing of it stays on disk, and the channel's resumeTime goes back to the end of what it
// has written. A fault of the channel alone (its file or directory cannot be written) puts
// it on hold instead, and true is returned: its server goes on for the other channels. The
// buffer of a channel on hold is dropped, or used to check whether the fault is gone.
bool FlushChannel(const ChannelLocation& where, CChunkJournal& journal);

// Logs the run of samples sent again that the screen dropped for the channel at where, if
// one is open (the connection ends, or a packet is taken whole again).
void EndResentRun(const ChannelLocation& where);

} // namespace tarvell
