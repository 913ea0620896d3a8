#include "link_test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarvell::test
{
namespace
{

int ListenOnLoopback(int* port)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0)
    {
        ::close(listener);
        return -1;
    }
    socklen_t size = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    return listener;
}

} // namespace

CChildProcess::CChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                             const Sandbox& sandbox, const std::string& name)
    : m_stdout(sandbox.File(name + ".out")), m_stderr(sandbox.File(name + ".err"))
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_stdout.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, m_stderr.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0)
        m_pid = pid;
    posix_spawn_file_actions_destroy(&actions);
}

CChildProcess::~CChildProcess()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    if (Wait(10000) < 0 && m_pid > 0)
    {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
}

int CChildProcess::Wait(int timeoutMs)
{
    if (m_pid <= 0)
        return m_status;
    int status = 0;
    const bool ended = WaitUntil(
        [&]
        {
            const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
            return done == m_pid;
        },
        timeoutMs);
    if (!ended)
        return -1;
    m_pid = -1;
    m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return m_status;
}

CSimProcess::CSimProcess(const Sandbox& sandbox, std::vector<std::string> arguments)
{
    static int serial = 0;
    const std::string name = "sim" + std::to_string(++serial);
    m_logPath = sandbox.File(name + ".log");
    m_portPath = sandbox.File(name + ".port");
    arguments.insert(arguments.end(),
                     {"--port", "0", "--port-file", m_portPath, "--log", m_logPath});
    m_process = std::make_unique<CChildProcess>(XFER_SIM_PATH, arguments, sandbox, name);
    WaitUntil([&] { return !ReadFile(m_portPath).empty(); }, 20000);
    m_port = std::atoi(ReadFile(m_portPath).c_str());
}

int CSimProcess::RequestCount() const
{
    const std::string log = Log();
    int count = 0;
    for (std::size_t at = log.find("request version="); at != std::string::npos;
         at = log.find("request version=", at + 1))
        ++count;
    return count;
}

CScriptedServer::CScriptedServer(std::function<void(int socket, int index)> script, int accepts)
{
    m_listener = ListenOnLoopback(&m_port);
    m_thread = std::thread(
        [this, script = std::move(script), accepts]
        {
            for (int index = 0; index < accepts; ++index)
            {
                pollfd entry{m_listener, POLLIN, 0};
                if (::poll(&entry, 1, 20000) <= 0)
                    return;
                const int socket = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (socket < 0)
                    return;
                {
                    std::lock_guard lock(m_lock);
                    m_acceptTimes.push_back(std::chrono::steady_clock::now());
                }
                script(socket, index);
                ::close(socket);
            }
        });
}

CScriptedServer::~CScriptedServer()
{
    ::shutdown(m_listener, SHUT_RDWR);
    m_thread.join();
    ::close(m_listener);
}

std::vector<std::chrono::steady_clock::time_point> CScriptedServer::AcceptTimes()
{
    std::lock_guard lock(m_lock);
    return m_acceptTimes;
}

int UnusedPort()
{
    int port = 0;
    const int listener = ListenOnLoopback(&port);
    ::close(listener);
    return port;
}

bool WriteAll(int socket, const std::vector<unsigned char>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t n = ::send(socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<unsigned char> ReadExactly(int socket, std::size_t count)
{
    std::vector<unsigned char> bytes(count);
    std::size_t done = 0;
    while (done < count)
    {
        const ssize_t n = ::recv(socket, bytes.data() + done, count - done, 0);
        if (n <= 0)
            return {};
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

bool ReadMessage(int socket, std::vector<unsigned char>* body)
{
    const std::vector<unsigned char> prefix = ReadExactly(socket, 4);
    if (prefix.size() != 4)
        return false;
    const std::size_t length = (std::size_t{prefix[0]} << 24) | (std::size_t{prefix[1]} << 16) |
                               (std::size_t{prefix[2]} << 8) | prefix[3];
    *body = length ? ReadExactly(socket, length) : std::vector<unsigned char>{};
    return body->size() == length;
}

CBytes& CBytes::U8(unsigned value)
{
    m_bytes.push_back(static_cast<unsigned char>(value));
    return *this;
}

CBytes& CBytes::U16(unsigned value)
{
    return U8(value >> 8).U8(value & 0xFF);
}

CBytes& CBytes::U32(std::uint32_t value)
{
    return U16(value >> 16).U16(value & 0xFFFF);
}

CBytes& CBytes::Name(const char* text)
{
    unsigned char field[8] = {};
    std::memcpy(field, text, std::min<std::size_t>(std::strlen(text), 8));
    m_bytes.insert(m_bytes.end(), field, field + 8);
    return *this;
}

CBytes& CBytes::Raw(std::initializer_list<unsigned> bytes)
{
    for (unsigned byte : bytes)
        U8(byte);
    return *this;
}

CBytes& CBytes::Raw(const std::vector<unsigned char>& bytes)
{
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<unsigned char> CBytes::Framed() const
{
    CBytes framed;
    framed.U32(static_cast<std::uint32_t>(m_bytes.size()));
    framed.Raw(m_bytes);
    return framed.m_bytes;
}

} // namespace tarvell::test
