#include "config/group_section.h"

#include <cstdint>

#include "platform/ini_profile.h"
#include "platform/text_format.h"

namespace tarvell
{
namespace
{

bool StartsWithNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

} // namespace

std::string GroupSectionName(int n)
{
    return FormatText("GROUP%d", n);
}

std::optional<std::int64_t> SizeMbBytes(std::string_view text)
{
    const long long megabytes = ParseLeadingInteger(text);
    if (!StartsWithNumber(text) || megabytes <= 0)
        return std::nullopt;
    if (megabytes > INT64_MAX / kMegabyte)
        return INT64_MAX;
    return megabytes * kMegabyte;
}

std::optional<std::int64_t> ReadSizeMbBytes(std::string_view iniPath, int n)
{
    return SizeMbBytes(ReadProfileString(iniPath, GroupSectionName(n), "SIZEMB",
                                         std::to_string(kDefaultSizeMb), 255));
}

} // namespace tarvell
