// The KEY_VALUE_*_INFORMATION records ZwQueryValueKey returns, with the
// documented buffer rules: a buffer too small for the fixed part gets nothing
// (STATUS_BUFFER_TOO_SMALL); one that holds the fixed part but not all of the
// name and data gets the fixed part and as much as fits
// (STATUS_BUFFER_OVERFLOW). The required size is reported either way.
#pragma once

#include "key_tree.h"

namespace winsim::registry {

NTSTATUS FillValueInformation(const StoredValue &value, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer, ULONG length,
                              ULONG *resultLength);

}  // namespace winsim::registry
