#include "app/instance_lock.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tarvell
{

bool CInstanceLock::Acquire(const std::string& iniPath, std::string* error)
{
    const std::string path = iniPath + ".lock";
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!fd)
    {
        *error = "cannot create the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    // flock belongs to the open file, so it is released when the process ends, however it
    // ends: a crash never leaves a stale lock behind.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
    {
        char holder[32] = {};
        ssize_t got = ::pread(fd.Get(), holder, sizeof holder - 1, 0);
        std::string pid = got > 0 ? std::string(holder, static_cast<std::size_t>(got)) : "?";
        while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
            pid.pop_back();
        *error = "another TARVELL (process " + pid + ") is already running with " + iniPath;
        return false;
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.Get(), 0) == 0)
    {
        ssize_t ignored = ::pwrite(fd.Get(), pid.data(), pid.size(), 0);
        (void)ignored; // the pid is for the operator's information only
    }
    m_fd = std::move(fd);
    return true;
}

} // namespace tarvell
