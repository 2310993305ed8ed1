// Stock GDI objects and the system's icons and cursors: handles a window
// class can name. winsim draws nothing; a program's own resources (icons in
// its file) do not exist here, as for a program built without them.
#include "handles.h"

using namespace winsim::win32;

namespace {

// Distinct made-up handle values, never valid as kernel handles.
HANDLE SystemObject(uintptr_t kind, uintptr_t id) { return reinterpret_cast<HANDLE>(0x7F000000 + (kind << 16) + id); }

bool IsSystemResource(HINSTANCE instance, LPCSTR name) { return instance == nullptr && IS_INTRESOURCE(name); }

}  // namespace

extern "C" {

HGDIOBJ WINAPI GetStockObject(int i)
{
    if (i < WHITE_BRUSH || i > NULL_BRUSH)
        return nullptr;
    return SystemObject(1, static_cast<uintptr_t>(i));
}

HICON WINAPI LoadIconA(HINSTANCE hInstance, LPCSTR lpIconName)
{
    if (!IsSystemResource(hInstance, lpIconName)) {
        Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    return SystemObject(2, reinterpret_cast<uintptr_t>(lpIconName));
}

HCURSOR WINAPI LoadCursorA(HINSTANCE hInstance, LPCSTR lpCursorName)
{
    if (!IsSystemResource(hInstance, lpCursorName)) {
        Fail(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    return SystemObject(3, reinterpret_cast<uintptr_t>(lpCursorName));
}

}  // extern "C"
