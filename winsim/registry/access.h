// Who may do what to which key when the caller is user mode. The simulated
// user is an administrator whose token is either elevated (full access to the
// machine's keys) or filtered (HKEY_LOCAL_MACHINE readable only), the two
// states a program meets under User Account Control. Kernel-mode callers are
// never checked.
#pragma once

#include "registry.h"

#include <wdm.h>

#include <string_view>

namespace winsim::registry {

// The NT path of the simulated user's own hive (HKEY_CURRENT_USER).
constexpr std::u16string_view kCurrentUserPath = u"\\Registry\\User\\S-1-5-21-3623811015-3361044348-30300820-1001";

// Generic rights mapped to key rights; the WOW64 view flags removed.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desired);
// The most the user may be granted on the key at this NT path.
ACCESS_MASK UserMaximumAccess(std::u16string_view path);
// STATUS_ACCESS_DENIED, or the access to grant (MAXIMUM_ALLOWED resolved).
NTSTATUS CheckUserAccess(std::u16string_view path, ACCESS_MASK desired, ACCESS_MASK *granted);

}  // namespace winsim::registry
