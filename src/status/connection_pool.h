#pragma once
// The connections of the status server, bounded. At most `limit` are open at once, each served
// by a thread of the pool (threads are made as connections need them, up to the limit). A
// new connection beyond the limit takes the place of the open one that has waited longest for
// its request (an idle or dripping client), so that a flood of idle connections never keeps
// a scraper out; when every open connection is being answered, the new one is refused. The
// descriptors held are thus at most twice the limit, whatever arrives.
// Admit: the server's accepting thread. Serve: the pool's threads. Stop: the thread that
// owns the pool.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace tarvell
{

class CConnectionPool
{
public:
    struct Entry; // one open connection; guarded by the pool's lock

    // One connection as its serving thread sees it.
    class CConnection
    {
    public:
        CConnection(CConnectionPool& pool, Entry& entry) : m_pool(pool), m_entry(entry) {}
        int Socket() const;
        // Its request has arrived and is being answered: it keeps its place now.
        void Answering();
        // It waits for its next request from now on: it may make room for a new one.
        void Waiting();

    private:
        CConnectionPool& m_pool;
        Entry& m_entry;
    };

    using Serve = std::function<void(CConnection&)>;

    enum class Admission
    {
        Admitted,
        MadeRoom, // admitted in the place of a waiting connection, which is being closed
        Refused,  // the socket is still the caller's to close
    };

    // serve runs on a pool thread for every admitted connection; the pool closes the socket
    // after it returns. openCount always holds the number of connections open (for the
    // metrics).
    CConnectionPool(std::size_t limit, Serve serve, std::atomic<std::int64_t>& openCount);
    ~CConnectionPool(); // Stop
    CConnectionPool(const CConnectionPool&) = delete;
    CConnectionPool& operator=(const CConnectionPool&) = delete;

    // Takes a connected socket as described above.
    Admission Admit(int socket);

    // Connections open (admitted and not yet closed).
    std::size_t Open() const;

    // Shuts every connection down, waits for the threads, closes what is left. Admit refuses
    // from now on.
    void Stop();

private:
    void Work();
    std::shared_ptr<Entry> LongestWaiting() const;
    void Close(const std::shared_ptr<Entry>& entry);
    void CountOpen(); // caller holds m_lock

    const std::size_t m_limit;
    const Serve m_serve;
    std::atomic<std::int64_t>& m_openCount;
    mutable std::mutex m_lock;
    std::condition_variable m_ready;
    std::vector<std::shared_ptr<Entry>> m_open; // guarded by m_lock
    std::deque<std::shared_ptr<Entry>> m_queue; // admitted, not yet taken; guarded by m_lock
    std::vector<std::thread> m_threads;         // guarded by m_lock
    std::size_t m_idleThreads = 0;              // guarded by m_lock
    bool m_stopping = false;                    // guarded by m_lock
};

} // namespace tarvell
