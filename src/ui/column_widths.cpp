#include "ui/column_widths.h"

#include <algorithm>

#include "platform/ini_profile.h"

namespace tarvell
{

SavedWidths ParseColumnWidths(std::string_view text)
{
    SavedWidths widths;
    if (text.empty())
        return widths;
    for (int column = 0; column < kSavedColumns; ++column)
    {
        const std::size_t comma = text.find(',');
        const long long width = ParseLeadingInteger(text.substr(0, comma));
        if (width > 0)
            widths[static_cast<std::size_t>(column)] =
                static_cast<int>(std::min<long long>(width, kMaxColumnWidth));
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
    }
    return widths;
}

std::array<int, kListColumns> FitColumnWidths(int listWidth,
                                              const std::array<int, kListColumns>& needed)
{
    std::array<int, kListColumns> widths = needed;
    int others = 0;
    for (int column = 0; column < kListColumns; ++column)
    {
        if (column != kFileColumn)
            others += needed[static_cast<std::size_t>(column)];
    }
    widths[kFileColumn] = std::max(needed[kFileColumn], listWidth - others);
    return widths;
}

std::string FormatColumnWidths(const std::array<int, kSavedColumns>& widths)
{
    std::string text;
    for (int width : widths)
    {
        if (!text.empty())
            text += ',';
        text += std::to_string(width);
    }
    return text;
}

} // namespace tarvell
