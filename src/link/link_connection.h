#pragma once
// One connection to a server as its acquisition thread owns it: the message buffer, the
// timeout and silence limit of the exchange, the run flag, what was logged on it, and the
// counters the status server reports. Its thread only (the counters may be read by any).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "metrics/counters.h"

namespace tarvell
{

// Size of the message buffer and so the limit for an incoming message body.
inline constexpr std::size_t kMessageBufferSize = 362256;

// Bytes one read takes from the socket ahead of the message being read: about what the
// socket buffers of a connection hold, so a server's burst of small packets is read with one
// system call instead of two per packet.
inline constexpr std::size_t kReadAheadSize = 65536;

// Seconds of silence after which a read fails (code 16).
inline constexpr int kDefaultSilenceLimit = 60;

// Seconds within which a whole message must arrive once the link waits for it (code 20): a
// server that trickles a byte now and then never falls silent, yet sends nothing usable.
inline constexpr int kDefaultMessageLimit = 60;

class CLinkConnection
{
public:
    // counters: where the connection's counts go; a private set when none is given.
    explicit CLinkConnection(std::shared_ptr<CLinkCounters> counters = nullptr);
    CLinkConnection(const CLinkConnection&) = delete;
    CLinkConnection& operator=(const CLinkConnection&) = delete;

    // The message buffer (kMessageBufferSize bytes of address space, resident only as far as
    // messages fill it), allocated on first use and kept: every message of every connection
    // of this object is read into it.
    unsigned char* MessageBuffer();

    // Bytes read from socket ahead of what was asked: moves up to count of them into
    // destination and returns how many. Bytes of another socket are dropped, never served.
    std::size_t TakeReadAhead(int socket, unsigned char* destination, std::size_t count);
    // Room for one read ahead from socket (kReadAheadSize bytes, empty before): the read's
    // bytes are then kept with ReadAheadFilled.
    unsigned char* ReadAheadRoom(int socket);
    void ReadAheadFilled(std::size_t count) { m_aheadEnd = count; }
    // Drops what was read ahead: a new socket (its number may be the last one's) begins.
    void DropReadAhead() { m_aheadBegin = m_aheadEnd = 0; }

    // True when the run flag reads 0, or the stall watchdog asked for a new connection: the
    // waits of the link then end within about half a second.
    bool StopRequested() const;
    // The code a wait that ended for StopRequested leaves: 18 for the stop, 19 for a
    // reconnect the stall watchdog asked for.
    int StopCode() const;

    // Forgets what the previous connection logged and skipped.
    void BeginConnection(std::string_view serverHost);

    // True the first time a fault kind is reported on this connection.
    bool FirstReport(unsigned faultBit)
    {
        const bool first = (reportedFaults & faultBit) == 0;
        reportedFaults |= faultBit;
        return first;
    }

    CLinkCounters& Counters() { return *m_counters; }

    // The whole seconds the connection has waited for data so far (0 when the wait ends),
    // for whoever shows them (onWait); nothing when no one does.
    void ReportWait(int seconds) const
    {
        if (onWait)
            onWait(seconds);
    }

    int currentTimeout = 0;                  // of the request being exchanged (ms step)
    int silenceLimit = kDefaultSilenceLimit; // seconds of silence after which a read fails
    int messageLimit = kDefaultMessageLimit; // seconds a whole message may take to arrive
    // When the message being read must be whole; set by RecvFramed, checked by RecvAll.
    std::chrono::steady_clock::time_point messageDeadline =
        std::chrono::steady_clock::time_point::max();
    const std::atomic<int>* runFlag = nullptr; // nullptr: never stopped; must outlive use
    // Work of the owning thread done while it waits for data from its server (about every
    // half second of the wait); returning false ends the wait as a failed read does. Empty:
    // none.
    std::function<bool()> idleWork;
    std::function<void(int)> onWait; // shows the seconds of a wait; empty: not shown
    // The system's error behind the last failed connect, send or read, for the words of its
    // code (LinkFailureText): 0 when the server closed the connection, ETIMEDOUT when it
    // stayed silent, else the errno of the call that failed.
    int systemError = 0;
    std::string host;                // the server of the connection, for log lines
    unsigned reportedFaults = 0;     // fault kinds already logged on this connection
    std::int64_t skippedPackets = 0; // packets skipped on this connection

private:
    std::shared_ptr<CLinkCounters> m_counters;
    std::unique_ptr<unsigned char[]> m_messageBuffer;
    std::unique_ptr<unsigned char[]> m_readAhead;
    int m_aheadSocket = -1;
    std::size_t m_aheadBegin = 0; // the bytes not taken yet: [m_aheadBegin, m_aheadEnd)
    std::size_t m_aheadEnd = 0;
};

} // namespace tarvell
