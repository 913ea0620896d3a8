#include "platform/ini_profile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_system.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace tarvell
{
namespace
{

// An INI file larger than this is not a configuration file; it reads as missing.
constexpr off_t kMaxIniBytes = 16 * 1024 * 1024;

struct KeyEntry
{
    std::size_t line = 0;
    std::string value; // trimmed
};

struct SectionEntry
{
    std::size_t headerLine = 0;
    std::size_t lastKeyLine = 0; // where a new key of this section goes after
    std::unordered_map<std::string, KeyEntry> keys; // upper-case key -> first occurrence
};

// One parsed file. Lines are kept exactly as they stand (without their "\n"), so that a
// write reproduces every line it does not change.
struct ParsedIni
{
    std::vector<std::string> lines;
    bool crlf = false;         // the file ends its lines with CR LF
    bool finalNewline = true;  // the last line was ended
    std::unordered_map<std::string, SectionEntry> sections; // upper-case name -> first one
};

// What identifies a version of a file on disk: any change by another program alters at
// least one of these.
struct FileIdentity
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    bool operator==(const FileIdentity& other) const
    {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

FileIdentity IdentityOf(const struct stat& st)
{
    return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

struct CacheEntry
{
    FileIdentity identity;
    ParsedIni ini;
};

// Guards every profile call and the cache: the data-file side, the reload and the start-up
// code read and write the one program INI from several threads.
std::mutex g_profileLock;
std::unordered_map<std::string, CacheEntry> g_profileCache;
ProfileCacheStats g_profileStats;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

ParsedIni Parse(const std::string& content)
{
    ParsedIni ini;
    std::size_t start = 0;
    while (start < content.size())
    {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos)
        {
            ini.lines.emplace_back(content, start);
            ini.finalNewline = false;
            break;
        }
        ini.lines.emplace_back(content, start, end - start);
        start = end + 1;
    }
    ini.crlf = !ini.lines.empty() && !ini.lines.front().empty() && ini.lines.front().back() == '\r';

    SectionEntry* current = nullptr;
    for (std::size_t i = 0; i < ini.lines.size(); ++i)
    {
        std::string_view line = Trim(ini.lines[i]);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[')
        {
            std::size_t close = line.find(']');
            std::string name = ToUpperAscii(
                Trim(line.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                    : close - 1)));
            auto [it, inserted] = ini.sections.try_emplace(name);
            // A section written twice is read from its first occurrence only.
            current = inserted ? &it->second : nullptr;
            if (inserted)
                it->second.headerLine = it->second.lastKeyLine = i;
            continue;
        }
        std::size_t equals = line.find('=');
        if (equals == std::string_view::npos || current == nullptr)
            continue; // not a key line, or outside any section: ignored
        std::string key = ToUpperAscii(Trim(line.substr(0, equals)));
        if (key.empty())
            continue;
        current->keys.try_emplace(key, KeyEntry{i, std::string(Trim(line.substr(equals + 1)))});
        current->lastKeyLine = i;
    }
    return ini;
}

std::optional<std::string> ReadWholeFile(int fd, off_t size)
{
    std::string content;
    content.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < content.size())
    {
        ssize_t got = ::read(fd, content.data() + done, content.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            break; // shrank while we read; take what is there
        done += static_cast<std::size_t>(got);
    }
    content.resize(done);
    return content;
}

enum class Lookup
{
    Found,
    Missing,    // no such file: callers get their defaults, a write creates it
    Unreadable, // there, but cannot be read: reads give defaults, writes are refused
};

// Returns the parsed file for path, from the cache when the file has not changed since it
// was parsed. Caller holds g_profileLock.
Lookup FindParsed(const std::string& path, const ParsedIni** result)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
    {
        g_profileCache.erase(path);
        return errno == ENOENT || errno == ENOTDIR ? Lookup::Missing : Lookup::Unreadable;
    }
    auto cached = g_profileCache.find(path);
    if (cached != g_profileCache.end() && cached->second.identity == IdentityOf(st))
    {
        ++g_profileStats.hits;
        *result = &cached->second.ini;
        return Lookup::Found;
    }

    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxIniBytes)
    {
        g_profileCache.erase(path);
        return Lookup::Unreadable;
    }
    std::optional<std::string> content = ReadWholeFile(fd.Get(), st.st_size);
    if (!content)
    {
        g_profileCache.erase(path);
        return Lookup::Unreadable;
    }
    ++g_profileStats.parses;
    CacheEntry& entry = g_profileCache[path];
    entry.identity = IdentityOf(st);
    entry.ini = Parse(*content);
    *result = &entry.ini;
    return Lookup::Found;
}

const std::string* FindValue(const ParsedIni& ini, std::string_view section, std::string_view key)
{
    auto sec = ini.sections.find(ToUpperAscii(section));
    if (sec == ini.sections.end())
        return nullptr;
    auto entry = sec->second.keys.find(ToUpperAscii(key));
    return entry == sec->second.keys.end() ? nullptr : &entry->second.value;
}

bool IsValidName(std::string_view name)
{
    if (Trim(name).empty())
        return false;
    return name.find_first_of("\r\n=]") == std::string_view::npos && Trim(name) == name;
}

std::string SingleLine(std::string_view value)
{
    std::string line(Trim(value));
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    return line;
}

// Builds the new file content with [section] key = value set.
std::string WithValue(const ParsedIni& ini, std::string_view section, std::string_view key,
                      const std::string& value)
{
    std::vector<std::string> lines = ini.lines;
    const std::string cr = ini.crlf ? "\r" : "";
    auto sec = ini.sections.find(ToUpperAscii(section));
    if (sec == ini.sections.end())
    {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.push_back(cr);
        lines.push_back("[" + std::string(section) + "]" + cr);
        lines.push_back(std::string(key) + "=" + value + cr);
    }
    else
    {
        auto entry = sec->second.keys.find(ToUpperAscii(key));
        if (entry != sec->second.keys.end())
        {
            // Keep the key as the file spells it.
            std::string& line = lines[entry->second.line];
            std::size_t equals = line.find('=');
            line = std::string(Trim(std::string_view(line).substr(0, equals))) + "=" + value + cr;
        }
        else
        {
            lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(sec->second.lastKeyLine) + 1,
                         std::string(key) + "=" + value + cr);
        }
    }

    std::string content;
    for (std::size_t i = 0; i < lines.size(); ++i)
    {
        content += lines[i];
        if (i + 1 < lines.size() || ini.finalNewline || lines.size() > ini.lines.size())
            content += '\n';
    }
    return content;
}

