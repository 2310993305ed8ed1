// A COM port opened with CreateFile, as an application holds one: closed
// when the object goes. Calls return whether they succeeded; LastError()
// says why not.
#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <vector>

namespace tarvik::sim {

class ComPort {
public:
    ComPort() = default;
    ~ComPort() { Close(); }
    ComPort(ComPort &&other) noexcept;
    ComPort &operator=(ComPort &&other) noexcept;
    ComPort(const ComPort &) = delete;
    ComPort &operator=(const ComPort &) = delete;

    // Opens \\.\<name> for reading and writing, exclusively. An overlapped
    // handle lets two threads use the port at once.
    bool Open(const std::string &name, bool overlapped = false);
    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }
    const std::string &Name() const { return name_; }
    bool Close();

    // Whole-buffer writes and reads on a synchronous handle.
    bool Write(std::span<const unsigned char> data, DWORD *written);
    bool Read(size_t length, std::vector<unsigned char> *data);

    DWORD LastError() const { return lastError_; }
    // "WriteFile failed: ERROR_ACCESS_DENIED (5)".
    std::string Failure(const std::string &call) const;

    // Records the outcome of a Win32 call made on Handle() directly.
    bool Check(BOOL ok);

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    std::string name_;
    DWORD lastError_ = ERROR_SUCCESS;
};

}  // namespace tarvik::sim
