#include "platform/ini_profile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/fault_point.h"
#include "platform/file_system.h"
#include "platform/program_paths.h"
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
    std::size_t lastKeyLine = 0;                    // where a new key of this section goes after
    std::unordered_map<std::string, KeyEntry> keys; // upper-case key -> first occurrence
};

// One parsed file. Lines are kept exactly as they stand (without their "\n"), so that a
// write reproduces every line it does not change.
struct ParsedIni
{
    std::vector<std::string> lines;
    bool crlf = false;                                      // the file ends its lines with CR LF
    bool finalNewline = true;                               // the last line was ended
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
            std::string name = ToUpperAscii(Trim(line.substr(
                1, close == std::string_view::npos ? std::string_view::npos : close - 1)));
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
    struct stat st
    {
    };
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

// Inserts a line at index, moving every line number behind it by one.
void InsertLine(ParsedIni& ini, std::size_t index, std::string line)
{
    ini.lines.insert(ini.lines.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
    for (auto& [name, section] : ini.sections)
    {
        if (section.headerLine >= index)
            ++section.headerLine;
        if (section.lastKeyLine >= index)
            ++section.lastKeyLine;
        for (auto& [key, entry] : section.keys)
        {
            if (entry.line >= index)
                ++entry.line;
        }
    }
}

// Sets [section] key = value in the parsed file itself, so that the file need not be parsed
// again after it is written: an existing key keeps its line (and its spelling), a new key
// goes after the last key of its section, a new section to the end of the file.
void ApplyValue(ParsedIni& ini, std::string_view section, std::string_view key,
                const std::string& value)
{
    const std::string cr = ini.crlf ? "\r" : "";
    const std::string sectionKey = ToUpperAscii(section);
    auto sec = ini.sections.find(sectionKey);
    if (sec == ini.sections.end())
    {
        if (!ini.lines.empty() && !Trim(ini.lines.back()).empty())
            ini.lines.push_back(cr);
        SectionEntry& added = ini.sections[sectionKey];
        added.headerLine = ini.lines.size();
        ini.lines.push_back("[" + std::string(section) + "]" + cr);
        added.lastKeyLine = ini.lines.size();
        added.keys[ToUpperAscii(key)] = KeyEntry{ini.lines.size(), value};
        ini.lines.push_back(std::string(key) + "=" + value + cr);
        ini.finalNewline = true;
        return;
    }
    auto entry = sec->second.keys.find(ToUpperAscii(key));
    if (entry != sec->second.keys.end())
    {
        std::string& line = ini.lines[entry->second.line];
        const std::size_t equals = line.find('=');
        line = std::string(Trim(std::string_view(line).substr(0, equals))) + "=" + value + cr;
        entry->second.value = value;
        return;
    }
    const std::size_t at = sec->second.lastKeyLine + 1;
    ini.finalNewline = true; // a new line must not run into the one after it
    InsertLine(ini, at, std::string(key) + "=" + value + cr);
    SectionEntry& updated = ini.sections[sectionKey];
    updated.lastKeyLine = at;
    updated.keys[ToUpperAscii(key)] = KeyEntry{at, value};
}

std::string Serialize(const ParsedIni& ini)
{
    std::size_t size = 0;
    for (const std::string& line : ini.lines)
        size += line.size() + 1;
    std::string content;
    content.reserve(size);
    for (std::size_t i = 0; i < ini.lines.size(); ++i)
    {
        content += ini.lines[i];
        if (i + 1 < ini.lines.size() || ini.finalNewline)
            content += '\n';
    }
    return content;
}

// True when the file has key in section (the first such section, as reads find it).
bool HasKey(const ParsedIni& ini, std::string_view section, std::string_view key)
{
    const auto sec = ini.sections.find(ToUpperAscii(section));
    return sec != ini.sections.end() && sec->second.keys.count(ToUpperAscii(key)) != 0;
}

// Adds keys the file does not have yet, however many, in one pass over its lines: each goes
// after the last key of its section in the order given, a new section with its keys to the
// end, and a key given twice takes its last value, all as ApplyValue one at a time would
// place them. The file is then parsed from its new lines, which numbers every line at once
// (ApplyValue moves every number behind a new line: a first start of thousands of channels
// would cost their square).
void InsertNewKeys(ParsedIni& ini, const std::vector<ProfileEntry>& added)
{
    const std::string cr = ini.crlf ? "\r" : "";
    struct Block
    {
        std::string header; // of a new section; empty for keys of a section the file has
        std::vector<std::string> lines;
    };
    std::map<std::size_t, Block> after; // keys of existing sections, by the line they follow
    std::deque<Block> appended;         // new sections, in order (a deque keeps addresses)
    std::unordered_map<std::string, std::size_t> appendedAt;
    std::unordered_map<std::string, std::pair<Block*, std::size_t>> placed; // SECTION\nKEY
    for (const ProfileEntry& entry : added)
    {
        const std::string sectionKey = ToUpperAscii(entry.section);
        std::string line = entry.key + "=" + entry.value + cr;
        const std::string id = sectionKey + "\n" + ToUpperAscii(entry.key);
        if (const auto same = placed.find(id); same != placed.end())
        {
            same->second.first->lines[same->second.second] = std::move(line);
            continue;
        }
        Block* block = nullptr;
        if (const auto sec = ini.sections.find(sectionKey); sec != ini.sections.end())
        {
            block = &after[sec->second.lastKeyLine];
        }
        else
        {
            const auto [at, isNew] = appendedAt.try_emplace(sectionKey, appended.size());
            if (isNew)
                appended.push_back(Block{"[" + entry.section + "]" + cr, {}});
            block = &appended[at->second];
        }
        placed.emplace(id, std::make_pair(block, block->lines.size()));
        block->lines.push_back(std::move(line));
    }

    std::vector<std::string> lines;
    lines.reserve(ini.lines.size() + added.size() + 2 * appended.size());
    for (std::size_t i = 0; i < ini.lines.size(); ++i)
    {
        lines.push_back(std::move(ini.lines[i]));
        if (const auto block = after.find(i); block != after.end())
            std::move(block->second.lines.begin(), block->second.lines.end(),
                      std::back_inserter(lines));
    }
    for (Block& block : appended)
    {
        if (!lines.empty() && !Trim(lines.back()).empty())
            lines.push_back(cr);
        lines.push_back(std::move(block.header));
        std::move(block.lines.begin(), block.lines.end(), std::back_inserter(lines));
    }
    ini.lines = std::move(lines);
    ini.finalNewline = true; // a new line must not run into the one after it
    const bool crlf = ini.crlf;
    ini = Parse(Serialize(ini));
    ini.crlf = crlf;
}

// Gives the temporary file fd the owner, group and mode of the file it replaces (old). Only a
// privileged process may give a file away, and only a member of a group may hand it to that
// group; where that is not permitted the new file stays the program's own, and the rights of
// a group that could not be kept are dropped: a rewrite never lets anyone read the file who
// could not read it before (it may hold the database password).
bool AdoptOwnership(int fd, const struct stat& old)
{
    struct stat now
    {
    };
    if (::fstat(fd, &now) != 0)
        return false;
    if (now.st_uid != old.st_uid || now.st_gid != old.st_gid)
    {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        if (::fstat(fd, &now) != 0)
            return false;
    }
    mode_t mode = old.st_mode & 0777;
    if (now.st_gid != old.st_gid)
        mode &= static_cast<mode_t>(~S_IRWXG);
    return ::fchmod(fd, mode) == 0;
}

// Writes content to a temporary file beside target and renames it over target, durably: the
// new file is synced before the rename and the directory after it, so that after a power cut
// the file is either the old one or the new one, never empty or cut. The temporary file is
// made by mkstemp: its name cannot be guessed and it is readable by the program alone from
// its first byte; it takes the owner, group and mode of the old file (old; a new file stays
// 0600) just before it replaces it. On any failure the temporary file is removed and target
// is left as it was.
bool ReplaceAtomically(const std::string& target, const std::string& content,
                       const struct stat* old)
{
    std::string temp = target + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd)
        return false;
    bool ok = WriteFully(fd.Get(), content.data(), content.size());
    FaultPoint("ini-temp-written");
    ok = ok && (old == nullptr || AdoptOwnership(fd.Get(), *old)) && ::fsync(fd.Get()) == 0;
    ok = fd.Close() && ok;
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0)
    {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename itself is durable only once the directory is; a failure here leaves the
    // new content in place, which the next sync of the directory makes durable.
    (void)SyncDirectory(DirectoryOf(target));
    return true;
}

// The file to write: a symbolic link is followed, so that the link itself stays.
std::string WriteTarget(const std::string& path)
{
    struct stat st
    {
    };
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

std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view defaultValue, std::size_t maxChars)
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
    const ProfileEntry entry{std::string(section), std::string(key), std::string(value)};
    return WriteProfileStrings(path, std::span<const ProfileEntry>(&entry, 1));
}

