#include "support/private_postgres.h"

#include <cstdlib>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarvell::test
{
namespace
{

int FreePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

} // namespace

PrivatePostgres::PrivatePostgres()
{
    m_server.port = std::to_string(FreePort());
    m_dir = "/tmp/tarvell-pg-private-" + std::to_string(::getpid()) + "-" + m_server.port;
    m_started = Run("start");
}

PrivatePostgres::~PrivatePostgres()
{
    Run("destroy");
}

bool PrivatePostgres::Run(const char* command) const
{
    std::string line = "bash " TARVELL_SOURCE_DIR "/scripts/postgres.sh " + std::string(command) +
                       " --port " + m_server.port + " --dir " + m_dir + " >/dev/null 2>&1";
    return std::system(line.c_str()) == 0;
}

} // namespace tarvell::test
