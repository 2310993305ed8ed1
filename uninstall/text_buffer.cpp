// Bounded text handling for the uninstaller's fixed-size narrow buffers.
#include <windows.h>

#include "text_buffer.h"

// Copies length + 1 bytes (the text and its terminating zero).
static void CopyBytes(LPSTR target, LPCSTR source, int length)
{
    for (int i = 0; i <= length; i++)
        target[i] = source[i];
}

BOOL CopyText(LPSTR target, int capacity, LPCSTR source)
{
    int length = lstrlenA(source);

    // One byte stays reserved for the terminating zero.
    if (length >= capacity)
        return FALSE;
    CopyBytes(target, source, length);
    return TRUE;
}

BOOL AppendText(LPSTR target, int capacity, LPCSTR source)
{
    int used = lstrlenA(target);
    int length = lstrlenA(source);

    // One byte stays reserved for the terminating zero.
    if (length >= capacity - used)
        return FALSE;
    CopyBytes(target + used, source, length);
    return TRUE;
}

BOOL TextEquals(LPCSTR first, LPCSTR second)
{
    while (*first != '\0' && *first == *second) {
        first++;
        second++;
    }
    return *first == *second;
}
