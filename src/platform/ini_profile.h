#pragma once
// The profile (INI file) functions the whole program reads and writes its settings with.
// Any thread may call them; all calls are serialised by one lock.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tarvell
{

// Reads [section] key from the INI file at path. Sections and keys match without regard
// to case; the value is trimmed of surrounding blanks. A missing file, section or key, or
// a file that cannot be read, gives defaultValue. The result holds at most maxChars
// characters (the rest of a longer value is cut off, as a fixed buffer would).
std::string ReadProfileString(std::string_view path, std::string_view section, std::string_view key,
                              std::string_view defaultValue, std::size_t maxChars);

// Reads [section] key as an integer: the leading optionally-signed decimal digits of the
// value; a value that does not start with them reads as 0; a missing key gives
// defaultValue. Values out of range saturate.
long long ReadProfileInt(std::string_view path, std::string_view section, std::string_view key,
                         long long defaultValue);

// Writes [section] key = value. Every other line of the file (comments, order, unknown keys)
// is kept; a missing key is added at the end of its section and a missing section at the end
// of the file; a missing file is created. The file is replaced atomically (a temporary file
// beside it is renamed over it), so a crash never leaves it half-written. Returns false, with
// the old file untouched, when the file cannot be read or written, or when the section or key
// name could not stand in the file (empty, or holding a line break, "=" or "]").
// Line breaks inside the value are written as blanks so that a value can never add lines.
// The new file is synced before it replaces the old one, and its directory after, so a power
// cut leaves the old file or the new one, never an empty or cut one. The temporary file has a
// name nobody can guess and is readable by the program alone from its first byte; the new
// file keeps the owner, group and mode of the old one (a group that cannot be kept loses its
// rights; a file made by the first write is readable by its owner alone).
[[nodiscard]] bool WriteProfileString(std::string_view path, std::string_view section,
                                      std::string_view key, std::string_view value);

struct ProfileEntry
{
    std::string section;
    std::string key;
    std::string value;
};

// Writes every entry as WriteProfileString would, in one rewrite of the file (all or none of
// them). The next read is answered from what was written, without parsing the file again.
[[nodiscard]] bool WriteProfileStrings(std::string_view path,
                                       std::span<const ProfileEntry> entries);

// Converts text as the profile functions do: leading blanks skipped, optional sign, then the
// decimal digits up to the first other character; no digits gives 0. Saturates on overflow.
long long ParseLeadingInteger(std::string_view text);

// Counters of the parse cache, for tests and benchmarks.
struct ProfileCacheStats
{
    std::size_t parses = 0; // how often a file was read and parsed
    std::size_t hits = 0;   // how often a call was answered from the cache
};
ProfileCacheStats GetProfileCacheStats();

// Forgets every cached file (benchmarks measure the uncached path with it).
void ClearProfileCache();

} // namespace tarvell
