// The narrow-string helpers of kernel32, user32 and shlwapi: lstrlenA,
// lstrcmpA, lstrcmpiA, CharNextA, wsprintfA and StrStrIA.
#include "handles.h"
#include "session_state.h"

#include <shlwapi.h>

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <string>

using namespace winsim::win32;

namespace {

int Fold(char c) { return tolower(static_cast<unsigned char>(c)); }

int Sign(int value) { return value < 0 ? -1 : value > 0 ? 1 : 0; }

// Lead bytes of code page 932's double-byte characters.
bool IsLeadByte932(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// wsprintfA writes at most 1024 bytes, the terminator included.
constexpr size_t kWsprintfLimit = 1024;

void Pad(std::string &out, const std::string &text, size_t width, bool left, char fill)
{
    if (left) {
        out += text;
        if (text.size() < width)
            out.append(width - text.size(), ' ');
        return;
    }
    if (text.size() < width) {
        // Zero padding goes after a sign.
        if (fill == '0' && !text.empty() && text[0] == '-') {
            out += '-';
            out.append(width - text.size(), '0');
            out += text.substr(1);
            return;
        }
        out.append(width - text.size(), fill);
    }
    out += text;
}

std::string Digits(uint64_t value, unsigned base, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text;
    do {
        text.insert(text.begin(), digits[value % base]);
        value /= base;
    } while (value != 0);
    return text;
}

// The conversions wsprintf knows: %c %d %i %u %x %X %s and %%, with the
// flags '-', '0' and '#', a width, a precision, and the sizes l and h
// (l is 32 bits, as long is on Windows) and I64.
std::string Format(const char *format, va_list args)
{
    std::string out;
    for (const char *p = format; *p != '\0'; p++) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        p++;
        bool left = false, alternate = false;
        char fill = ' ';
        for (;; p++) {
            if (*p == '-')
                left = true;
            else if (*p == '0')
                fill = '0';
            else if (*p == '#')
                alternate = true;
            else
                break;
        }
        size_t width = 0, precision = 0;
        bool hasPrecision = false;
        while (isdigit(static_cast<unsigned char>(*p)))
            width = width * 10 + (*p++ - '0');
        if (*p == '.') {
            hasPrecision = true;
            p++;
            while (isdigit(static_cast<unsigned char>(*p)))
                precision = precision * 10 + (*p++ - '0');
        }
        bool wide64 = false;
        if (*p == 'l' || *p == 'h') {
            p++;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            wide64 = true;
            p += 3;
        }
        switch (*p) {
        case 'd':
        case 'i': {
            int64_t value = wide64 ? va_arg(args, int64_t) : va_arg(args, int32_t);
            std::string text = Digits(value < 0 ? 0 - static_cast<uint64_t>(value) : value, 10, false);
            if (hasPrecision && text.size() < precision)
                text.insert(0, precision - text.size(), '0');
            Pad(out, value < 0 ? "-" + text : text, width, left, fill);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            uint64_t value = wide64 ? va_arg(args, uint64_t) : va_arg(args, uint32_t);
            std::string text = Digits(value, *p == 'u' ? 10 : 16, *p == 'X');
            if (hasPrecision && text.size() < precision)
                text.insert(0, precision - text.size(), '0');
            if (alternate && *p != 'u')
                text.insert(0, *p == 'X' ? "0X" : "0x");
            Pad(out, text, width, left, fill);
            break;
        }
        case 'c':
            Pad(out, std::string(1, static_cast<char>(va_arg(args, int))), width, left, fill);
            break;
        case 's': {
            const char *text = va_arg(args, const char *);
            std::string value = text != nullptr ? text : "(null)";
            if (hasPrecision && value.size() > precision)
                value.resize(precision);
            Pad(out, value, width, left, fill);
            break;
        }
        case '\0':
            return out;
        default:
            // %% and unknown conversions write the character itself.
            out += *p;
            break;
        }
    }
    return out;
}

}  // namespace

extern "C" {

int WINAPI lstrlenA(LPCSTR lpString) { return lpString == nullptr ? 0 : static_cast<int>(strlen(lpString)); }

int WINAPI lstrcmpA(LPCSTR lpString1, LPCSTR lpString2)
{
    if (lpString1 == nullptr || lpString2 == nullptr)
        return lpString1 == lpString2 ? 0 : lpString1 == nullptr ? -1 : 1;
    return Sign(strcmp(lpString1, lpString2));
}

int WINAPI lstrcmpiA(LPCSTR lpString1, LPCSTR lpString2)
{
    if (lpString1 == nullptr || lpString2 == nullptr)
        return lpString1 == lpString2 ? 0 : lpString1 == nullptr ? -1 : 1;
    const char *a = lpString1, *b = lpString2;
    while (*a != '\0' && Fold(*a) == Fold(*b)) {
        a++;
        b++;
    }
    return Sign(Fold(*a) - Fold(*b));
}

// Steps over one character of the system's ANSI code page: two bytes for a
// double-byte character of code page 932.
LPSTR WINAPI CharNextA(LPCSTR lpsz)
{
    if (*lpsz == '\0')
        return const_cast<LPSTR>(lpsz);
    if (Session::Current().config.ansiCodePage == 932 && IsLeadByte932(static_cast<unsigned char>(*lpsz)) &&
        lpsz[1] != '\0')
        return const_cast<LPSTR>(lpsz + 2);
    return const_cast<LPSTR>(lpsz + 1);
}

int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    if (text.size() > kWsprintfLimit - 1)
        text.resize(kWsprintfLimit - 1);
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

// An empty search string is found nowhere.
PSTR WINAPI StrStrIA(PCSTR pszFirst, PCSTR pszSrch)
{
    if (pszFirst == nullptr || pszSrch == nullptr || *pszSrch == '\0')
        return nullptr;
    size_t length = strlen(pszSrch);
    for (const char *at = pszFirst; *at != '\0'; at++) {
        size_t i = 0;
        while (i < length && at[i] != '\0' && Fold(at[i]) == Fold(pszSrch[i]))
            i++;
        if (i == length)
            return const_cast<PSTR>(at);
    }
    return nullptr;
}

}  // extern "C"
