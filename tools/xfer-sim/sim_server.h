#pragma once
// xfer-sim's server: accepts clients, decodes each request, answers with the configuration
// and streams the requested channels, with switches for the faults of real servers.
// Start and Stop from one controlling thread; every connection runs on a thread of its own.

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>
#include <thread>

#include "sim_encoder.h"
#include "sim_sources.h"

namespace tarvell::sim
{

struct SimOptions
{
    std::string bindAddress = "127.0.0.1";
    int port = 14002; // 0: any free port
    EncodingOptions encoding;
    int samplesPerPacket = 100;
    bool realtime = false;          // pace packets to real time instead of sending at once
    double keepaliveSeconds = 10.0; // break + status 0 after this long with nothing to send
    // Faults; 0 (or -1 for endStatus) means off. Packet counts are per connection and count
    // waveform packets.
    int closeAfter = 0; // close the connection after N packets
    int breakEvery = 0; // break + status 0 after every N packets
    int endStatus = -1; // when the data are sent: break + this status, close
    int retryFirst = 0; // answer the first K requests with retryStatus
    int retryStatus = 13;
    int oversizeAfter = 0;       // after N packets one with byte count 1025
    int oversizePrefixAfter = 0; // after N packets a length prefix of 362257
    int format3Every = 0;        // a format-3 packet after every N packets
    int gapAfter = 0;            // each channel leaves out the packet after its N-th
    int stallAfter = 0;          // after N packets send nothing more, keep the connection
    int badIndexAfter = 0;       // after N packets one with a station index out of range
    int forgetAfter = 0;         // the first connection closes after N packets; every later
                                 // one is served from the oldest data, whatever it asks
    int futureAfter = 0;         // after N packets one packet of that channel dated 2038
    int trickleAfter = 0;        // after N packets the next message goes one byte a second
    // "STA:CHA" and N: that channel sends nothing after its N-th packet of a connection.
    std::vector<std::pair<std::string, int>> stallChannels;
};

// Writes the server's log lines ("request ..."), one at a time, to a file or stderr.
class CSimLog
{
public:
    explicit CSimLog(std::FILE* out) : m_out(out) {}
    void Line(const std::string& text);

private:
    std::mutex m_lock;
    std::FILE* m_out;
};

class CSimServer
{
public:
    CSimServer(SimCatalog catalog, SimOptions options, CSimLog& log);
    ~CSimServer();
    CSimServer(const CSimServer&) = delete;
    CSimServer& operator=(const CSimServer&) = delete;

    // Binds, listens and starts accepting. Returns false with *error set.
    bool Start(std::string* error);

    // The port the server listens on (the chosen one for port 0).
    int Port() const { return m_port; }

    // Stops accepting, ends every connection and waits for their threads.
    void Stop();

    // Requests decoded so far (for tests running the server in-process).
    int RequestCount() const { return m_requests.load(); }

private:
    struct Connection
    {
        int socket = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void AcceptLoop();
    void Serve(Connection& connection, const std::string& peer);
    bool Stopping() const { return m_stopping.load(std::memory_order_relaxed); }

    SimCatalog m_catalog;
    SimOptions m_options;
    CSimLog& m_log;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_retryLeft{0};
    std::atomic<int> m_requests{0};
    std::atomic<int> m_served{0}; // connections that got their configuration
    std::thread m_acceptThread;
    std::mutex m_connectionsLock;
    std::list<std::unique_ptr<Connection>> m_connections;
};

} // namespace tarvell::sim
