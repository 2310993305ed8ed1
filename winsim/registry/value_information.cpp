// KEY_VALUE_*_INFORMATION records (see value_information.h).
#include "value_information.h"

#include <algorithm>
#include <cstring>

namespace winsim::registry {
namespace {

// KEY_VALUE_PARTIAL_INFORMATION_ALIGN64 of ntddk.h: no TitleIndex.
struct PartialAlign64 {
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};

constexpr ULONG kNoData = 0xFFFFFFFF;

ULONG AlignUp(ULONG value, ULONG alignment) { return (value + alignment - 1) / alignment * alignment; }

// Copies what fits of bytes at offset; true if all of it fitted.
bool CopyPart(void *buffer, ULONG length, ULONG offset, const void *bytes, ULONG size)
{
    ULONG room = length > offset ? length - offset : 0;
    ULONG n = std::min(room, size);
    if (n != 0)
        memcpy(static_cast<char *>(buffer) + offset, bytes, n);
    return n == size;
}

}  // namespace

NTSTATUS FillValueInformation(const StoredValue &value, KEY_VALUE_INFORMATION_CLASS infoClass, void *buffer, ULONG length,
                              ULONG *resultLength)
{
    const auto nameBytes = static_cast<ULONG>(value.name.size() * sizeof(char16_t));
    const auto dataBytes = static_cast<ULONG>(value.data.size());
    ULONG fixed, required;
    switch (infoClass) {
    case KeyValueBasicInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        required = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64:
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        required = fixed + nameBytes;
        if (dataBytes != 0)
            required = AlignUp(required, infoClass == KeyValueFullInformation ? 4 : 8) + dataBytes;
        break;
    case KeyValuePartialInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        required = fixed + dataBytes;
        break;
    case KeyValuePartialInformationAlign64:
        fixed = FIELD_OFFSET(PartialAlign64, Data);
        required = fixed + dataBytes;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *resultLength = required;
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;

    bool complete = true;
    switch (infoClass) {
    case KeyValueBasicInformation: {
        auto *info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->NameLength = nameBytes;
        complete = CopyPart(buffer, length, fixed, value.name.data(), nameBytes);
        break;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        auto *info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
        ULONG dataOffset = dataBytes == 0 ? kNoData : required - dataBytes;
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataOffset = dataOffset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        complete = CopyPart(buffer, length, fixed, value.name.data(), nameBytes);
        if (dataBytes != 0)
            complete = CopyPart(buffer, length, dataOffset, value.data.data(), dataBytes) && complete;
        break;
    }
    case KeyValuePartialInformation: {
        auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataLength = dataBytes;
        complete = CopyPart(buffer, length, fixed, value.data.data(), dataBytes);
        break;
    }
    default: {
        auto *info = static_cast<PartialAlign64 *>(buffer);
        info->Type = value.type;
        info->DataLength = dataBytes;
        complete = CopyPart(buffer, length, fixed, value.data.data(), dataBytes);
        break;
    }
    }
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace winsim::registry
