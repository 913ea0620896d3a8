#include "platform/sync_ahead.h"

#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/file_system.h"

namespace tarvell
{
namespace
{

// Far more than the files a second of backfill finishes; a queue this long means the disk
// is slower than the writer, and the commit then syncs the rest itself.
constexpr std::size_t kMaxQueued = 4096;

class CSyncWorker
{
public:
    ~CSyncWorker()
    {
        {
            std::lock_guard lock(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }

    void Ask(const std::string& path)
    {
        {
            std::lock_guard lock(m_lock);
            if (m_stop || m_queue.size() >= kMaxQueued)
                return;
            if (!m_thread.joinable())
                m_thread = std::thread([this] { Run(); });
            m_queue.push_back(path);
            ++m_paths[path].waiting;
        }
        m_changed.notify_all();
    }

    int Finish(const std::string& path)
    {
        std::unique_lock lock(m_lock);
        auto entry = m_paths.find(path);
        // A sync not begun yet is left to the commit, which syncs the file anyway: a commit
        // waits at most for the one sync running, never for a queue of other links' files.
        if (entry != m_paths.end())
            entry->second.waiting -= static_cast<int>(std::erase(m_queue, path));
        while (entry != m_paths.end() && entry->second.waiting > 0 && !m_stop)
        {
            m_changed.wait(lock);
            entry = m_paths.find(path);
        }
        if (entry == m_paths.end())
            return 0;
        const int error = entry->second.error;
        m_paths.erase(entry);
        return error;
    }

    void WaitUntilIdle()
    {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [this] { return m_stop || (m_queue.empty() && !m_busy); });
    }

private:
    struct Entry
    {
        int waiting = 0; // syncs queued or running
        int error = 0;   // of the last one that failed
    };

    void Run()
    {
        std::unique_lock lock(m_lock);
        for (;;)
        {
            m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop)
                return;
            const std::string path = std::move(m_queue.front());
            m_queue.pop_front();
            m_busy = true;
            lock.unlock();
            const int error = SyncFile(path) || errno == ENOENT ? 0 : errno;
            lock.lock();
            m_busy = false;
            Entry& entry = m_paths[path];
            --entry.waiting;
            if (error != 0)
                entry.error = error;
            if (entry.waiting <= 0 && entry.error == 0)
                m_paths.erase(path);
            m_changed.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::string> m_queue;                // guarded by m_lock
    std::unordered_map<std::string, Entry> m_paths; // guarded by m_lock
    bool m_stop = false;                            // guarded by m_lock
    bool m_busy = false;                            // a sync runs; guarded by m_lock
    std::thread m_thread;
};

CSyncWorker& Worker()
{
    static CSyncWorker worker;
    return worker;
}

} // namespace

void SyncAhead(const std::string& path)
{
    Worker().Ask(path);
}

int FinishSyncAhead(const std::string& path)
{
    return Worker().Finish(path);
}

void WaitForSyncAheadForTest()
{
    Worker().WaitUntilIdle();
}

} // namespace tarvell
