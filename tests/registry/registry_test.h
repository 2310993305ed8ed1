// What the registry tests share: a booted machine that must end clean, and
// small helpers for the kernel-mode calls.
#pragma once

#include <gtest/gtest.h>
#include <harness.h>
#include <registry/registry.h>
#include <wdm.h>

#include <string>

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() { winsim::registry::Boot(); }
    ~RegistryTest() override
    {
        EXPECT_EQ(winsim::registry::OpenUserKeyHandleCount(), 0u) << "a test leaked an HKEY";
        EXPECT_EQ(winsim::registry::OpenKernelKeyHandleCount(), 0u) << "a test leaked a kernel key handle";
        EXPECT_TRUE(machine_.Shutdown().empty());
    }

    winsim::harness::TestMachine machine_;
};

// A counted string over a literal; the literal outlives it.
inline UNICODE_STRING Counted(PCWSTR text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// A kernel handle closed at the end of the scope.
class KernelKey {
public:
    KernelKey() = default;
    ~KernelKey()
    {
        if (handle_ != nullptr)
            ZwClose(handle_);
    }
    KernelKey(const KernelKey &) = delete;
    KernelKey &operator=(const KernelKey &) = delete;
    PHANDLE out() { return &handle_; }
    HANDLE get() const { return handle_; }
    HANDLE release()
    {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }

private:
    HANDLE handle_ = nullptr;
};

inline NTSTATUS OpenKernelKey(KernelKey &key, PCWSTR path, HANDLE root = nullptr)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key.out(), KEY_READ, &attributes);
}

inline NTSTATUS CreateKernelKey(KernelKey &key, PCWSTR path, ULONG *disposition = nullptr, HANDLE root = nullptr)
{
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(key.out(), KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, disposition);
}

// UTF-16 REG_SZ data of a literal, terminator included.
inline std::vector<uint8_t> WideData(const std::u16string &text)
{
    std::vector<uint8_t> data;
    for (char16_t c : text) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
    return data;
}
