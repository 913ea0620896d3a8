#include "platform/unique_fd.h"

#include <unistd.h>

namespace tarvell
{

bool UniqueFd::Close()
{
    if (m_fd < 0)
        return true;
    // close is never retried on EINTR on Linux: the descriptor is gone either way.
    return ::close(std::exchange(m_fd, -1)) == 0;
}

void UniqueFd::Reset(int fd)
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

} // namespace tarvell
