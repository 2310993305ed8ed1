// user32's windows and message queues over the session's desktop.
// https://learn.microsoft.com/en-us/windows/win32/winmsg/about-messages-and-message-queues
#include "handles.h"
#include "session_state.h"

#include <algorithm>

namespace winsim::win32 {
namespace {

bool SameText(const std::string &a, LPCSTR b)
{
    return std::equal(a.begin(), a.end(), b, b + strlen(b),
                      [](char x, char y) { return tolower(static_cast<unsigned char>(x)) ==
                                                  tolower(static_cast<unsigned char>(y)); });
}

Desktop &TheDesktop() { return Session::Current().desktop; }

}  // namespace

Desktop::Window *Desktop::WindowOf(HWND window)
{
    auto it = windows_.find(window);
    if (it == windows_.end()) {
        Fail(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return &it->second;
}

WNDPROC Desktop::ProcedureOf(HWND window)
{
    std::lock_guard<std::mutex> guard(lock_);
    Window *w = WindowOf(window);
    return w == nullptr ? nullptr : w->procedure;
}

ATOM Desktop::RegisterClass(const WNDCLASSEXA &windowClass)
{
    if (windowClass.cbSize != sizeof(WNDCLASSEXA) || windowClass.lpszClassName == nullptr ||
        IS_INTRESOURCE(windowClass.lpszClassName) || windowClass.lpfnWndProc == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> guard(lock_);
    for (const Class &c : classes_)
        if (SameText(c.name, windowClass.lpszClassName)) {
            Fail(ERROR_CLASS_ALREADY_EXISTS);
            return 0;
        }
    classes_.push_back({windowClass.lpszClassName, windowClass.lpfnWndProc, windowClass.hInstance});
    return nextAtom_++;
}

BOOL Desktop::UnregisterClass(LPCSTR name)
{
    if (name == nullptr || IS_INTRESOURCE(name))
        return Fail(ERROR_CLASS_DOES_NOT_EXIST);
    std::lock_guard<std::mutex> guard(lock_);
    auto it = std::find_if(classes_.begin(), classes_.end(), [&](const Class &c) { return SameText(c.name, name); });
    if (it == classes_.end())
        return Fail(ERROR_CLASS_DOES_NOT_EXIST);
    for (const auto &[handle, window] : windows_)
        if (SameText(window.className, name))
            return Fail(ERROR_CLASS_HAS_WINDOWS);
    classes_.erase(it);
    return TRUE;
}

// WM_NCCREATE and WM_CREATE are sent before CreateWindowEx returns; a window
// procedure that refuses either destroys the window again.
HWND Desktop::CreateWindow(const CREATESTRUCTA &create)
{
    if (create.lpszClass == nullptr || IS_INTRESOURCE(create.lpszClass)) {
        Fail(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    HWND handle;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = std::find_if(classes_.begin(), classes_.end(),
                               [&](const Class &c) { return SameText(c.name, create.lpszClass); });
        if (it == classes_.end()) {
            Fail(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        handle = reinterpret_cast<HWND>(nextHandle_);
        nextHandle_ += 0x10;
        DWORD style = static_cast<DWORD>(create.style);
        records_.push_back({it->name, create.lpszName != nullptr ? create.lpszName : "", style,
                            (style & WS_VISIBLE) != 0, false});
        windows_[handle] = Window{it->name,  create.lpszName != nullptr ? create.lpszName : "", it->procedure,
                                  style, std::this_thread::get_id(), false, records_.size() - 1};
    }
    CREATESTRUCTA copy = create;
    LPARAM lParam = reinterpret_cast<LPARAM>(&copy);
    if (!Send(handle, WM_NCCREATE, 0, lParam) || Send(handle, WM_CREATE, 0, lParam) == -1) {
        DestroyWindow(handle);
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return handle;
}

// Sends WM_DESTROY and WM_NCDESTROY, then the window and the messages posted
// to it are gone. Only the window's own thread may destroy it.
BOOL Desktop::DestroyWindow(HWND window)
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        Window *w = WindowOf(window);
        if (w == nullptr)
            return FALSE;
        if (w->thread != std::this_thread::get_id())
            return Fail(ERROR_ACCESS_DENIED);
        if (w->destroying)
            return Fail(ERROR_INVALID_WINDOW_HANDLE);
        w->destroying = true;
    }
    Send(window, WM_DESTROY, 0, 0);
    Send(window, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::mutex> guard(lock_);
    auto it = windows_.find(window);
    records_[it->second.record].destroyed = true;
    Queue &queue = queues_[it->second.thread];
    std::erase_if(queue.posted, [&](const MSG &m) { return m.hwnd == window; });
    windows_.erase(it);
    return TRUE;
}

BOOL Desktop::IsWindow(HWND window)
{
    std::lock_guard<std::mutex> guard(lock_);
    return windows_.count(window) != 0;
}

BOOL Desktop::IsVisible(HWND window)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto it = windows_.find(window);
    return it != windows_.end() && (it->second.style & WS_VISIBLE) != 0;
}

// Returns whether the window was visible before.
BOOL Desktop::Show(HWND window, int command)
{
    std::lock_guard<std::mutex> guard(lock_);
    Window *w = WindowOf(window);
    if (w == nullptr)
        return FALSE;
    BOOL wasVisible = (w->style & WS_VISIBLE) != 0;
    if (command == SW_HIDE) {
        w->style &= ~WS_VISIBLE;
    } else {
        w->style |= WS_VISIBLE;
        records_[w->record].everVisible = true;
    }
    records_[w->record].style = w->style;
    return wasVisible;
}

// Class names and titles compare without regard to case; NULL matches any.
HWND Desktop::Find(LPCSTR className, LPCSTR title)
{
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto &[handle, window] : windows_) {
        if (window.destroying)
            continue;
        if (className != nullptr && (IS_INTRESOURCE(className) || !SameText(window.className, className)))
            continue;
        if (title != nullptr && !SameText(window.title, title))
            continue;
        return handle;
    }
    Fail(ERROR_SUCCESS);
    return nullptr;
}

// A NULL window posts to the calling thread itself.
BOOL Desktop::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> guard(lock_);
    std::thread::id thread = std::this_thread::get_id();
    if (window != nullptr) {
        Window *w = WindowOf(window);
        if (w == nullptr)
            return FALSE;
        thread = w->thread;
    }
    queues_[thread].posted.push_back(MSG{window, message, wParam, lParam, 0, {0, 0}});
    arrived_.notify_all();
    return TRUE;
}

// Only within the window's own thread: winsim runs no cross-thread sends.
LRESULT Desktop::Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC procedure;
    {
        std::lock_guard<std::mutex> guard(lock_);
        Window *w = WindowOf(window);
        if (w == nullptr)
            return 0;
        if (w->thread != std::this_thread::get_id()) {
            Fail(ERROR_WINDOW_OF_OTHER_THREAD);
            return 0;
        }
        procedure = w->procedure;
    }
    return procedure(window, message, wParam, lParam);
}

bool Desktop::Matches(const MSG &message, HWND window, UINT first, UINT last)
{
    if (window != nullptr && message.hwnd != window)
        return false;
    if (first == 0 && last == 0)
        return true;
    return message.message >= first && message.message <= last;
}

// WM_QUIT comes once the posted messages are gone, as Windows delivers it.
BOOL Desktop::Get(MSG *message, HWND window, UINT first, UINT last)
{
    if (message == nullptr) {
        Fail(ERROR_NOACCESS);
        return -1;
    }
    std::unique_lock<std::mutex> guard(lock_);
    if (window != nullptr && WindowOf(window) == nullptr)
        return -1;
    Queue &queue = queues_[std::this_thread::get_id()];
    for (;;) {
        auto it = std::find_if(queue.posted.begin(), queue.posted.end(),
                               [&](const MSG &m) { return Matches(m, window, first, last); });
        if (it != queue.posted.end()) {
            *message = *it;
            queue.posted.erase(it);
            return message->message != WM_QUIT;
        }
        if (queue.quit) {
            queue.quit = false;
            *message = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0, 0, {0, 0}};
            return FALSE;
        }
        arrived_.wait(guard);
    }
}

bool Desktop::Peek(MSG *message)
{
    std::lock_guard<std::mutex> guard(lock_);
    Queue &queue = queues_[std::this_thread::get_id()];
    auto it = std::find_if(queue.posted.begin(), queue.posted.end(), [](const MSG &m) { return m.message != WM_QUIT; });
    if (it == queue.posted.end())
        return false;
    *message = *it;
    queue.posted.erase(it);
    return true;
}

LRESULT Desktop::Dispatch(const MSG &message)
{
    if (message.hwnd == nullptr)
        return 0;
    WNDPROC procedure = ProcedureOf(message.hwnd);
    if (procedure == nullptr)
        return 0;
    return procedure(message.hwnd, message.message, message.wParam, message.lParam);
}

void Desktop::PostQuit(int exitCode)
{
    std::lock_guard<std::mutex> guard(lock_);
    Queue &queue = queues_[std::this_thread::get_id()];
    queue.quit = true;
    queue.quitCode = exitCode;
    arrived_.notify_all();
}

std::vector<WindowRecord> Desktop::Records() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return records_;
}

size_t Desktop::OpenWindowCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return windows_.size();
}

}  // namespace winsim::win32

