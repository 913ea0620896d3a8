#pragma once
// The scratch state of the calling thread's connection (internal to the server link).
// Calling thread only: each acquisition thread owns one connection at a time, so keeping
// this state per thread gives every connection its own without passing it around.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tarvell
{

class CLinkState
{
public:
    // The message buffer (kMessageBufferSize bytes), allocated on first use and kept for the
    // thread's life: every message of every connection of the thread is read into it.
    unsigned char* MessageBuffer();

    // True when a run flag is installed and reads 0.
    bool StopRequested() const
    {
        return runFlag != nullptr && runFlag->load(std::memory_order_relaxed) == 0;
    }

    // Forgets what the previous connection logged and counted.
    void BeginConnection(std::string_view serverHost);

    // True the first time a fault kind is reported on this connection.
    bool FirstReport(unsigned faultBit)
    {
        const bool first = (reportedFaults & faultBit) == 0;
        reportedFaults |= faultBit;
        return first;
    }

    int currentTimeout = 0; // of the request being exchanged (ms step of pauses)
    int silenceLimit = 60;  // seconds of silence after which a read fails
    const std::atomic<int>* runFlag = nullptr;
    std::function<bool()> idleWork;  // see SetLinkIdleWork
    std::string host;                // the server of the current connection, for log lines
    unsigned reportedFaults = 0;     // fault kinds already logged on this connection
    std::int64_t skippedPackets = 0; // packets skipped on this connection

private:
    std::unique_ptr<unsigned char[]> m_messageBuffer;
};

CLinkState& ThreadLinkState();

} // namespace tarvell
