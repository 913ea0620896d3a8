#pragma once
// Helpers of the server-link tests: child processes (xfer-sim, xfer-dump), a scripted
// loopback server, and byte builders.

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/sandbox.h"

namespace tarvell::test
{

// A program started in the background with its output in files of a sandbox. The
// destructor ends it with SIGTERM and waits for it.
class CChildProcess
{
public:
    CChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                  const Sandbox& sandbox, const std::string& name);
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }
    // Waits for the program to end (at most timeoutMs) and returns its exit status, or -1.
    int Wait(int timeoutMs = 20000);
    std::string Stdout() const { return ReadFile(m_stdout); }
    std::string Stderr() const { return ReadFile(m_stderr); }

private:
    int m_pid = -1;
    int m_status = -1;
    std::string m_stdout;
    std::string m_stderr;
};

// xfer-sim on an ephemeral loopback port, logging to a file of the sandbox.
class CSimProcess
{
public:
    CSimProcess(const Sandbox& sandbox, std::vector<std::string> arguments);
    int Port() const { return m_port; }
    std::string Log() const { return ReadFile(m_logPath); }
    // Number of "request version=" lines in the log.
    int RequestCount() const;

private:
    std::string m_logPath;
    std::string m_portPath;
    std::unique_ptr<CChildProcess> m_process;
    int m_port = 0;
};

// A server of one connection on an ephemeral loopback port: script runs on its own thread
// with the accepted socket, which is closed when the script returns. With several
// connections (accepts > 1), script runs for each in turn.
class CScriptedServer
{
public:
    explicit CScriptedServer(std::function<void(int socket, int index)> script, int accepts = 1);
    ~CScriptedServer();
    int Port() const { return m_port; }
    // Moments the connections were accepted.
    std::vector<std::chrono::steady_clock::time_point> AcceptTimes();

private:
    int m_listener = -1;
    int m_port = 0;
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::chrono::steady_clock::time_point> m_acceptTimes;
};

// A port on loopback that nothing listens on (bound once, then released).
int UnusedPort();

// Writes all bytes to a socket (blocking); false on failure.
bool WriteAll(int socket, const std::vector<unsigned char>& bytes);
// Reads exactly count bytes (blocking); empty on failure.
std::vector<unsigned char> ReadExactly(int socket, std::size_t count);
// Reads one framed message body; false on failure.
bool ReadMessage(int socket, std::vector<unsigned char>* body);

// Big-endian message builder for hand-made bodies.
class CBytes
{
public:
    CBytes& U8(unsigned value);
    CBytes& U16(unsigned value);
    CBytes& U32(std::uint32_t value);
    CBytes& Name(const char* text); // 8 bytes, NUL-padded (a text of 8 has no terminator)
    CBytes& Raw(std::initializer_list<unsigned> bytes);
    CBytes& Raw(const std::vector<unsigned char>& bytes);
    const std::vector<unsigned char>& Body() const { return m_bytes; }
    std::vector<unsigned char> Framed() const;

private:
    std::vector<unsigned char> m_bytes;
};

} // namespace tarvell::test
