// User-mode access to keys (see access.h).
#include "access.h"

#include "text.h"

#include <atomic>

namespace winsim::registry {
namespace {

std::atomic<bool> g_elevated{true};

constexpr ACCESS_MASK kWow64Flags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;
constexpr ACCESS_MASK kAccessSystemSecurity = 0x01000000;

bool Under(std::u16string_view path, std::u16string_view prefix)
{
    if (path.size() < prefix.size() || !EqualNoCase(path.substr(0, prefix.size()), prefix))
        return false;
    return path.size() == prefix.size() || path[prefix.size()] == u'\\';
}

}  // namespace

void SetUserElevated(bool elevated) { g_elevated = elevated; }

bool UserElevated() { return g_elevated; }

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired)
{
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kWow64Flags);
    if (desired & GENERIC_READ)
        mapped |= KEY_READ;
    if (desired & GENERIC_WRITE)
        mapped |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE)
        mapped |= KEY_EXECUTE;
    if (desired & GENERIC_ALL)
        mapped |= KEY_ALL_ACCESS;
    return mapped & ~SYNCHRONIZE;
}

ACCESS_MASK UserMaximumAccess(std::u16string_view path)
{
    // The security hives belong to the system account alone.
    if (Under(path, u"\\Registry\\Machine\\SAM") || Under(path, u"\\Registry\\Machine\\SECURITY"))
        return 0;
    if (Under(path, kCurrentUserPath))
        return KEY_ALL_ACCESS;
    if (g_elevated)
        return KEY_ALL_ACCESS | kAccessSystemSecurity;
    return KEY_READ;
}

NTSTATUS CheckUserAccess(std::u16string_view path, ACCESS_MASK desired, ACCESS_MASK *granted)
{
    ACCESS_MASK maximum = UserMaximumAccess(path);
    ACCESS_MASK wanted = MapKeyAccess(desired);
    bool maximumAllowed = (wanted & MAXIMUM_ALLOWED) != 0;
    wanted &= ~MAXIMUM_ALLOWED;
    if ((wanted & ~maximum) != 0 || (maximumAllowed && maximum == 0))
        return STATUS_ACCESS_DENIED;
    *granted = maximumAllowed ? maximum : wanted;
    return STATUS_SUCCESS;
}

}  // namespace winsim::registry
