#pragma once
// One decoded waveform packet of one channel, as the channel buffering takes it.
// Filled and read by one acquisition thread.

#include <cstdint>

namespace tarvell
{

// A name as received: at most 8 characters (the wire field is 8 bytes, normally 7 and a
// terminator; a server that fills all 8 gets them kept whole rather than cut, so a cut name
// can never pass for another channel), always NUL-terminated here.
inline constexpr int kNameTextSize = 9;

// Samples in the largest packet: the 4096-byte data area holds 2048 16-bit samples.
inline constexpr int kMaxPacketSamples = 2048;

struct WaveformPacket
{
    WaveformPacket() = default;
    // samples may point into this record; a copy would point into the original.
    WaveformPacket(const WaveformPacket&) = delete;
    WaveformPacket& operator=(const WaveformPacket&) = delete;

    char station[kNameTextSize] = {};
    float stationValues[4] = {};
    char channel[kNameTextSize] = {};
    char auxName[kNameTextSize] = {};
    std::uint32_t sampleIntervalUs = 0; // the sample interval exactly as the server sent it
    double sampleInterval = 0.0;        // seconds: sampleIntervalUs / 1e6, never rounded
    float calib = 0.0f;                 // calibration
    float calper = 0.0f;                // calibration period
    float channelValues[2] = {};        // channel values 3 and 4
    double beginTime = 0.0;             // epoch seconds of the first sample
    double endTime = 0.0;               // beginTime + (count - 1) x sampleInterval
    int tag = 0;
    int count = 0;    // number of samples, 1..kMaxPacketSamples
    int wordSize = 0; // 2 or 4 bytes per sample on the wire

    // count signed 32-bit samples, oldest first. They point into the RawPacket (32-bit
    // samples are handed on without copying) or into ownSamples (16-bit samples, sign
    // extended), and are valid until the next packet is received or converted.
    const std::int32_t* samples = nullptr;
    std::int32_t ownSamples[kMaxPacketSamples] = {};
};

} // namespace tarvell
