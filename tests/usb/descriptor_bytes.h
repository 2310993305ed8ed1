// Descriptor byte strings for tests, well-formed or not, and a buffer that
// ends exactly at a page nobody may read, so that a routine reading one
// byte past the descriptor it was given crashes the test.
#pragma once

#include <usb.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <vector>

namespace winsim::usb::test {

using Bytes = std::vector<UCHAR>;

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A configuration descriptor header; wTotalLength is `total`, or (when
// total is 0) fixed up by WithTotal.
inline Bytes ConfigHeader(UCHAR interfaces, USHORT total = 0, UCHAR value = 1, UCHAR attributes = 0xA0)
{
    return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<UCHAR>(total & 0xFF), static_cast<UCHAR>(total >> 8),
            interfaces, value, 0, attributes, 50};
}

inline Bytes Interface(UCHAR number, UCHAR alternate, UCHAR endpoints, UCHAR cls = 0xFF, UCHAR sub = 0,
                       UCHAR prot = 0)
{
    return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, sub, prot, 0};
}

inline Bytes Endpoint(UCHAR address, UCHAR type = USB_ENDPOINT_TYPE_BULK, USHORT maxPacket = 64)
{
    return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type, static_cast<UCHAR>(maxPacket & 0xFF),
            static_cast<UCHAR>(maxPacket >> 8), 0};
}

// Sets wTotalLength to the length of the whole string.
inline Bytes WithTotal(Bytes bytes)
{
    bytes[2] = static_cast<UCHAR>(bytes.size() & 0xFF);
    bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
    return bytes;
}

class GuardedBytes {
public:
    explicit GuardedBytes(const Bytes &bytes)
    {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_ = (bytes.size() + page - 1) / page * page + page;
        base_ = static_cast<UCHAR *>(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + size_ - page, page, PROT_NONE);
        data_ = base_ + size_ - page - bytes.size();
        if (!bytes.empty())
            memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes() { munmap(base_, size_); }
    GuardedBytes(const GuardedBytes &) = delete;
    GuardedBytes &operator=(const GuardedBytes &) = delete;

    UCHAR *Data() const { return data_; }
    PUSB_CONFIGURATION_DESCRIPTOR Configuration() const
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data_);
    }

private:
    UCHAR *base_;
    UCHAR *data_;
    size_t size_;
};

}  // namespace winsim::usb::test
