// The uninstaller's message boxes: caption, style and text in English and
// Japanese. The caption is the same in both languages. The Japanese texts
// are code page 932 (Shift_JIS) bytes, shown through MessageBoxA like the
// English ones.
#ifndef TARVIK_UNINSTALL_TEXTS_H
#define TARVIK_UNINSTALL_TEXTS_H

#include <windows.h>

typedef struct UNINSTALL_MESSAGE {
    LPCSTR Caption;
    UINT Style;
    LPCSTR English;
    LPCSTR Japanese;
} UNINSTALL_MESSAGE;

// Asks whether to take the driver off the system (OK or Cancel).
extern const UNINSTALL_MESSAGE ConfirmMessage;

// The rights test failed: the user can't remove the driver.
extern const UNINSTALL_MESSAGE NoAccessMessage;

// Removal done; asks whether to restart Windows now (Yes or No).
extern const UNINSTALL_MESSAGE RestartMessage;

// A 32-bit copy on 64-bit Windows that found no 64-bit copy to hand over to.
extern const UNINSTALL_MESSAGE NeedsNativeMessage;

// A path, value or command built from the uninstall information would not
// fit its buffer.
extern const UNINSTALL_MESSAGE TooLongMessage;

#endif
