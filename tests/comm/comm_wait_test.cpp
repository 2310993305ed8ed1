// WaitCommEvent, synchronous and overlapped, and the comm functions on a
// handle opened with FILE_FLAG_OVERLAPPED.
//
// Sources. Microsoft Learn, WaitCommEvent: with an OVERLAPPED on an
// overlapped handle the call returns FALSE with ERROR_IO_PENDING when the
// wait does not finish at once, and GetOverlappedResult later gives the
// result, lpEvtMask receiving the events; the request is
// IOCTL_SERIAL_WAIT_ON_MASK with a ULONG output (Microsoft Learn,
// IOCTL_SERIAL_WAIT_ON_MASK). "Canceling Pending I/O Operations" and
// CancelIo/CancelSynchronousIo: a cancelled request ends with
// ERROR_OPERATION_ABORTED. The comm functions that take no OVERLAPPED work
// on an overlapped handle too: kernel32 then issues the request with an
// event of its own and waits for it.
#include "serial_recorder.h"

#include <future>
#include <thread>

namespace winsim::test {
namespace {

const std::string kWaitRequest = Request("WAIT_ON_MASK", {}, 4);

class CommWait : public SerialPortTest {};

TEST_F(CommWait, SynchronousWaitReturnsTheEventsTheDriverDelivers)
{
    HANDLE port = OpenPort();
    auto waiting = std::async(std::launch::async, [port] {
        DWORD events = 0;
        BOOL ok = WaitCommEvent(port, &events, nullptr);
        return std::make_pair(ok, events);
    });
    WaitUntilHeld(1);
    Release(STATUS_SUCCESS, BytesOf(ULONG{EV_RXCHAR | EV_TXEMPTY}));
    auto [ok, events] = waiting.get();
    EXPECT_TRUE(ok);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY));
    EXPECT_EQ(TakeLog(), std::vector<std::string>{kWaitRequest});
}

TEST_F(CommWait, OverlappedWaitPendsThenCompletesThroughGetOverlappedResult)
{
    struct Case {
        const char *name;
        NTSTATUS status;
        Bytes events;
        BOOL result;
        DWORD error;
        DWORD bytes;
    };
    const Case cases[] = {
        {"events delivered", STATUS_SUCCESS, BytesOf(ULONG{EV_RXFLAG}), TRUE, 0, 4},
        {"mask changed: no events", STATUS_SUCCESS, BytesOf(ULONG{0}), TRUE, 0, 4},
        {"a success status other than STATUS_SUCCESS", STATUS_TIMEOUT, BytesOf(ULONG{EV_ERR}), TRUE, 0, 4},
        {"cancelled by the driver", STATUS_CANCELLED, {}, FALSE, ERROR_OPERATION_ABORTED, 0},
        {"refused", STATUS_INVALID_PARAMETER, {}, FALSE, ERROR_INVALID_PARAMETER, 0},
    };
    HANDLE port = OpenPort(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD events = 0xDEADBEEF;
        EXPECT_FALSE(WaitCommEvent(port, &events, &overlapped));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        DWORD bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

        Release(c.status, c.events);
        EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        SetLastError(0);
        EXPECT_EQ(GetOverlappedResult(port, &overlapped, &bytes, TRUE), c.result);
        if (c.result) {
            EXPECT_EQ(bytes, c.bytes);
            ULONG expected;
            memcpy(&expected, c.events.data(), sizeof expected);
            EXPECT_EQ(events, expected);
        } else {
            EXPECT_EQ(GetLastError(), c.error);
        }
        CloseHandle(overlapped.hEvent);
        EXPECT_EQ(TakeLog(), std::vector<std::string>{kWaitRequest});
    }
}

TEST_F(CommWait, OverlappedWaitThatFinishesAtOnceReturnsTrue)
{
    HANDLE port = OpenPort(true);
    Script(IOCTL_SERIAL_WAIT_ON_MASK, STATUS_SUCCESS, BytesOf(ULONG{EV_TXEMPTY}));
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    EXPECT_TRUE(WaitCommEvent(port, &events, &overlapped));
    EXPECT_EQ(events, static_cast<DWORD>(EV_TXEMPTY));
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &bytes, FALSE));
    EXPECT_EQ(bytes, 4u);
    CloseHandle(overlapped.hEvent);
}

