#pragma once
// The [GROUP<n>] sections of the program INI as every part of the program names and reads
// them: the section name, and the one reading of SIZEMB. Any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvell
{

// SIZEMB when a section has none: one megabyte.
inline constexpr long long kDefaultSizeMb = 1;
inline constexpr std::int64_t kMegabyte = 1048576;

// "GROUP<n>": the section of the group read from section number n (counting from 1).
std::string GroupSectionName(int n);

// SIZEMB of section GROUP<n> of the INI file at iniPath, in bytes: the value (default
// kDefaultSizeMb) x 1048576, for the station's disk loop and as the ring size of its loop
// files. Nothing when the value is not a positive number of megabytes (such a loop keeps no
// older file, such a ring holds one chunk at byte 512); huge values saturate.
std::optional<std::int64_t> ReadSizeMbBytes(std::string_view iniPath, int n);

// The same for a SIZEMB text as it stands in the INI.
std::optional<std::int64_t> SizeMbBytes(std::string_view text);

} // namespace tarvell
