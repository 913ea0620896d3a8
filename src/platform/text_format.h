#pragma once
// printf-style formatting into a std::string in the C locale, for the system's own formats
// (log lines, file headers and names, SQL statements). Numbers always keep the decimal
// point ("1.5", never "1,5") whatever locale the window library sets for the process.
// Any thread. Never pass outside text as the format.

#include <string>

namespace tarvell
{

// The text snprintf would produce for format and the arguments, however long.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace tarvell
