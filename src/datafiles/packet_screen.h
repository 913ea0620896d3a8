#pragma once
// The check every waveform packet of a configured channel passes before its samples are
// buffered: no sample the channel holds already is taken again (a server that starts again
// from its oldest data, or sends a stretch twice), no packet dated far ahead of the clock or
// before 1970 is taken at all, and no packet is taken under a sample interval other than the
// channel's SITECHAN rate. Decisions only; the channel writer logs and counts them. Any
// thread.

#include <cstdint>

namespace tarvell
{

struct WaveformPacket;

// How far ahead of the clock a packet may be dated by default: a day. A server whose clock
// is that far off sends times no archive can use, and one such packet archived would move
// its channel's resume point into the future for good.
inline constexpr double kDefaultFutureLimitSeconds = 86400;

// The limit in seconds ([SYSTEM] FUTURE_LIMIT); 0 or less gives the default. Set at start and
// at every reload, read by every acquisition thread.
void SetFutureLimit(double seconds);
double FutureLimit();

// True when a server's sample interval (seconds) and a SITECHAN rate (samples per second)
// describe the same sampling: within half a microsecond (the interval's resolution on the
// wire) and one part in ten thousand. Otherwise a row would claim more or fewer samples than
// its file holds.
bool RatesAgree(double interval, double sampleRate);

enum PacketVerdict : unsigned
{
    kPacketTaken = 0,              // taken, perhaps after its first samples were dropped
    kPacketResent = 1u << 0,       // every sample lies before what the channel holds
    kPacketFuture = 1u << 1,       // dated more than the limit ahead of the clock
    kPacketBeforeEpoch = 1u << 2,  // dated before 1970
    kPacketRatesDisagree = 1u << 3 // the interval is not the channel's rate
};

struct ScreenResult
{
    PacketVerdict verdict = kPacketTaken;
    int dropped = 0; // samples dropped: the leading ones of a packet taken, or all
};

// Screens packet against the channel: its SITECHAN sampleRate, heldEnd (the time after the
// last sample it holds, buffered or written; 0 when none) and the clock (now, epoch seconds).
// Samples dated more than half an interval before heldEnd are held already: they are the
// dropped ones at the front of a packet taken, so that nothing is ever written twice or at a
// time other than its own. A packet with nothing left, dated ahead of now by more than
// FutureLimit(), before 1970, or under another rate is not taken.
ScreenResult ScreenPacket(const WaveformPacket& packet, double sampleRate, double heldEnd,
                          double now);

} // namespace tarvell
