// The window manager of the simulated desktop: window classes, top-level
// windows and each thread's message queue. Window procedures always run on
// the calling thread with no lock held, so they may call back in.
#pragma once

#include "session.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace winsim::win32 {

class Desktop {
public:
    ATOM RegisterClass(const WNDCLASSEXA &windowClass);
    BOOL UnregisterClass(LPCSTR name);
    HWND CreateWindow(const CREATESTRUCTA &create);
    BOOL DestroyWindow(HWND window);
    BOOL IsWindow(HWND window);
    BOOL IsVisible(HWND window);
    BOOL Show(HWND window, int command);
    HWND Find(LPCSTR className, LPCSTR title);

    BOOL Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // GetMessageA: waits for a message of the calling thread; FALSE for WM_QUIT.
    BOOL Get(MSG *message, HWND window, UINT first, UINT last);
    // Takes a waiting message (not WM_QUIT) off the calling thread's queue.
    bool Peek(MSG *message);
    LRESULT Dispatch(const MSG &message);
    void PostQuit(int exitCode);

    std::vector<WindowRecord> Records() const;
    size_t OpenWindowCount() const;

private:
    struct Class {
        std::string name;
        WNDPROC procedure;
        HINSTANCE instance;
    };
    struct Window {
        std::string className;
        std::string title;
        WNDPROC procedure;
        DWORD style;
        std::thread::id thread;
        bool destroying = false;
        size_t record;  // index into records_
    };
    struct Queue {
        std::deque<MSG> posted;
        bool quit = false;
        int quitCode = 0;
    };

    Window *WindowOf(HWND window);  // lock held; nullptr: ERROR_INVALID_WINDOW_HANDLE
    WNDPROC ProcedureOf(HWND window);
    static bool Matches(const MSG &message, HWND window, UINT first, UINT last);

    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Class> classes_;
    std::map<HWND, Window> windows_;
    std::map<std::thread::id, Queue> queues_;
    std::vector<WindowRecord> records_;
    uintptr_t nextHandle_ = 0x10010;
    ATOM nextAtom_ = 0xC000;
};

}  // namespace winsim::win32