using winsim::win32::TheDesktop;

extern "C" {

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *lpwcx)
{
    if (lpwcx == nullptr) {
        winsim::win32::Fail(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return TheDesktop().RegisterClass(*lpwcx);
}

BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance) { return TheDesktop().UnregisterClass(lpClassName); }

HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                            int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    // Only top-level windows: winsim has no child windows.
    if (hWndParent != nullptr) {
        winsim::win32::Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    CREATESTRUCTA create{lpParam, hInstance, hMenu, hWndParent, nHeight, nWidth, Y, X,
                         static_cast<LONG>(dwStyle), lpWindowName, lpClassName, dwExStyle};
    return TheDesktop().CreateWindow(create);
}

BOOL WINAPI DestroyWindow(HWND hWnd) { return TheDesktop().DestroyWindow(hWnd); }
BOOL WINAPI IsWindow(HWND hWnd) { return TheDesktop().IsWindow(hWnd); }
BOOL WINAPI IsWindowVisible(HWND hWnd) { return TheDesktop().IsVisible(hWnd); }
HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) { return TheDesktop().Find(lpClassName, lpWindowName); }
BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) { return TheDesktop().Show(hWnd, nCmdShow); }

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return TheDesktop().Post(hWnd, Msg, wParam, lParam);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return TheDesktop().Send(hWnd, Msg, wParam, lParam);
}

BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    return TheDesktop().Get(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax);
}

// winsim has no keyboard input, so there are no key messages to translate.
BOOL WINAPI TranslateMessage(const MSG *lpMsg) { return FALSE; }

LRESULT WINAPI DispatchMessageA(const MSG *lpMsg) { return lpMsg == nullptr ? 0 : TheDesktop().Dispatch(*lpMsg); }

// The default handling of the messages winsim sends: creation goes ahead,
// WM_CLOSE destroys the window, everything else is answered with 0.
LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    default:
        return 0;
    }
}

VOID WINAPI PostQuitMessage(int nExitCode) { TheDesktop().PostQuit(nExitCode); }

}  // extern "C"
