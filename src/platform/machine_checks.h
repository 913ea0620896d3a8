#pragma once
// What a configuration asks of this machine, checked without acquiring: a directory this
// user can write, a host name that resolves, an address a server can listen on. Each check
// returns an empty text when all is well, else why not in plain words. Any thread.

#include <string>

namespace tarvell
{

// "does not exist", "is a directory", or the system's reason why this user cannot read the
// file at path ("Permission denied").
std::string FileReadProblem(const std::string& path);

// "does not exist", "is no directory", or the system's reason why this user cannot make
// files in it ("Permission denied", "Read-only file system").
std::string DirectoryWriteProblem(const std::string& path);

// Why host (a name or a dotted IPv4 address) gives no IPv4 address: the resolver's text.
std::string HostResolveProblem(const std::string& host);

// Why a TCP server could not listen on host:port now: the resolver's text, or the system's
// reason ("Address already in use", "Cannot assign requested address"). Port 0 asks for any
// free port.
std::string ListenProblem(const std::string& host, int port);

} // namespace tarvell
