#include "platform/text_format.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>

#include <locale.h>

namespace tarvell
{
namespace
{

locale_t ClassicLocale()
{
    static const locale_t classic = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return classic;
}

} // namespace

std::string FormatText(const char* format, ...)
{
    // The window library sets the process locale from the environment; file headers, names
    // and log lines keep the decimal point whatever it says.
    locale_t classic = ClassicLocale();
    locale_t previous = classic ? ::uselocale(classic) : static_cast<locale_t>(nullptr);

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

    if (classic)
        ::uselocale(previous);
    return text;
}

} // namespace tarvell
