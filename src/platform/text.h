#pragma once
// Small single-byte text helpers shared by every subsystem. Any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvell
{

// Upper-cases the ASCII letters of text; other bytes stay as they are.
std::string ToUpperAscii(std::string_view text);
void UpperAsciiInPlace(std::string& text);

// Lower-cases the ASCII letters of text; other bytes stay as they are.
std::string ToLowerAscii(std::string_view text);

// True when a and b are equal after upper-casing their ASCII letters.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// Copies text into a fixed field of size bytes (size >= 1), cut to size - 1 bytes and always
// NUL-terminated; the rest of the field is zero-filled.
void CopyToField(char* field, std::size_t size, std::string_view text);

// The text of a fixed NUL-terminated field; a field without a terminator yields its whole size.
std::string_view FieldText(const char* field, std::size_t size);

// Replaces every occurrence of from with to.
std::string ReplaceAll(std::string_view text, char from, char to);

} // namespace tarvell
