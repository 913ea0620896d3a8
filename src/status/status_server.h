#pragma once
// The status server: read-only HTTP on one address, answering /metrics (Prometheus text),
// /status (JSON) and / (the page). It has no authentication: it belongs on loopback or
// behind a proxy that adds it. Every answer is made from the counters' atomics, so a
// request never waits for the packet path, and with nobody asking it costs nothing but its
// idle threads. Start and Stop on the main thread; the answers on the server's own threads.

#include <memory>
#include <string>

namespace tarvell
{

class CStatusServer
{
public:
    CStatusServer();
    ~CStatusServer(); // stops the server
    CStatusServer(const CStatusServer&) = delete;
    CStatusServer& operator=(const CStatusServer&) = delete;

    // Binds host:port (port 0: any free port) and starts answering. Returns false with
    // *error when the address cannot be bound.
    bool Start(const std::string& host, int port, std::string* error);

    // The port bound (after Start).
    int Port() const;

    // Stops answering and waits for the server's threads.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace tarvell
