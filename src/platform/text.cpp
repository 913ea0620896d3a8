#include "platform/text.h"

#include <algorithm>
#include <cstring>

namespace tarvell
{

namespace
{
char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
} // namespace

void UpperAsciiInPlace(std::string& text)
{
    std::transform(text.begin(), text.end(), text.begin(), UpperAscii);
}

std::string ToUpperAscii(std::string_view text)
{
    std::string upper(text);
    UpperAsciiInPlace(upper);
    return upper;
}

std::string ToLowerAscii(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
    {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return UpperAscii(x) == UpperAscii(y); });
}

void CopyToField(char* field, std::size_t size, std::string_view text)
{
    std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, size - n);
}

std::string_view FieldText(const char* field, std::size_t size)
{
    const void* nul = std::memchr(field, 0, size);
    return std::string_view(
        field, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : size);
}

std::string ReplaceAll(std::string_view text, char from, char to)
{
    std::string result(text);
    std::replace(result.begin(), result.end(), from, to);
    return result;
}

} // namespace tarvell
