// Text helpers of the registry: UTF-8 <-> UTF-16 and the case folding that
// makes key and value names case-insensitive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::registry {

std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The upper-case form Windows compares names in (ASCII, Latin-1, Greek and
// Cyrillic; other characters compare as they are).
char16_t FoldCase(char16_t c);
std::u16string FoldCase(std::u16string_view text);
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
int CompareNoCase(std::u16string_view a, std::u16string_view b);

// Registry data of the string types: UTF-16LE with terminators.
std::vector<uint8_t> StringData(std::u16string_view text);
std::vector<uint8_t> MultiStringData(const std::vector<std::u16string> &strings);
// Reads back REG_SZ data up to its first terminator (or its end).
std::u16string StringFromData(const std::vector<uint8_t> &data);
std::vector<std::u16string> MultiStringFromData(const std::vector<uint8_t> &data);

}  // namespace winsim::registry
