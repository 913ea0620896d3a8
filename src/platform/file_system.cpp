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

namespace
{
// The one write loop: at the file position (offset nullptr) or at *offset, going on after
// interrupted and partial writes.
bool WriteLoop(int fd, const void* data, std::size_t size, std::int64_t* offset)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        ssize_t put = offset ? ::pwrite(fd, bytes, size, static_cast<off_t>(*offset))
                             : ::write(fd, bytes, size);
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
        if (offset)
            *offset += put;
    }
    return true;
}
} // namespace

bool WriteFully(int fd, const void* data, std::size_t size)
{
    return WriteLoop(fd, data, size, nullptr);
}

bool WriteAt(int fd, std::int64_t offset, const void* data, std::size_t size)
{
    return WriteLoop(fd, data, size, &offset);
}

} // namespace tarvell
