// Run-time library: counted strings, versions, status-to-error mapping.
#include "machine.h"

#include <cstdio>

namespace winsim {

std::u16string ToU16(const WCHAR *s)
{
    std::u16string out;
    while (s != nullptr && *s)
        out += static_cast<char16_t>(*s++);
    return out;
}

std::u16string ToU16(const UNICODE_STRING *s)
{
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t *>(s->Buffer), s->Length / sizeof(WCHAR));
}

std::string Narrow(const WCHAR *s, size_t chars)
{
    std::string out;
    for (size_t i = 0; i < chars; i++) {
        char16_t c = static_cast<char16_t>(s[i]);
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string Narrow(const UNICODE_STRING *s)
{
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    return Narrow(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string Wide(const std::string &s)
{
    std::u16string out;
    for (unsigned char c : s)
        out += static_cast<char16_t>(c);
    return out;
}

}  // namespace winsim

using namespace winsim;

namespace {

constexpr ULONG kStringTag = 0x53727453;  // 'StrS'

WCHAR Upcase(WCHAR c) { return c >= L'a' && c <= L'z' ? static_cast<WCHAR>(c - 32) : c; }

}  // namespace

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    size_t length = 0;
    while (source != nullptr && source[length])
        length++;
    if (length * sizeof(WCHAR) > 0xFFFC)
        BugCheck("STRING_TOO_LONG", "RtlInitUnicodeString with a string longer than 32766 characters",
                 __builtin_return_address(0));
    destination->Buffer = const_cast<PWSTR>(source);
    destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    destination->MaximumLength = source ? static_cast<USHORT>(destination->Length + sizeof(WCHAR)) : 0;
}

VOID RtlInitAnsiString(PANSI_STRING destination, PCSZ source)
{
    size_t length = source ? strlen(source) : 0;
    destination->Buffer = const_cast<PCHAR>(source);
    destination->Length = static_cast<USHORT>(length);
    destination->MaximumLength = source ? static_cast<USHORT>(length + 1) : 0;
}

VOID RtlInitString(PSTRING destination, PCSZ source) { RtlInitAnsiString(destination, source); }

VOID RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (source == nullptr) {
        destination->Length = 0;
        return;
    }
    USHORT n = source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
    memmove(destination->Buffer, source->Buffer, n);
    destination->Length = n;
    if (n + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[n / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (source->Length == 0)
        return STATUS_SUCCESS;
    if (destination->Length + source->Length > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<PCHAR>(destination->Buffer) + destination->Length, source->Buffer, source->Length);
    destination->Length += source->Length;
    if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[destination->Length / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, source);
    return RtlAppendUnicodeStringToString(destination, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    size_t la = a->Length / sizeof(WCHAR), lb = b->Length / sizeof(WCHAR);
    for (size_t i = 0; i < la && i < lb; i++) {
        WCHAR ca = caseInsensitive ? Upcase(a->Buffer[i]) : a->Buffer[i];
        WCHAR cb = caseInsensitive ? Upcase(b->Buffer[i]) : b->Buffer[i];
        if (ca != cb)
            return static_cast<LONG>(ca) - static_cast<LONG>(cb);
    }
    return static_cast<LONG>(la) - static_cast<LONG>(lb);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive)
{
    return a->Length == b->Length && RtlCompareUnicodeString(a, b, caseInsensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING s, BOOLEAN caseInsensitive)
{
    if (prefix->Length > s->Length)
        return FALSE;
    UNICODE_STRING head = *s;
    head.Length = prefix->Length;
    return RtlCompareUnicodeString(prefix, &head, caseInsensitive) == 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING s)
{
    if (s->Buffer != nullptr)
        PoolFree(s->Buffer, 0, false, __builtin_return_address(0));
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING s)
{
    if (s->Buffer != nullptr)
        PoolFree(s->Buffer, 0, false, __builtin_return_address(0));
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate)
{
    USHORT chars = source->Length / sizeof(WCHAR);
    if (allocate) {
        destination->Buffer = static_cast<PCHAR>(
            PoolAllocate(PagedPool, chars + 1, kStringTag, __builtin_return_address(0), "RtlUnicodeStringToAnsiString"));
        if (destination->Buffer == nullptr)
            return STATUS_NO_MEMORY;
        destination->MaximumLength = chars + 1;
    } else if (chars >= destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < chars; i++)
        destination->Buffer[i] = source->Buffer[i] < 0x80 ? static_cast<char>(source->Buffer[i]) : '?';
    destination->Buffer[chars] = 0;
    destination->Length = chars;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source, BOOLEAN allocate)
{
    USHORT bytes = static_cast<USHORT>(source->Length * sizeof(WCHAR));
    if (allocate) {
        destination->Buffer = static_cast<PWSTR>(PoolAllocate(PagedPool, bytes + sizeof(WCHAR), kStringTag,
                                                              __builtin_return_address(0), "RtlAnsiStringToUnicodeString"));
        if (destination->Buffer == nullptr)
            return STATUS_NO_MEMORY;
        destination->MaximumLength = bytes + sizeof(WCHAR);
    } else if (bytes + sizeof(WCHAR) > destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (USHORT i = 0; i < source->Length; i++)
        destination->Buffer[i] = static_cast<unsigned char>(source->Buffer[i]);
    destination->Buffer[source->Length] = 0;
    destination->Length = bytes;
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string)
{
    if (base == 0)
        base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16)
        return STATUS_INVALID_PARAMETER;
    char digits[40];
    int n = 0;
    do {
        ULONG d = value % base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        value /= base;
    } while (value != 0);
    if (static_cast<size_t>(n) * sizeof(WCHAR) > string->MaximumLength)
        return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; i++)
        string->Buffer[i] = digits[n - 1 - i];
    string->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if (string->Length + sizeof(WCHAR) <= string->MaximumLength)
        string->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING string, ULONG base, PULONG value)
{
    size_t i = 0, n = string->Length / sizeof(WCHAR);
    while (i < n && string->Buffer[i] == L' ')
        i++;
    bool negative = false;
    if (i < n && (string->Buffer[i] == L'-' || string->Buffer[i] == L'+'))
        negative = string->Buffer[i++] == L'-';
    if (base == 0) {
        base = 10;
        if (i + 1 < n && string->Buffer[i] == L'0') {
            WCHAR p = string->Buffer[i + 1];
            if (p == L'x') base = 16, i += 2;
            else if (p == L'o') base = 8, i += 2;
            else if (p == L'b') base = 2, i += 2;
        }
    } else if (base != 2 && base != 8 && base != 10 && base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = 0;
    for (; i < n; i++) {
        WCHAR c = Upcase(string->Buffer[i]);
        ULONG d = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'A' && c <= L'F' ? c - L'A' + 10 : 99;
        if (d >= base)
            break;
        result = result * base + d;
    }
    *value = negative ? static_cast<ULONG>(-static_cast<LONG>(result)) : result;
    return STATUS_SUCCESS;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return Upcase(c); }

SIZE_T RtlCompareMemory(const VOID *a, const VOID *b, SIZE_T length)
{
    auto *pa = static_cast<const unsigned char *>(a), *pb = static_cast<const unsigned char *>(b);
    SIZE_T i = 0;
    while (i < length && pa[i] == pb[i])
        i++;
    return i;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info)
{
    if (info->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW) &&
        info->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOEXW))
        return STATUS_INVALID_PARAMETER;
    auto &config = Machine::Current().Config();
    info->dwMajorVersion = config.osMajor;
    info->dwMinorVersion = config.osMinor;
    info->dwBuildNumber = config.osBuild;
    info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    if (info->dwOSVersionInfoSize == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto *ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(info);
        ex->wServicePackMajor = ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0x100;  // VER_SUITE_SINGLEUSERTS
        ex->wProductType = 1;    // VER_NT_WORKSTATION
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
