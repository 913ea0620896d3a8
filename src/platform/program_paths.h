#pragma once
// Where the program and its INI file are. g_iniPath is set once at start-up, before other
// threads exist, and only read afterwards.

#include <string>
#include <string_view>

namespace tarvell
{

// Path of the program's own INI file.
extern std::string g_iniPath;

// The running executable's full path (/proc/self/exe), or empty when it cannot be read.
std::string ExecutablePath();

// The INI path that belongs to an executable: its extension replaced by "ini", or ".ini"
// appended when its file name has none (/opt/kdx/tarvell -> /opt/kdx/tarvell.ini).
std::string IniPathForExecutable(std::string_view executable);

// The directory part of path ("." when it has none).
std::string DirectoryOf(std::string_view path);

} // namespace tarvell
