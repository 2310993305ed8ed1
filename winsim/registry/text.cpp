// Text helpers of the registry (see text.h).
#include "text.h"

namespace winsim::registry {

std::u16string Utf8ToUtf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
        unsigned char c = byte(i);
        char32_t cp;
        size_t length;
        if (c < 0x80) {
            cp = c;
            length = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            length = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            length = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            length = 4;
        } else {
            out += u'\uFFFD';
            i++;
            continue;
        }
        if (i + length > text.size()) {
            out += u'\uFFFD';
            break;
        }
        bool valid = true;
        for (size_t k = 1; k < length; k++) {
            if ((byte(i + k) & 0xC0) != 0x80)
                valid = false;
            cp = (cp << 6) | (byte(i + k) & 0x3F);
        }
        i += valid ? length : 1;
        if (!valid) {
            out += u'\uFFFD';
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

char16_t FoldCase(char16_t c)
{
    if (c >= u'a' && c <= u'z')
        return static_cast<char16_t>(c - 0x20);
    if (c < 0x80)
        return c;
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7))  // Latin-1 letters
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)  // Greek
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x430 && c <= 0x44F)  // Cyrillic
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 0x50);
    return c;
}

std::u16string FoldCase(std::u16string_view text)
{
    std::u16string out(text);
    for (auto &c : out)
        c = FoldCase(c);
    return out;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b)
{
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; i++) {
        char16_t x = FoldCase(a[i]), y = FoldCase(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) { return a.size() == b.size() && CompareNoCase(a, b) == 0; }

std::vector<uint8_t> StringData(std::u16string_view text)
{
    std::vector<uint8_t> data;
    data.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

std::vector<uint8_t> MultiStringData(const std::vector<std::u16string> &strings)
{
    std::vector<uint8_t> data;
    for (auto &s : strings) {
        auto one = StringData(s);
        data.insert(data.end(), one.begin(), one.end());
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}

namespace {

std::u16string Chars(const std::vector<uint8_t> &data)
{
    std::u16string out;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        out += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    return out;
}

}  // namespace

std::u16string StringFromData(const std::vector<uint8_t> &data)
{
    std::u16string all = Chars(data);
    return all.substr(0, all.find(u'\0'));
}

std::vector<std::u16string> MultiStringFromData(const std::vector<uint8_t> &data)
{
    std::vector<std::u16string> out;
    std::u16string all = Chars(data);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(u'\0', start);
        if (end == std::u16string::npos)
            end = all.size();
        if (end == start)
            break;  // the empty string that ends the list
        out.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace winsim::registry
