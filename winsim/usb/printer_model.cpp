// The printer model (see printer_model.h).
#include "printer_model.h"

#include "bus.h"

namespace winsim::usb {

PrinterModel::PrinterModel(Bus &bus, DeviceState &device) : bus_(bus), device_(device)
{
    // The first bulk OUT and the first bulk IN endpoint of interface 0.
    bool haveOut = false, haveIn = false;
    for (auto &i : device.config.interfaces) {
        if (i.number != 0 || i.alternateSetting != 0)
            continue;
        for (auto &e : i.endpoints) {
            if (e.type != USB_ENDPOINT_TYPE_BULK)
                continue;
            if (USB_ENDPOINT_DIRECTION_IN(e.address) && !haveIn) {
                in_ = e.address;
                haveIn = true;
            } else if (USB_ENDPOINT_DIRECTION_OUT(e.address) && !haveOut) {
                out_ = e.address;
                haveOut = true;
            }
        }
    }
}

std::vector<UCHAR> PrinterModel::Spool() const
{
    std::lock_guard<std::mutex> lock(bus_.Lock());
    return spool_;
}

size_t PrinterModel::StatusRequestsAnswered() const
{
    std::lock_guard<std::mutex> lock(bus_.Lock());
    return answered_;
}

void PrinterModel::SetOnline(bool online)
{
    std::lock_guard<std::mutex> lock(bus_.Lock());
    online_ = online;
    if (online)
        device_.status[0] &= static_cast<UCHAR>(~kStatusNotReady);
    else
        device_.status[0] |= kStatusNotReady;
    bus_.KickLocked();
}

bool PrinterModel::Online() const
{
    std::lock_guard<std::mutex> lock(bus_.Lock());
    return online_;
}

void PrinterModel::SetSpoolFile(const std::filesystem::path &path)
{
    std::lock_guard<std::mutex> lock(bus_.Lock());
    file_.close();
    file_.open(path, std::ios::binary | std::ios::app);
}

void PrinterModel::Print(UCHAR byte)
{
    spool_.push_back(byte);
    if (file_.is_open()) {
        file_.put(static_cast<char>(byte));
        file_.flush();
    }
}

void PrinterModel::AnswerStatus()
{
    size_t spooled = spool_.size() > 0xFFFFFF ? 0xFFFFFF : spool_.size();
    UCHAR reply[4] = {device_.status[0], static_cast<UCHAR>(spooled & 0xFF), static_cast<UCHAR>((spooled >> 8) & 0xFF),
                      static_cast<UCHAR>((spooled >> 16) & 0xFF)};
    device_.QueueIn(in_, reply);
    answered_++;
}

// Matches the status request byte by byte; bytes held back as a possible
// start of it are printed as soon as the match fails. (The request has no
// proper prefix that is also a suffix, so a failed match restarts at the
// current byte.)
void PrinterModel::Consume(std::span<const UCHAR> data)
{
    for (UCHAR byte : data) {
        if (byte == kStatusRequest[matched_]) {
            if (++matched_ == sizeof kStatusRequest) {
                matched_ = 0;
                AnswerStatus();
            }
            continue;
        }
        for (size_t i = 0; i < matched_; i++)
            Print(kStatusRequest[i]);
        matched_ = 0;
        if (byte == kStatusRequest[0])
            matched_ = 1;
        else
            Print(byte);
    }
}

}  // namespace winsim::usb