// Writes content to a temporary file beside target and renames it over target. On any
// failure the temporary file is removed and target is left as it was.
bool ReplaceAtomically(const std::string& target, const std::string& content, mode_t mode)
{
    std::string temp = target + ".~" + std::to_string(::getpid());
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd)
        return false;
    bool ok = WriteFully(fd.Get(), content.data(), content.size()) && (mode == 0 || ::fchmod(fd.Get(), mode) == 0);
    ok = fd.Close() && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0)
    {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

// The file to write: a symbolic link is followed, so that the link itself stays.
std::string WriteTarget(const std::string& path)
{
    struct stat st{};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
    {
        if (char* real = ::realpath(path.c_str(), nullptr))
        {
            std::string target(real);
            std::free(real);
            return target;
        }
    }
    return path;
}

} // namespace

long long ParseLeadingInteger(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    {
        int digit = text[i] - '0';
        if (value > (LLONG_MAX - digit) / 10)
            return negative ? LLONG_MIN : LLONG_MAX;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::string ReadProfileString(std::string_view path, std::string_view section,
                              std::string_view key, std::string_view defaultValue,
                              std::size_t maxChars)
{
    std::lock_guard lock(g_profileLock);
    const ParsedIni* ini = nullptr;
    const std::string* value = nullptr;
    if (FindParsed(std::string(path), &ini) == Lookup::Found)
        value = FindValue(*ini, section, key);
    std::string_view result = value ? std::string_view(*value) : defaultValue;
    return std::string(result.substr(0, maxChars));
}

long long ReadProfileInt(std::string_view path, std::string_view section, std::string_view key,
                         long long defaultValue)
{
    std::lock_guard lock(g_profileLock);
    const ParsedIni* ini = nullptr;
    if (FindParsed(std::string(path), &ini) != Lookup::Found)
        return defaultValue;
    const std::string* value = FindValue(*ini, section, key);
    return value ? ParseLeadingInteger(*value) : defaultValue;
}

bool WriteProfileString(std::string_view path, std::string_view section, std::string_view key,
                        std::string_view value)
{
    if (!IsValidName(section) || !IsValidName(key))
        return false;
    std::lock_guard lock(g_profileLock);
    const std::string target = WriteTarget(std::string(path));
    const ParsedIni* found = nullptr;
    ParsedIni empty;
    mode_t mode = 0;
    switch (FindParsed(target, &found))
    {
    case Lookup::Found: {
        struct stat st{};
        if (::stat(target.c_str(), &st) == 0)
            mode = st.st_mode & 07777;
        break;
    }
    case Lookup::Missing:
        found = &empty;
        break;
    case Lookup::Unreadable:
        return false; // never replace a file whose content we could not keep
    }

    std::string content = WithValue(*found, section, key, SingleLine(value));
    if (!ReplaceAtomically(target, content, mode))
        return false;
    // The new content is known: cache it, so the next read does not parse it again. The
    // identity is taken after the rename, which itself changes the file's status time.
    struct stat written{};
    if (::stat(target.c_str(), &written) == 0)
    {
        CacheEntry& entry = g_profileCache[target];
        entry.identity = IdentityOf(written);
        entry.ini = Parse(content);
    }
    if (target != path)
        g_profileCache.erase(std::string(path));
    return true;
}

ProfileCacheStats GetProfileCacheStats()
{
    std::lock_guard lock(g_profileLock);
    return g_profileStats;
}

void ClearProfileCache()
{
    std::lock_guard lock(g_profileLock);
    g_profileCache.clear();
}

} // namespace tarvell
