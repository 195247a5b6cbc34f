// The UsbTransport on libusb-1.0: the only code of ours that calls libusb.
// Each call maps onto one or two libusb calls and passes libusb's error
// value back unchanged; every decision lives in NativeUsb above it.
#pragma once

#include <memory>
#include <vector>

#include "stage/usb/usb_transport.h"

struct libusb_context;
struct libusb_device;

namespace stage::usb {

class LibusbTransport final : public UsbTransport {
 public:
  // libusb starts on the first ListDevices, so that it sees the devices
  // present at that moment (and a test's emulated bus made before it).
  LibusbTransport() = default;
  ~LibusbTransport() override;
  LibusbTransport(const LibusbTransport&) = delete;
  LibusbTransport& operator=(const LibusbTransport&) = delete;

  int ListDevices(std::span<const UsbId> ids, std::vector<UsbDeviceEntry>& devices) override;
  int Open(const UsbDeviceEntry& device, std::unique_ptr<UsbConnection>& connection) override;
  std::uint64_t NowMs() override;
  int WaitForTransfers(std::uint32_t timeout_ms) override;

 private:
  void ForgetListed();

  libusb_context* context_ = nullptr;
  // The devices of the last list, referenced until the next one; an entry's
  // key is its index here.
  std::vector<libusb_device*> listed_;
};

}  // namespace stage::usb
