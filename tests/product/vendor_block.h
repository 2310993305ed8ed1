// The input of the USB driver's vendor and class control codes: a request
// block followed by the data to send.
#pragma once

#include <windows.h>

#include "tarvik_usb_ioctl.h"

#include <vector>

namespace tarvik::test {

inline std::vector<UCHAR> VendorBlock(USHORT function, UCHAR request, USHORT value = 0, USHORT index = 0,
                                      ULONG flags = USBD_SHORT_TRANSFER_OK, const std::vector<UCHAR> &data = {})
{
    VENDOR_REQUEST_BLOCK block{};
    block.UrbFunction = function;
    block.TransferFlags = flags;
    block.Request = request;
    block.Value = value;
    block.Index = index;
    auto *first = reinterpret_cast<const UCHAR *>(&block);
    std::vector<UCHAR> bytes(first, first + sizeof block);
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

}  // namespace tarvik::test
