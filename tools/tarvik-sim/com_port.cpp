// The COM port handle (see com_port.h).
#include "com_port.h"

#include "win32_errors.h"

#include <utility>

namespace tarvik::sim {

ComPort::ComPort(ComPort &&other) noexcept
    : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)), name_(std::move(other.name_)),
      lastError_(other.lastError_)
{
}

ComPort &ComPort::operator=(ComPort &&other) noexcept
{
    if (this != &other) {
        Close();
        handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
        name_ = std::move(other.name_);
        lastError_ = other.lastError_;
    }
    return *this;
}

bool ComPort::Open(const std::string &name, bool overlapped)
{
    Close();
    std::string path = "\\\\.\\" + name;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        lastError_ = GetLastError();
        return false;
    }
    handle_ = h;
    name_ = name;
    lastError_ = ERROR_SUCCESS;
    return true;
}

bool ComPort::Close()
{
    if (handle_ == INVALID_HANDLE_VALUE)
        return true;
    HANDLE h = std::exchange(handle_, INVALID_HANDLE_VALUE);
    return Check(CloseHandle(h));
}

bool ComPort::Check(BOOL ok)
{
    lastError_ = ok ? ERROR_SUCCESS : GetLastError();
    return ok != FALSE;
}

bool ComPort::Write(std::span<const unsigned char> data, DWORD *written)
{
    *written = 0;
    return Check(WriteFile(handle_, data.data(), static_cast<DWORD>(data.size()), written, nullptr));
}

bool ComPort::Read(size_t length, std::vector<unsigned char> *data)
{
    data->assign(length, 0);
    DWORD read = 0;
    bool ok = Check(ReadFile(handle_, data->data(), static_cast<DWORD>(length), &read, nullptr));
    data->resize(ok ? read : 0);
    return ok;
}

std::string ComPort::Failure(const std::string &call) const
{
    return call + " failed: " + Win32ErrorText(lastError_);
}

}  // namespace tarvik::sim
