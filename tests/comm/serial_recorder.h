// A machine with one COM port served by the recording serial test driver, and
// what a test needs to read the requests the port receives and to script its
// answers. Requests are compared as short descriptions, so that a failing
// test shows the whole sequence: "SET_BAUD_RATE in=00c20100", "GET_CHARS out=6".
#pragma once

#include <gtest/gtest.h>
#include <harness.h>
#include <windows.h>
#include <ntddser.h>

#include "../../winsim/kernel/pnp.h"
#include "drivers/recording_serial_ioctl.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace winsim::test {

using Bytes = std::vector<uint8_t>;

template <typename T>
Bytes BytesOf(const T &value)
{
    Bytes bytes(sizeof value);
    memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// The description of a request: its name without IOCTL_SERIAL_, its input
// bytes in hex and its output buffer size, each only when there is one.
std::string Request(const std::string &name, const Bytes &input = {}, ULONG outputLength = 0);
std::string Describe(const RECORDED_REQUEST &request);
std::string RequestName(ULONG code);

// The members of a DCB on one line, for readable failures.
std::string DcbFields(const DCB &dcb);

class SerialPortTest : public testing::Test {
protected:
    static constexpr const char *kPortPath = "\\\\.\\COM7";

    void SetUp() override;
    void TearDown() override;

    // An application's handle to the port; closed by TearDown.
    HANDLE OpenPort(bool overlapped = false);
    void ClosePort(HANDLE port);

    // The serial requests the port received since the last call.
    std::vector<std::string> TakeLog();
    // From now on, requests with this code are answered so: all of them, or
    // the next `times` ones.
    struct Answer {
        NTSTATUS status = STATUS_SUCCESS;
        Bytes output;
        ULONG how = RECORDER_COMPLETE_INLINE;
        ULONG times = 0;
        std::optional<ULONG> information = std::nullopt;  // default: the size of output
    };
    void Script(ULONG code, const Answer &answer);
    void Script(ULONG code, NTSTATUS status, const Bytes &output = {}) { Script(code, Answer{status, output}); }
    // Completes every held request with this answer.
    void Release(NTSTATUS status, const Bytes &output = {});
    // Waits until the port holds this many requests (a wait that has reached it).
    void WaitUntilHeld(ULONG count);

    harness::TestMachine machine_;
    pnp::DeviceNode *node_ = nullptr;

private:
    void Control(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength);
    ULONG HeldCount();

    HANDLE control_ = INVALID_HANDLE_VALUE;  // the test's own handle to the driver
    std::vector<HANDLE> ports_;
};

}  // namespace winsim::test