bool WriteProfileStrings(std::string_view path, std::span<const ProfileEntry> entries)
{
    for (const ProfileEntry& entry : entries)
    {
        if (!IsValidName(entry.section) || !IsValidName(entry.key))
            return false;
    }
    std::lock_guard lock(g_profileLock);
    const std::string target = WriteTarget(std::string(path));
    const ParsedIni* found = nullptr;
    struct stat old
    {
    };
    bool replacing = false;
    switch (FindParsed(target, &found))
    {
    case Lookup::Found:
        replacing = ::stat(target.c_str(), &old) == 0;
        break;
    case Lookup::Missing:
        g_profileCache[target] = CacheEntry{};
        break;
    case Lookup::Unreadable:
        return false; // never replace a file whose content we could not keep
    }

    // The cached parse is changed in place and written out; the written file is then the
    // cached one, so the next read costs no parse. A write that fails drops the cache entry,
    // and the next read parses what is on disk.
    CacheEntry& cached = g_profileCache[target];
    std::vector<ProfileEntry> added; // keys new to the file, placed together after the others
    for (const ProfileEntry& entry : entries)
    {
        if (HasKey(cached.ini, entry.section, entry.key))
            ApplyValue(cached.ini, entry.section, entry.key, SingleLine(entry.value));
        else
            added.push_back({entry.section, entry.key, SingleLine(entry.value)});
    }
    if (added.size() == 1)
        ApplyValue(cached.ini, added.front().section, added.front().key, added.front().value);
    else if (!added.empty())
        InsertNewKeys(cached.ini, added);
    if (!ReplaceAtomically(target, Serialize(cached.ini), replacing ? &old : nullptr))
    {
        g_profileCache.erase(target);
        return false;
    }
    // The identity is taken after the rename, which itself changes the file's status time.
    struct stat written
    {
    };
    if (::stat(target.c_str(), &written) == 0)
        cached.identity = IdentityOf(written);
    else
        g_profileCache.erase(target);
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
