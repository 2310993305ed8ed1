// Bounded iteration over a block of USB descriptors. Descriptors come from a
// device and are untrusted: a descriptor is yielded only if its bLength is at
// least 2 and it lies wholly inside the block; the walk stops at the first
// one that does not.
#pragma once

#include <usb.h>

#include <cstddef>
#include <cstdint>

namespace winsim::usb {

class DescriptorWalk {
public:
    DescriptorWalk(const void *begin, size_t length)
        : begin_(static_cast<const UCHAR *>(begin)), end_(begin_ + length), next_(begin_)
    {
    }

    // Starts at `position` instead of the beginning; a position outside the
    // block ends the walk at once.
    void StartAt(const void *position)
    {
        auto p = static_cast<const UCHAR *>(position);
        next_ = (p >= begin_ && p <= end_) ? p : end_;
    }

    // The next well-formed descriptor, or nullptr at the end of the block
    // or at the first malformed one.
    const USB_COMMON_DESCRIPTOR *Next()
    {
        if (static_cast<size_t>(end_ - next_) < sizeof(USB_COMMON_DESCRIPTOR))
            return nullptr;
        auto d = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(next_);
        if (d->bLength < sizeof(USB_COMMON_DESCRIPTOR) || d->bLength > static_cast<size_t>(end_ - next_)) {
            next_ = end_;
            return nullptr;
        }
        next_ += d->bLength;
        return d;
    }

    const UCHAR *Begin() const { return begin_; }
    const UCHAR *End() const { return end_; }

private:
    const UCHAR *begin_;
    const UCHAR *end_;
    const UCHAR *next_;
};

// An interface descriptor long enough to read all its fields.
inline const USB_INTERFACE_DESCRIPTOR *AsInterface(const USB_COMMON_DESCRIPTOR *d)
{
    if (d == nullptr || d->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
        d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
        return nullptr;
    return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(d);
}

inline const USB_ENDPOINT_DESCRIPTOR *AsEndpoint(const USB_COMMON_DESCRIPTOR *d)
{
    if (d == nullptr || d->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE ||
        d->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR))
        return nullptr;
    return reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR *>(d);
}

// The total length a configuration descriptor claims, or 0 if it is not a
// configuration descriptor at all.
inline size_t ConfigurationLength(const USB_CONFIGURATION_DESCRIPTOR *c)
{
    if (c == nullptr || c->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        c->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) || c->wTotalLength < c->bLength)
        return 0;
    return c->wTotalLength;
}

}  // namespace winsim::usb
