#include "platform/write_behind.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/file_system.h"

namespace tarvell
{
namespace
{

// 64 MiB for the whole process: the files of 256 channels catching up at once. More
// channels than that write their chunks as they come, as they would without it.
constexpr std::uint64_t kProcessBound = 256;
std::atomic<std::uint64_t> g_buffers{0};

} // namespace

KeepResult CWriteBehind::Keep(int fd, std::int64_t offset, const void* bytes, std::size_t size)
{
    if (m_failure != 0)
        return KeepResult::Failed;
    if (!m_kept.empty() && offset != m_offset + static_cast<std::int64_t>(m_kept.size()))
    {
        // Not where the kept bytes end (never so for a file's appends): they go first.
        if (WriteOut(fd) != 0)
            return KeepResult::Failed;
    }
    if (!m_share)
    {
        m_share = CBoundedShare::Take(g_buffers, kProcessBound);
        if (!m_share)
            return KeepResult::NotKept;
        m_kept.reserve(kKeptBytes + size);
    }
    if (m_kept.empty())
        m_offset = offset;
    const auto* from = static_cast<const unsigned char*>(bytes);
    m_kept.insert(m_kept.end(), from, from + size);
    m_used = true;
    if (m_kept.size() < kKeptBytes)
        return KeepResult::Kept;
    // Up to the last boundary; the rest begins the next piece there.
    const std::int64_t end = m_offset + static_cast<std::int64_t>(m_kept.size());
    const std::int64_t upTo = end / kBoundary * kBoundary;
    const std::size_t count =
        upTo > m_offset ? static_cast<std::size_t>(upTo - m_offset) : m_kept.size();
    return WriteThrough(fd, count) ? KeepResult::Kept : KeepResult::Failed;
}

int CWriteBehind::WriteOut(int fd)
{
    if (m_failure == 0 && !m_kept.empty())
        (void)WriteThrough(fd, m_kept.size());
    return m_failure;
}

bool CWriteBehind::WriteThrough(int fd, std::size_t count)
{
    if (!WriteAt(fd, m_offset, m_kept.data(), count))
    {
        // Nothing of the kept bytes stays: the file ends where they would have begun, and
        // their chunks are taken back at the commit.
        const int error = errno;
        TruncateTo(fd, m_offset);
        Drop(error);
        return false;
    }
    m_kept.erase(m_kept.begin(), m_kept.begin() + static_cast<std::ptrdiff_t>(count));
    m_offset += static_cast<std::int64_t>(count);
    return true;
}

void CWriteBehind::Drop(int failed)
{
    m_kept.clear();
    if (failed != 0)
        m_failure = failed;
}

void CWriteBehind::ReleaseIfIdle()
{
    if (!std::exchange(m_used, false) && m_kept.empty())
        Release();
}

void CWriteBehind::Release()
{
    m_kept.clear();
    m_kept.shrink_to_fit();
    m_share = {};
}

} // namespace tarvell
