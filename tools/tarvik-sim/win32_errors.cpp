// Win32 error names (see win32_errors.h).
#include "win32_errors.h"

#include <windows.h>

#include <charconv>

namespace tarvik::sim {
namespace {

struct ErrorName {
    unsigned long code;
    const char *name;
};

#define ERROR_NAME(e) {e, #e}
constexpr ErrorName kErrors[] = {
    ERROR_NAME(ERROR_SUCCESS),           ERROR_NAME(ERROR_INVALID_FUNCTION),     ERROR_NAME(ERROR_FILE_NOT_FOUND),
    ERROR_NAME(ERROR_PATH_NOT_FOUND),    ERROR_NAME(ERROR_ACCESS_DENIED),        ERROR_NAME(ERROR_INVALID_HANDLE),
    ERROR_NAME(ERROR_NOT_ENOUGH_MEMORY), ERROR_NAME(ERROR_INVALID_DATA),         ERROR_NAME(ERROR_NOT_READY),
    ERROR_NAME(ERROR_BAD_COMMAND),       ERROR_NAME(ERROR_CRC),                  ERROR_NAME(ERROR_BAD_LENGTH),
    ERROR_NAME(ERROR_GEN_FAILURE),       ERROR_NAME(ERROR_SHARING_VIOLATION),    ERROR_NAME(ERROR_HANDLE_EOF),
    ERROR_NAME(ERROR_NOT_SUPPORTED),     ERROR_NAME(ERROR_DEV_NOT_EXIST),        ERROR_NAME(ERROR_INVALID_PARAMETER),
    ERROR_NAME(ERROR_SEM_TIMEOUT),       ERROR_NAME(ERROR_INSUFFICIENT_BUFFER),  ERROR_NAME(ERROR_INVALID_NAME),
    ERROR_NAME(ERROR_BUSY),              ERROR_NAME(ERROR_MORE_DATA),            ERROR_NAME(ERROR_DELETE_PENDING),
    ERROR_NAME(ERROR_OPERATION_ABORTED), ERROR_NAME(ERROR_IO_INCOMPLETE),        ERROR_NAME(ERROR_IO_PENDING),
    ERROR_NAME(ERROR_NOACCESS),          ERROR_NAME(ERROR_IO_DEVICE),            ERROR_NAME(ERROR_DEVICE_NOT_CONNECTED),
    ERROR_NAME(ERROR_NOT_FOUND),         ERROR_NAME(ERROR_CANCELLED),            ERROR_NAME(ERROR_NO_SYSTEM_RESOURCES),
    ERROR_NAME(ERROR_TIMEOUT),           ERROR_NAME(ERROR_DEVICE_REMOVED),       ERROR_NAME(ERROR_INVALID_USER_BUFFER),
};
#undef ERROR_NAME

}  // namespace

std::string Win32ErrorText(unsigned long code)
{
    for (const ErrorName &e : kErrors)
        if (e.code == code)
            return std::string(e.name) + " (" + std::to_string(code) + ")";
    return "error " + std::to_string(code);
}

std::optional<unsigned long> Win32ErrorCode(const std::string &name)
{
    for (const ErrorName &e : kErrors)
        if (name == e.name)
            return e.code;
    unsigned long code = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), code);
    if (ec == std::errc() && end == name.data() + name.size())
        return code;
    return std::nullopt;
}

}  // namespace tarvik::sim
