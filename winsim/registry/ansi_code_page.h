// The ANSI code page of the simulated machine (1252, Western European, as
// HKLM\SYSTEM\CurrentControlSet\Control\Nls\CodePage\ACP says): how the "A"
// registry functions turn names and string data into UTF-16 and back.
// Characters 1252 cannot represent become '?', as with the system's default
// character.
#pragma once

#include <string>
#include <string_view>

namespace winsim::registry {

std::u16string AnsiToUtf16(std::string_view text);
std::string Utf16ToAnsi(std::u16string_view text);

}  // namespace winsim::registry
