// Bounded text handling for the uninstaller's fixed-size narrow buffers.
//
// Every path, key, value and command line lives in a buffer of
// TEXT_BUFFER_SIZE bytes including the terminating zero. A copy or append
// that would not fit is refused as a whole and leaves the target unchanged:
// a shortened path or device pattern would name something else, so callers
// must give up instead.
#ifndef TARVIK_UNINSTALL_TEXT_BUFFER_H
#define TARVIK_UNINSTALL_TEXT_BUFFER_H

#include <windows.h>

#define TEXT_BUFFER_SIZE MAX_PATH

// Copies source into target (capacity bytes); FALSE when it does not fit.
BOOL CopyText(LPSTR target, int capacity, LPCSTR source);

// Appends source to the text in target (capacity bytes); FALSE when the
// result would not fit.
BOOL AppendText(LPSTR target, int capacity, LPCSTR source);

// Exact, byte-by-byte equality (case and everything else significant).
BOOL TextEquals(LPCSTR first, LPCSTR second);

#endif
