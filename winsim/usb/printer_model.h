// A small model of the printer behind the simulated device, for the demo
// and for end-to-end tests: it spools what the host prints and answers
// status requests on the bulk IN pipe.
//
// The byte stream on the bulk OUT endpoint is print data, except for the
// status request, the three bytes
//
//     0x1B 0x73 0x3F      (ESC 's' '?')
//
// anywhere in the stream (also split across transfers). They are not
// spooled; instead the printer queues a 4-byte status reply on the bulk IN
// endpoint:
//
//     byte 0      the status flags, as vendor request 1 reports them in its
//                 first byte (kStatusNotReady = 0x08 while offline)
//     bytes 1-3   the number of bytes spooled so far, little-endian,
//                 saturating at 0xFFFFFF
//
// While offline the printer is not ready (the status bytes say so) and its
// bulk OUT endpoint NAKs, so a host that keeps writing waits.
#pragma once

#include "usb_host.h"

#include <filesystem>
#include <fstream>

namespace winsim::usb {

struct DeviceState;

constexpr UCHAR kStatusRequest[3] = {0x1B, 0x73, 0x3F};

class PrinterModel {
public:
    PrinterModel(Bus &bus, DeviceState &device);

    std::vector<UCHAR> Spool() const;       // every byte printed, in order
    size_t StatusRequestsAnswered() const;
    void SetOnline(bool online);
    bool Online() const;
    // Also appends every spooled byte to this host file (for the tool).
    void SetSpoolFile(const std::filesystem::path &path);

    // Under the bus lock, from the device: data that arrived on bulk OUT.
    void Consume(std::span<const UCHAR> data);
    bool OnlineLocked() const { return online_; }
    UCHAR OutEndpoint() const { return out_; }

private:
    void Print(UCHAR byte);
    void AnswerStatus();

    Bus &bus_;
    DeviceState &device_;
    UCHAR out_ = 0x01;
    UCHAR in_ = 0x82;
    bool online_ = true;
    size_t matched_ = 0;  // bytes of kStatusRequest seen so far
    size_t answered_ = 0;
    std::vector<UCHAR> spool_;
    std::ofstream file_;
};

}  // namespace winsim::usb
