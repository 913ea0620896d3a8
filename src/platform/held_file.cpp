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

bool CHeldFile::Keep(UniqueFd& fd)
{
    m_fd.Reset();
    m_share = {};
    CBoundedShare share = CBoundedShare::Take(g_held, HeldBound());
    if (!share)
        return false;
    m_fd = std::move(fd);
    m_share = std::move(share);
    return true;
}

} // namespace tarvell
