#include "status/connection_pool.h"

#include <algorithm>
#include <system_error>

#include <sys/socket.h>
#include <unistd.h>

namespace tarvell
{

struct CConnectionPool::Entry
{
    int socket = -1;
    bool answering = false;
    bool closing = false; // shut down to make room, or by Stop
    std::chrono::steady_clock::time_point waitingSince;
};

int CConnectionPool::CConnection::Socket() const
{
    return m_entry.socket; // never changes while the connection is served
}

void CConnectionPool::CConnection::Answering()
{
    std::lock_guard lock(m_pool.m_lock);
    m_entry.answering = true;
}

void CConnectionPool::CConnection::Waiting()
{
    std::lock_guard lock(m_pool.m_lock);
    m_entry.answering = false;
    m_entry.waitingSince = std::chrono::steady_clock::now();
}

CConnectionPool::CConnectionPool(std::size_t limit, Serve serve,
                                 std::atomic<std::int64_t>& openCount)
    : m_limit(std::max<std::size_t>(limit, 1)), m_serve(std::move(serve)), m_openCount(openCount)
{
}

void CConnectionPool::CountOpen()
{
    m_openCount.store(static_cast<std::int64_t>(m_open.size()), std::memory_order_relaxed);
}

CConnectionPool::~CConnectionPool()
{
    Stop();
}

std::shared_ptr<CConnectionPool::Entry> CConnectionPool::LongestWaiting() const
{
    std::shared_ptr<Entry> oldest;
    for (const auto& entry : m_open)
    {
        if (!entry->answering && !entry->closing &&
            (!oldest || entry->waitingSince < oldest->waitingSince))
            oldest = entry;
    }
    return oldest;
}

CConnectionPool::Admission CConnectionPool::Admit(int socket)
{
    std::lock_guard lock(m_lock);
    if (m_stopping)
        return Admission::Refused;
    Admission admission = Admission::Admitted;
    if (m_open.size() >= m_limit)
    {
        // Connections that were made room for are still open until their threads notice;
        // twice the limit bounds the descriptors however fast new ones come.
        const std::shared_ptr<Entry> oldest = LongestWaiting();
        if (!oldest || m_open.size() >= 2 * m_limit)
            return Admission::Refused;
        oldest->closing = true;
        ::shutdown(oldest->socket, SHUT_RDWR); // its thread sees the end at once
        admission = Admission::MadeRoom;
    }
    if (m_idleThreads == 0 && m_threads.size() < m_limit)
    {
        try
        {
            m_threads.emplace_back([this] { Work(); });
        }
        catch (const std::system_error&)
        {
            // No thread could be made: the connection waits for one of those there are.
            if (m_threads.empty())
                return Admission::Refused;
        }
    }
    auto entry = std::make_shared<Entry>();
    entry->socket = socket;
    entry->waitingSince = std::chrono::steady_clock::now();
    m_open.push_back(entry);
    m_queue.push_back(std::move(entry));
    CountOpen();
    m_ready.notify_one();
    return admission;
}

std::size_t CConnectionPool::Open() const
{
    std::lock_guard lock(m_lock);
    return m_open.size();
}

void CConnectionPool::Close(const std::shared_ptr<Entry>& entry)
{
    // Closed under the lock: Admit shuts sockets down under it too, and must never meet a
    // descriptor number that was closed and given to another file meanwhile.
    std::lock_guard lock(m_lock);
    ::close(entry->socket);
    const auto found = std::find(m_open.begin(), m_open.end(), entry);
    if (found != m_open.end())
        m_open.erase(found);
    CountOpen();
}

void CConnectionPool::Work()
{
    for (;;)
    {
        std::shared_ptr<Entry> entry;
        {
            std::unique_lock lock(m_lock);
            ++m_idleThreads;
            m_ready.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            --m_idleThreads;
            if (m_stopping)
                return;
            entry = std::move(m_queue.front());
            m_queue.pop_front();
        }
        CConnection connection(*this, *entry);
        m_serve(connection);
        Close(entry);
    }
}

void CConnectionPool::Stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_lock);
        if (m_stopping)
            return;
        m_stopping = true;
        for (const auto& entry : m_open)
        {
            entry->closing = true;
            ::shutdown(entry->socket, SHUT_RDWR);
        }
        threads.swap(m_threads);
    }
    m_ready.notify_all();
    for (std::thread& thread : threads)
        thread.join();
    std::lock_guard lock(m_lock);
    for (const auto& entry : m_queue)
        ::close(entry->socket);
    m_queue.clear();
    m_open.clear();
    CountOpen();
}

} // namespace tarvell
