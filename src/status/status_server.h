#pragma once
// The status server: read-only HTTP on one address, answering /metrics (Prometheus text),
// /status (JSON) and / (the page). Every answer is made from the counters' atomics, so a
// request never waits for the packet path, and with nobody asking it costs nothing but its
// idle threads. Whatever clients do, it holds a bounded share of the process's descriptors
// and threads (see connection_pool.h and request_stream.h), refuses what no address takes
// (request_policy.h), and asks for the token when one is configured; every refusal is
// counted in /metrics and logged, a flood of them a line a minute. Start and Stop on the main
// thread; the answers on the server's own threads.

#include <memory>
#include <string>

namespace tarvell
{

struct StatusServerLimits
{
    int maxConnections = 16; // open at once
    int requestSeconds = 5;  // for a connection to send its (next) request
};

class CStatusServer
{
public:
    CStatusServer();
    ~CStatusServer(); // stops the server
    CStatusServer(const CStatusServer&) = delete;
    CStatusServer& operator=(const CStatusServer&) = delete;

    // Binds host:port (port 0: any free port) and starts answering within limits; a request
    // for the program's state must carry token when it is not empty. Returns false with
    // *error when the address cannot be bound.
    bool Start(const std::string& host, int port, const StatusServerLimits& limits,
               const std::string& token, std::string* error);

    // The port bound (after Start).
    int Port() const;

    // True when the address bound is a loopback address, which other machines cannot reach.
    bool OnLoopback() const;

    // Stops answering and waits for the server's threads.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tarvell