TEST_F(CommWait, CancelledWaitEndsWithOperationAborted)
{
    HANDLE port = OpenPort(true);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    WaitUntilHeld(1);
    EXPECT_TRUE(CancelIo(port));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD bytes = 0xDEADBEEF;
    EXPECT_FALSE(GetOverlappedResult(port, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(bytes, 0u);
    CloseHandle(overlapped.hEvent);
}

TEST_F(CommWait, CancelledSynchronousWaitEndsWithOperationAborted)
{
    HANDLE port = OpenPort();
    std::promise<DWORD> threadId;
    auto waiting = std::async(std::launch::async, [port, &threadId] {
        threadId.set_value(GetCurrentThreadId());
        DWORD events = 0;
        BOOL ok = WaitCommEvent(port, &events, nullptr);
        return std::make_pair(ok, GetLastError());
    });
    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, threadId.get_future().get());
    ASSERT_NE(thread, nullptr);
    WaitUntilHeld(1);
    EXPECT_TRUE(CancelSynchronousIo(thread));
    auto [ok, error] = waiting.get();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(thread);
}

// Without an OVERLAPPED, on an overlapped handle, WaitCommEvent waits for the
// events like the other functions wait for their answers.
TEST_F(CommWait, WaitWithoutOverlappedOnAnOverlappedHandleWaits)
{
    HANDLE port = OpenPort(true);
    auto waiting = std::async(std::launch::async, [port] {
        DWORD events = 0;
        BOOL ok = WaitCommEvent(port, &events, nullptr);
        return std::make_pair(ok, events);
    });
    WaitUntilHeld(1);
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    Release(STATUS_SUCCESS, BytesOf(ULONG{EV_DSR}));
    auto [ok, events] = waiting.get();
    EXPECT_TRUE(ok);
    EXPECT_EQ(events, static_cast<DWORD>(EV_DSR));
}

// A pending wait on an overlapped handle does not hold up the port's other
// requests, and the events of the functions' own waits are not the caller's:
// the caller's event stays unsignalled until its wait completes.
TEST_F(CommWait, OtherFunctionsRunWhileAnOverlappedWaitPends)
{
    HANDLE port = OpenPort(true);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &overlapped));
    WaitUntilHeld(1);

    Script(IOCTL_SERIAL_GET_BAUD_RATE, Answer{STATUS_SUCCESS, BytesOf(SERIAL_BAUD_RATE{4800}),
                                              RECORDER_COMPLETE_LATER});
    DCB dcb;
    ASSERT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    EXPECT_EQ(dcb.BaudRate, 4800u);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    Release(STATUS_SUCCESS, BytesOf(ULONG{EV_RXCHAR}));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(port, &overlapped, &bytes, TRUE));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    CloseHandle(overlapped.hEvent);
    EXPECT_EQ(TakeLog(), (std::vector<std::string>{kWaitRequest, Request("GET_BAUD_RATE", {}, 4),
                                                    Request("GET_LINE_CONTROL", {}, 3), Request("GET_CHARS", {}, 6),
                                                    Request("GET_HANDFLOW", {}, 16),
                                                    Request("SET_WAIT_MASK", BytesOf(ULONG{EV_RXCHAR}))}));
}

// Closing the handle ends a wait still pending (the driver cancels it at
// cleanup) and leaves no handle of kernel32's own behind.
TEST_F(CommWait, ClosingThePortEndsItsPendingWait)
{
    HANDLE port = OpenPort(true);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    ASSERT_FALSE(WaitCommEvent(port, &events, &overlapped));
    WaitUntilHeld(1);
    ClosePort(port);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_CANCELLED);
    CloseHandle(overlapped.hEvent);
}

}  // namespace
}  // namespace winsim::test
