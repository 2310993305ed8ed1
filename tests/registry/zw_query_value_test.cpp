// ZwQueryValueKey: the three record layouts and the documented buffer
// statuses.
//
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwqueryvaluekey
//   STATUS_BUFFER_OVERFLOW: "The buffer supplied is too small, and only partial data has been
//   written to the buffer. *ResultLength is set to the minimum size required to hold the
//   requested information."
//   STATUS_BUFFER_TOO_SMALL: "The buffer supplied is too small, and no data has been written to
//   the buffer. *ResultLength is set to the minimum size required ..."
//   STATUS_OBJECT_NAME_NOT_FOUND: "The registry value was not available."
//   STATUS_INVALID_PARAMETER: "The KeyInformationClass parameter is not a valid
//   KEY_VALUE_INFORMATION_CLASS value."
// https://learn.microsoft.com/en-us/windows-hardware/drivers/ddi/wdm/nf-wdm-zwclose
//   "it returns STATUS_INVALID_HANDLE if Handle is not a valid handle"
// Record layouts: ns-wdm-_key_value_basic_information, ns-wdm-_key_value_full_information
// ("DataOffset: the offset from the start of this structure to the data immediately following
// the Name string", aligned as the Align64 classes require), ns-wdm-_key_value_partial_information.
// The fixed part is everything before Name (Data); how much of a name or data that does not fit
// is still copied follows ReactOS's configuration manager.
#include "registry_test.h"

#include <algorithm>
#include <vector>

namespace {

constexpr const char *kKey = "\\Registry\\Machine\\SOFTWARE\\winsim-test";
// A 7-character name makes the two alignments of the full record differ:
// the name ends at 20 + 14 = 34, data starts at 36 (4-byte) or 40 (8-byte).
const std::u16string kName = u"Channel";
const std::u16string kData = u"COM3";  // 10 bytes with the terminator

struct Layout {
    const char *label;
    KEY_VALUE_INFORMATION_CLASS infoClass;
    ULONG fixed;         // bytes before the name or data
    ULONG required;      // the whole record
    ULONG dataOffset;    // 0 when the record has no data
};

const Layout kLayouts[] = {
    {"basic", KeyValueBasicInformation, 12, 12 + 14, 0},
    {"full", KeyValueFullInformation, 20, 36 + 10, 36},
    {"full-align64", KeyValueFullInformationAlign64, 20, 40 + 10, 40},
    {"partial", KeyValuePartialInformation, 12, 12 + 10, 12},
    {"partial-align64", KeyValuePartialInformationAlign64, 8, 8 + 10, 8},
};

class QueryValueKey : public RegistryTest {
protected:
    QueryValueKey()
    {
        winsim::registry::SetValue(kKey, "Channel", REG_SZ, WideData(kData));
        EXPECT_EQ(OpenKernelKey(key_, L"\\Registry\\Machine\\SOFTWARE\\winsim-test"), STATUS_SUCCESS);
    }

    NTSTATUS Query(PCWSTR name, KEY_VALUE_INFORMATION_CLASS infoClass, std::vector<uint8_t> &buffer, ULONG *result)
    {
        UNICODE_STRING valueName = Counted(name);
        return ZwQueryValueKey(key_.get(), &valueName, infoClass, buffer.empty() ? nullptr : buffer.data(),
                               static_cast<ULONG>(buffer.size()), result);
    }

    KernelKey key_;
};

ULONG Field(const std::vector<uint8_t> &buffer, size_t offset)
{
    return buffer[offset] | buffer[offset + 1] << 8 | buffer[offset + 2] << 16 | static_cast<ULONG>(buffer[offset + 3]) << 24;
}

TEST_F(QueryValueKey, BufferStatusesForEveryRecordLayout)
{
    for (const Layout &layout : kLayouts) {
        const ULONG lengths[] = {0, layout.fixed - 1, layout.fixed, layout.required - 1, layout.required,
                                 layout.required + 8};
        for (ULONG length : lengths) {
            SCOPED_TRACE(std::string(layout.label) + " with " + std::to_string(length) + " bytes");
            std::vector<uint8_t> buffer(length, 0xCC);
            ULONG result = 0xDEAD;
            NTSTATUS status = Query(L"channel", layout.infoClass, buffer, &result);
            EXPECT_EQ(result, layout.required);
            if (length < layout.fixed) {
                EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
                EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xCC), static_cast<long>(length))
                    << "nothing may be written";
                continue;
            }
            EXPECT_EQ(status, length < layout.required ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS);
            // The fixed part is complete either way.
            bool align64Partial = layout.infoClass == KeyValuePartialInformationAlign64;
            EXPECT_EQ(Field(buffer, align64Partial ? 0 : 4), static_cast<ULONG>(REG_SZ));
            if (layout.infoClass == KeyValueBasicInformation) {
                EXPECT_EQ(Field(buffer, 8), 14u);  // NameLength
            }
            if (layout.infoClass == KeyValueFullInformation || layout.infoClass == KeyValueFullInformationAlign64) {
                EXPECT_EQ(Field(buffer, 8), layout.dataOffset);
                EXPECT_EQ(Field(buffer, 12), 10u);  // DataLength
                EXPECT_EQ(Field(buffer, 16), 14u);  // NameLength
            }
            if (status == STATUS_SUCCESS && layout.dataOffset != 0) {
                EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + layout.dataOffset, buffer.begin() + layout.required),
                          WideData(kData));
            }
        }
    }
}

TEST_F(QueryValueKey, NameComesBackAsStored)
{
    std::vector<uint8_t> buffer(64);
    ULONG result = 0;
    ASSERT_EQ(Query(L"CHANNEL", KeyValueBasicInformation, buffer, &result), STATUS_SUCCESS);
    auto *info = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(info->Name), info->NameLength / 2), kName);
}

TEST_F(QueryValueKey, FailureStatuses)
{
    std::vector<uint8_t> buffer(64);
    ULONG result = 0;
    EXPECT_EQ(Query(L"Missing", KeyValuePartialInformation, buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Query(L"Channel", static_cast<KEY_VALUE_INFORMATION_CLASS>(7), buffer, &result),
              STATUS_INVALID_PARAMETER);

    HANDLE closed = key_.release();
    ASSERT_EQ(ZwClose(closed), STATUS_SUCCESS);
    UNICODE_STRING name = Counted(L"Channel");
    EXPECT_EQ(ZwQueryValueKey(closed, &name, KeyValuePartialInformation, buffer.data(), 64, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(closed), STATUS_INVALID_HANDLE);
}

TEST_F(QueryValueKey, EmptyNameIsTheDefaultValue)
{
    std::vector<uint8_t> buffer(64);
    ULONG result = 0;
    EXPECT_EQ(Query(L"", KeyValuePartialInformation, buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    winsim::registry::SetDword(kKey, "", 7);
    ASSERT_EQ(Query(L"", KeyValuePartialInformation, buffer, &result), STATUS_SUCCESS);
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(Field(buffer, 12), 7u);
}

TEST_F(QueryValueKey, ValueWithoutDataHasNoDataToCopy)
{
    winsim::registry::SetValue(kKey, "Empty", REG_BINARY, {});
    std::vector<uint8_t> buffer(64);
    ULONG result = 0;
    UNICODE_STRING name = Counted(L"Empty");
    ASSERT_EQ(ZwQueryValueKey(key_.get(), &name, KeyValueFullInformation, buffer.data(), 64, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 20u + 10u);  // fixed part and name only
    EXPECT_EQ(Field(buffer, 12), 0u);
}

}  // namespace
