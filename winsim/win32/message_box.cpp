// MessageBoxA, answered by the session's user. While a box is open its modal
// loop goes on dispatching the messages posted to the thread's windows, as
// on Windows; a WM_QUIT stays queued for the program's own loop.
// https://learn.microsoft.com/en-us/windows/win32/api/winuser/nf-winuser-messageboxa
#include "handles.h"
#include "session_state.h"

#include <cstdio>
#include <cstdlib>

using namespace winsim::win32;

namespace {

// The buttons a box of this type has; Esc and the close button answer with
// the box's Cancel button, or with OK when OK is the only one, and do nothing
// when the box has no such button (Yes/No, Abort/Retry/Ignore).
bool IsButtonOf(UINT type, int button)
{
    switch (type) {
    case MB_OK: return button == IDOK;
    case MB_OKCANCEL: return button == IDOK || button == IDCANCEL;
    case MB_ABORTRETRYIGNORE: return button == IDABORT || button == IDRETRY || button == IDIGNORE;
    case MB_YESNOCANCEL: return button == IDYES || button == IDNO || button == IDCANCEL;
    case MB_YESNO: return button == IDYES || button == IDNO;
    case MB_RETRYCANCEL: return button == IDRETRY || button == IDCANCEL;
    default: return false;
    }
}

int EscapeAnswer(UINT type)
{
    if (type == MB_OK)
        return IDOK;
    return IsButtonOf(type, IDCANCEL) ? IDCANCEL : 0;
}

void DispatchPending(SessionState &session)
{
    MSG message;
    while (session.desktop.Peek(&message))
        session.desktop.Dispatch(message);
}

}  // namespace

extern "C" int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
{
    SessionState &session = Session::Current();
    if (hWnd != nullptr && !session.desktop.IsWindow(hWnd)) {
        Fail(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    UINT type = uType & MB_TYPEMASK;
    MessageBoxShown box{hWnd, lpCaption != nullptr ? lpCaption : "Error", lpText != nullptr ? lpText : "", uType, 0};
    MessageBoxUser user;
    {
        std::lock_guard<std::mutex> guard(session.lock);
        user = session.user;
    }
    // Without a user nobody can close the box: report failure, as a desktop
    // that can't show one does.
    if (!user) {
        Fail(ERROR_NOT_SUPPORTED);
        return 0;
    }
    DispatchPending(session);
    size_t index;
    {
        std::lock_guard<std::mutex> guard(session.lock);
        index = session.boxes.size();
        session.boxes.push_back(box);
    }
    // A user who keeps choosing what the box does not offer would leave it
    // open for ever; that is a broken test script.
    for (int attempt = 0; attempt < 16 && box.result == 0; attempt++) {
        int action = user(box);
        if (action == kPressEscape || action == kCloseButton)
            box.result = EscapeAnswer(type);
        else if (IsButtonOf(type, action))
            box.result = action;
    }
    if (box.result == 0) {
        fprintf(stderr, "winsim: the user gave no answer the message box \"%s\" accepts\n", box.caption.c_str());
        abort();
    }
    {
        std::lock_guard<std::mutex> guard(session.lock);
        session.boxes[index].result = box.result;
    }
    return box.result;
}
