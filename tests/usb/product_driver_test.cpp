// The product's USB function driver on the simulated printer's PDO: its
// start-up (descriptors, select-configuration), writes and bulk-in reads
// through pipe handles, its vendor status request, and its removal after a
// surprise removal, with the PDO answering the requests that follow. Built
// when the driver is part of the host build.
#include "usb_test_support.h"

#include "../kernel/internal.h"
#include "tarvik_usb_ioctl.h"

#include <windows.h>

namespace winsim::usb::test {
namespace {

// Under each way the stack can deliver completions: inline where it can,
// every request pending, and full-speed frame timing.
struct Delivery {
    const char *name;
    WireModel wire;
    bool forcePending;
};

class ProductDriver : public UsbTest, public testing::WithParamInterface<Delivery> {
protected:
    HostOptions Options() override
    {
        HostOptions options;
        options.wire = GetParam().wire;
        options.forcePending = GetParam().forcePending;
        return options;
    }

    void SetUp() override
    {
        UsbTest::SetUp();
        PDRIVER_OBJECT driver = machine_->LoadDriver("tarvik_usb");
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(driver->DriverExtension->AddDevice(driver, pdo_), STATUS_SUCCESS);
        ASSERT_EQ(machine_->SendPnp(pdo_, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        for (const DeviceInterface &i : ListInterfaces())
            if (i.pdo == pdo_ && i.enabled)
                path_ = u"\\\\?\\" + i.link.substr(4);
        ASSERT_FALSE(path_.empty());
    }

    void TearDown() override
    {
        for (HANDLE h : handles_)
            CloseHandle(h);
        if (pdo_->AttachedDevice != nullptr)
            machine_->SendPnp(pdo_, IRP_MN_REMOVE_DEVICE);
        UsbTest::TearDown();
    }

    HANDLE Open(const std::u16string &name)
    {
        std::u16string full = path_ + name;
        HANDLE h = CreateFileW(reinterpret_cast<LPCWSTR>(full.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            handles_.push_back(h);
        return h;
    }

    std::u16string path_;
    std::vector<HANDLE> handles_;
};

TEST_P(ProductDriver, StartsWritesAndReadsThroughThePipes)
{
    EXPECT_EQ(printer_->ConfigurationValue(), 1);
    HANDLE in = Open(u"\\if0pipe1");
    HANDLE out = Open(u"\\if0pipe0");
    HANDLE device = Open(u"");
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    char text[] = "hello, printer";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(out, text, 14, &written, nullptr));
    EXPECT_EQ(written, 14u);
    EXPECT_EQ(printer_->Received(), std::vector<UCHAR>(text, text + 14));

    UCHAR reply[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    printer_->FeedBulkIn(reply);
    BULK_READ_RESULT result{};
    UCHAR record[72] = {};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_BULK_READ, nullptr, 0, record, sizeof record, &returned, nullptr));
    memcpy(&result, record, sizeof result);
    EXPECT_EQ(returned, sizeof(BULK_READ_RESULT));
    EXPECT_EQ(result.Length, 10u);
    EXPECT_EQ(result.Data[9], 10);

    printer_->SetReady(false);
    VENDOR_REQUEST_BLOCK block{};
    block.UrbFunction = URB_FUNCTION_VENDOR_INTERFACE;
    block.TransferFlags = USBD_SHORT_TRANSFER_OK;
    block.Request = kVendorStatusRequest;
    UCHAR status[16] = {};
    memcpy(status, &block, sizeof block);
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_VENDOR_REQUEST_IN, status, sizeof block, status, 4, &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(status[0] & kStatusNotReady, kStatusNotReady);
}

// Unplugged with the port open: the read the driver holds fails, the Plug
// and Play manager's enumeration drops the device, the surprise removal and
// the removal go down the stack (the PDO is deleted), and a second removal
// still reaches the deleted PDO.
TEST_P(ProductDriver, SurpriseRemovalAndASecondRemove)
{
    HANDLE in = Open(u"\\if0pipe1");
    HANDLE device = Open(u"");
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    ObReferenceObject(pdo_);
    host_->Unplug(*printer_);
    UCHAR record[72];
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_BULK_READ, nullptr, 0, record, sizeof record, &returned, nullptr));

    EXPECT_TRUE(host_->QueryBusRelations().empty());
    EXPECT_EQ(machine_->SendPnp(pdo_, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    for (HANDLE h : handles_)
        CloseHandle(h);
    handles_.clear();
    EXPECT_EQ(machine_->SendPnp(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(pdo_->AttachedDevice, nullptr);
    EXPECT_TRUE(DeviceDeletePending(pdo_));
    EXPECT_EQ(machine_->SendPnp(pdo_, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ObDereferenceObject(pdo_);
}

INSTANTIATE_TEST_SUITE_P(Deliveries, ProductDriver,
                         testing::Values(Delivery{"Instant", WireModel::Instant, false},
                                         Delivery{"ForcedPending", WireModel::Instant, true},
                                         Delivery{"FullSpeed", WireModel::FullSpeed, false}),
                         [](const testing::TestParamInfo<Delivery> &info) { return info.param.name; });

}  // namespace
}  // namespace winsim::usb::test
