#include "platform/file_system.h"

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace tarvell
{

void MakeDirectory(const std::string& path)
{
    ::mkdir(path.c_str(), 0777);
}

bool PathExists(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

bool WriteFully(int fd, const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        ssize_t put = ::write(fd, bytes, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
        {
            if (put == 0)
                errno = ENOSPC;
            return false;
        }
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace tarvell
