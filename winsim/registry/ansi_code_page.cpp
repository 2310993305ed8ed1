// Code page 1252 (see ansi_code_page.h).
#include "ansi_code_page.h"

namespace winsim::registry {
namespace {

// 0x80-0x9F; the other bytes are their own code points. The five bytes 1252
// leaves undefined map to the C1 controls, as Windows does.
constexpr char16_t kHigh[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

std::u16string AnsiToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto byte = static_cast<unsigned char>(ch);
        out += byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : static_cast<char16_t>(byte);
    }
    return out;
}

std::string Utf16ToAnsi(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text) {
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            out += static_cast<char>(c);
            continue;
        }
        char mapped = '?';
        for (int i = 0; i < 32; i++)
            if (kHigh[i] == c)
                mapped = static_cast<char>(0x80 + i);
        out += mapped;
    }
    return out;
}

}  // namespace winsim::registry
