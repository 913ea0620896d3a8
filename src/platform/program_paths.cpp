#include "platform/program_paths.h"

#include <climits>

#include <unistd.h>

namespace tarvell
{

std::string g_iniPath;

std::string ExecutablePath()
{
    char buffer[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer)
        return {};
    return std::string(buffer, static_cast<std::size_t>(length));
}

std::string IniPathForExecutable(std::string_view executable)
{
    std::size_t slash = executable.rfind('/');
    std::size_t dot = executable.rfind('.');
    bool hasExtension = dot != std::string_view::npos &&
                        (slash == std::string_view::npos || dot > slash + 1);
    if (!hasExtension)
        return std::string(executable) + ".ini";
    return std::string(executable.substr(0, dot + 1)) + "ini";
}

std::string DirectoryOf(std::string_view path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return ".";
    if (slash == 0)
        return "/";
    return std::string(path.substr(0, slash));
}

} // namespace tarvell
