#include "config/text_format.h"

#include <cstdarg>
#include <cstdio>

namespace tarvell
{

std::string FormatText(const char* format, ...)
{
    char small[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int needed = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    std::string text;
    if (needed >= 0 && static_cast<std::size_t>(needed) < sizeof small)
    {
        text.assign(small, static_cast<std::size_t>(needed));
    }
    else if (needed >= 0)
    {
        text.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<std::size_t>(needed));
    }
    va_end(again);
    return text;
}

} // namespace tarvell
