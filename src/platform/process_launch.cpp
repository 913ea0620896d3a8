#include "platform/process_launch.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace tarvell
{
namespace
{

bool IsExecutableFile(const std::string& path)
{
    struct stat status
    {
    };
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

std::string Joined(std::string_view directory, std::string_view name)
{
    std::string path(directory.empty() ? "." : directory);
    if (path.back() != '/')
        path += '/';
    return path + std::string(name);
}

} // namespace

std::string FindExecutable(std::string_view name, std::string_view firstDirectory)
{
    if (name.empty() || name.find('/') != std::string_view::npos)
        return {};
    std::string candidate = Joined(firstDirectory, name);
    if (IsExecutableFile(candidate))
        return candidate;
    const char* path = std::getenv("PATH");
    std::string_view directories = path ? path : "";
    while (!directories.empty())
    {
        std::size_t colon = directories.find(':');
        std::string_view directory = directories.substr(0, colon);
        // An empty entry of PATH is the current directory, as the shell takes it.
        candidate = Joined(directory, name);
        if (IsExecutableFile(candidate))
            return candidate;
        if (colon == std::string_view::npos)
            break;
        directories.remove_prefix(colon + 1);
    }
    return {};
}

int StartProgram(const std::string& path)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    if (posix_spawnattr_init(&attributes) != 0)
    {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    // Our sockets, the instance lock and the database's descriptors are no business of the
    // other program, and it must not keep them open after we end.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char* arguments[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t process = -1;
    int result = posix_spawn(&process, path.c_str(), &actions, &attributes, arguments, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result == 0 ? static_cast<int>(process) : -1;
}

void WaitForProgramEnd(int processId)
{
    int status = 0;
    while (::waitpid(static_cast<pid_t>(processId), &status, 0) < 0 && errno == EINTR)
    {
    }
}

} // namespace tarvell
