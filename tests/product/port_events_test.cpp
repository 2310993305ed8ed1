// Waiting for port events (SetCommMask, WaitCommEvent) as an application
// does on an overlapped handle: what is recorded, when a wait completes and
// with which event word, and how a wait ends other than by an event.
#include "port_fixture.h"

namespace winsim::test {
namespace {

class PortEvents : public PortTest, public testing::WithParamInterface<bool> {
protected:
    PortOptions Options() override { return {GetParam()}; }

    void SetUp() override
    {
        PortTest::SetUp();
        port_ = Open("COM1", FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }

    // Starts a wait; true if it is pending.
    bool StartWait(Overlapped &wait, DWORD &events)
    {
        events = 0xDEADBEEF;
        if (WaitCommEvent(port_, &events, &wait.o))
            return false;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        return GetLastError() == ERROR_IO_PENDING;
    }

    // The outcome of a finished wait: its error (0 for success) and byte count.
    std::pair<DWORD, DWORD> Outcome(Overlapped &wait)
    {
        EXPECT_TRUE(wait.Wait());
        DWORD bytes = 0xFFFF;
        BOOL ok = GetOverlappedResult(port_, &wait.o, &bytes, FALSE);
        return {ok ? 0 : GetLastError(), bytes};
    }

    void Write(const char *text)
    {
        Overlapped w;
        DWORD n = 0;
        if (!WriteFile(port_, text, static_cast<DWORD>(strlen(text)), &n, &w.o)) {
            ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        }
        ASSERT_TRUE(GetOverlappedResult(port_, &w.o, &n, TRUE));
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
};

using Result = std::pair<DWORD, DWORD>;

TEST_P(PortEvents, EventRecordedBeforeTheWaitCompletesItAtOnce)
{
    ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY | EV_RXCHAR));
    Write("job");
    Overlapped wait;
    DWORD events;
    StartWait(wait, events);  // pending first, then completed through the DPC
    EXPECT_EQ(Outcome(wait), Result(0, 4));
    EXPECT_EQ(events, static_cast<DWORD>(EV_TXEMPTY));
}

TEST_P(PortEvents, ArmedWaitReceivesWhatArrives)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR | EV_RXFLAG));
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.EvtChar = '\r';
    ASSERT_TRUE(SetCommState(port_, &dcb));
    Overlapped wait;
    DWORD events;
    ASSERT_TRUE(StartWait(wait, events));
    EXPECT_FALSE(wait.Wait(20ms)) << "nothing has happened yet";
    UCHAR reply[] = {'o', 'k', '\r'};
    printer_->FeedBulkIn(reply);
    EXPECT_EQ(Outcome(wait), Result(0, 4));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR | EV_RXFLAG));
}

TEST_P(PortEvents, MaskChangeReleasesTheWaitWithNoEventsAndNarrowsTheHistory)
{
    ASSERT_TRUE(SetCommMask(port_, EV_CTS | EV_DSR | EV_RING));
    Overlapped wait;
    DWORD events;
    ASSERT_TRUE(StartWait(wait, events));
    Write("never an event for this mask");
    EXPECT_FALSE(wait.Wait(20ms));
    ASSERT_TRUE(SetCommMask(port_, EV_TXEMPTY | EV_RXCHAR));
    EXPECT_EQ(Outcome(wait), Result(0, 4));
    EXPECT_EQ(events, 0u);

    // History RXCHAR|TXEMPTY narrowed to RXCHAR by the next mask.
    Write("x");
    UCHAR reply[] = {'y'};
    printer_->FeedBulkIn(reply);
    COMSTAT stat{};
    DWORD errors;
    for (int i = 0; i < 500 && stat.cbInQue == 0; i++) {
        ClearCommError(port_, &errors, &stat);
        Sleep(1);
    }
    ASSERT_EQ(stat.cbInQue, 1u);
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    Overlapped next;
    StartWait(next, events);
    EXPECT_EQ(Outcome(next), Result(0, 4));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
}

TEST_P(PortEvents, WaitsThatAreRefused)
{
    Overlapped wait;
    DWORD events;
    ASSERT_TRUE(SetCommMask(port_, 0));
    // A refused wait completes at once: the call fails with the status, nothing goes pending.
    EXPECT_FALSE(WaitCommEvent(port_, &events, &wait.o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "no mask, nothing to wait for";

    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    Overlapped first, second;
    ASSERT_TRUE(StartWait(first, events));
    DWORD other;
    EXPECT_FALSE(WaitCommEvent(port_, &other, &second.o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << "one wait at a time";
    EXPECT_FALSE(first.Wait(10ms)) << "the armed wait is not affected";
    UCHAR reply[] = {'z'};
    printer_->FeedBulkIn(reply);
    EXPECT_EQ(Outcome(first), Result(0, 4));
    Overlapped third;
    EXPECT_TRUE(StartWait(third, events)) << "a new wait is accepted once the first has completed";
    EXPECT_TRUE(CancelIo(port_));
    EXPECT_EQ(Outcome(third), Result(ERROR_OPERATION_ABORTED, 0));
}

TEST_P(PortEvents, ClosingTheHandleReleasesTheWait)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    Overlapped wait;
    DWORD events;
    ASSERT_TRUE(StartWait(wait, events));
    HANDLE port = port_;
    Close(port);
    ASSERT_TRUE(wait.Wait());
    EXPECT_EQ(wait.o.Internal, static_cast<ULONG_PTR>(STATUS_SUCCESS));
    EXPECT_EQ(wait.o.InternalHigh, 4u);
    EXPECT_EQ(events, 0u);
}

TEST_P(PortEvents, SurpriseRemovalReleasesTheWait)
{
    ASSERT_TRUE(SetCommMask(port_, EV_RXCHAR));
    Overlapped wait;
    DWORD events;
    ASSERT_TRUE(StartWait(wait, events));
    machine_.Unplug(*printer_);
    ASSERT_TRUE(wait.Wait());
    EXPECT_EQ(events, 0u);
}

INSTANTIATE_TEST_SUITE_P(Delivery, PortEvents, testing::Values(false, true),
                         [](const auto &info) { return info.param ? "ForcedPending" : "Inline"; });

}  // namespace
}  // namespace winsim::test
