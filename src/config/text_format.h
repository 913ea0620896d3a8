#pragma once
// printf-style formatting into a std::string in the C locale, for the system's own formats
// (log lines, file headers and names). Any thread. Never pass outside text as the format.

#include <string>

namespace tarvell
{

// The text snprintf would produce for format and the arguments, however long.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace tarvell
