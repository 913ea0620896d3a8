#pragma once
// The widths of the channel list's first four columns as [LISTBOXHEADER] HDRSIZE keeps them
// ("60,60,120,200"). Any thread.

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarvell
{

// The columns whose widths are kept; the last column (the server) is never saved.
inline constexpr int kSavedColumns = 4;
inline constexpr int kListColumns = 5;
inline constexpr int kFileColumn = 3;

// The widest column a stored value can make (a typing error must not make the list unusable).
inline constexpr int kMaxColumnWidth = 4000;

using SavedWidths = std::array<std::optional<int>, kSavedColumns>;

// The widths that a HDRSIZE value restores: the text is cut at each ","; piece k sets the
// width of column k when it reads (leading digits, as every INI number) as a number above 0,
// and the reading stops after the piece that has no "," behind it. Columns without a width
// keep theirs: "80,0,abc" gives 80 for column 0 and nothing for columns 1 to 3.
SavedWidths ParseColumnWidths(std::string_view text);

// The widths the list starts with, before HDRSIZE: every column as wide as its content
// needs (needed, in pixels), and the file column, whose names are the longest, also what the
// others leave of listWidth; so at the window's size every column is in view.
std::array<int, kListColumns> FitColumnWidths(int listWidth,
                                              const std::array<int, kListColumns>& needed);

// The HDRSIZE value of the given widths: each "%d", joined by ",".
std::string FormatColumnWidths(const std::array<int, kSavedColumns>& widths);

} // namespace tarvell
