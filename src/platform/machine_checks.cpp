#include "platform/machine_checks.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

// The first IPv4 address of host, or the resolver's text in *problem.
bool Resolve(const std::string& host, sockaddr_in* address, std::string* problem)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (result != 0 || found == nullptr)
    {
        *problem = result == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(result);
        return false;
    }
    std::memcpy(address, found->ai_addr, sizeof *address);
    ::freeaddrinfo(found);
    return true;
}

} // namespace

std::string FileReadProblem(const std::string& path)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? "does not exist" : std::strerror(errno);
    if (S_ISDIR(info.st_mode))
        return "is a directory";
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
        return std::strerror(errno);
    return {};
}

std::string DirectoryWriteProblem(const std::string& path)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0)
        return errno == ENOENT ? "does not exist" : std::strerror(errno);
    if (!S_ISDIR(info.st_mode))
        return "is no directory";
    // access() asks with this process's own user and groups, as a file made in it would be.
    if (::access(path.c_str(), W_OK | X_OK) != 0)
        return std::strerror(errno);
    return {};
}

std::string HostResolveProblem(const std::string& host)
{
    sockaddr_in address{};
    std::string problem;
    if (host.empty())
        return "no host name";
    return Resolve(host, &address, &problem) ? std::string() : problem;
}

std::string ListenProblem(const std::string& host, int port)
{
    sockaddr_in address{};
    std::string problem;
    if (!Resolve(host, &address, &problem))
        return problem;
    if (port < 0 || port > 65535)
        return "the port is no number from 0 to 65535";
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return std::strerror(errno);
    // As the status server binds: a port in TIME_WAIT after a restart is no obstacle.
    const int on = 1;
    (void)::setsockopt(socket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::strerror(errno);
    return {};
}

} // namespace tarvell
