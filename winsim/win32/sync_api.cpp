// kernel32's events, waits, threads and time.
#include "handles.h"

#include "../kernel/internal.h"

#include <chrono>
#include <thread>

using namespace winsim;
using namespace winsim::win32;

namespace {

HANDLE NewEvent(BOOL manualReset, BOOL initialState)
{
    auto event = std::make_shared<KEVENT>();
    KeInitializeEvent(event.get(), manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
    return Insert(HandleObject{HandleType::Event, nullptr, std::move(event)});
}

PKEVENT WaitableEvent(HANDLE handle)
{
    auto object = Lookup(handle);
    if (object == nullptr)
        return nullptr;
    if (object->type == HandleType::Event)
        return object->event.get();
    if (object->type == HandleType::File)
        return &object->file->Event;
    return nullptr;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCSTR name)
{
    return NewEvent(manualReset, initialState);
}

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES sa, BOOL manualReset, BOOL initialState, LPCWSTR name)
{
    return NewEvent(manualReset, initialState);
}

BOOL WINAPI SetEvent(HANDLE handle)
{
    auto object = Lookup(handle);
    if (object == nullptr || object->type != HandleType::Event)
        return Fail(ERROR_INVALID_HANDLE);
    KeSetEvent(object->event.get(), IO_NO_INCREMENT, FALSE);
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE handle)
{
    auto object = Lookup(handle);
    if (object == nullptr || object->type != HandleType::Event)
        return Fail(ERROR_INVALID_HANDLE);
    KeClearEvent(object->event.get());
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto object = Lookup(handle);  // keeps the event alive while waiting
    PKEVENT event = WaitableEvent(handle);
    if (event == nullptr) {
        Fail(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    NTSTATUS status = KeWaitForSingleObject(event, UserRequest, UserMode, FALSE,
                                            milliseconds == INFINITE ? nullptr : &timeout);
    return status == STATUS_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

VOID WINAPI Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

ULONGLONG WINAPI GetTickCount64(void)
{
    LARGE_INTEGER ticks;
    KeQueryTickCount(&ticks);
    return static_cast<ULONGLONG>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000;
}

DWORD WINAPI GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

DWORD WINAPI GetCurrentThreadId(void) { return static_cast<DWORD>(CurrentThread().id); }

HANDLE WINAPI GetCurrentThread(void) { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

HANDLE WINAPI OpenThread(DWORD access, BOOL inherit, DWORD threadId)
{
    if (ThreadFromId(threadId) == nullptr) {
        Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Insert(HandleObject{HandleType::Thread, nullptr, nullptr, threadId});
}

}  // extern "C"
