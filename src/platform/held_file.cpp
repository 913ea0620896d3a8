#include "platform/held_file.h"

#include <atomic>
#include <utility>

#include "platform/process_limits.h"

namespace tarvell
{
namespace
{

std::atomic<std::uint64_t> g_held{0};

// Half the soft limit as it is when the first file is held (the start raises it first):
// the other half stays for sockets, the database, the event log and the status server.
std::uint64_t HeldBound()
{
    static const std::uint64_t bound = DescriptorSoftLimit() / 2;
    return bound;
}

} // namespace

CHeldFile::~CHeldFile()
{
    Release();
}

CHeldFile::CHeldFile(CHeldFile&& other) noexcept : m_fd(std::move(other.m_fd)) {}

CHeldFile& CHeldFile::operator=(CHeldFile&& other) noexcept
{
    if (this != &other)
    {
        Release();
        m_fd = std::move(other.m_fd);
    }
    return *this;
}

bool CHeldFile::Keep(UniqueFd& fd)
{
    Release();
    const std::uint64_t bound = HeldBound();
    std::uint64_t held = g_held.load(std::memory_order_relaxed);
    do
    {
        if (held >= bound)
            return false;
    } while (!g_held.compare_exchange_weak(held, held + 1, std::memory_order_relaxed));
    m_fd = std::move(fd);
    return true;
}

void CHeldFile::Release()
{
    if (!m_fd)
        return;
    // Its bytes were synced through it, or are taken back by the path: nothing to report.
    m_fd.Reset();
    g_held.fetch_sub(1, std::memory_order_relaxed);
}

} // namespace tarvell
