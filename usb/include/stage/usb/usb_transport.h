// The narrow seam between the native USB backend and the USB stack: list the
// matching devices with their strings and endpoints, open one, claim its
// interface (detaching a kernel driver), send a vendor control request, move
// bulk data, release and close. The libusb adapter (LibusbTransport) is the
// real implementation; tests script one. Error values are libusb's own
// numbers, so the adapter passes them through unchanged and everything above
// it can name them without including libusb.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace stage::usb {

// libusb's error codes (libusb_error), by value.
enum TransportError : int {
  kTransportOk = 0,
  kTransportIo = -1,
  kTransportInvalidParam = -2,
  kTransportAccess = -3,
  kTransportNoDevice = -4,
  kTransportNotFound = -5,
  kTransportBusy = -6,
  kTransportTimeout = -7,
  kTransportOverflow = -8,
  kTransportPipe = -9,
  kTransportInterrupted = -10,
  kTransportNoMem = -11,
  kTransportNotSupported = -12,
  kTransportOther = -99,
};

// libusb's name for an error ("LIBUSB_ERROR_ACCESS").
const char* TransportErrorName(int error);

struct UsbId {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  friend bool operator==(const UsbId&, const UsbId&) = default;
};

// The controllers' own ID.
inline constexpr UsbId kControllerUsbId{0x10C4, 0xEA61};

// One matching device as the bus shows it. `key` is the transport's own
// reference for Open; everything else is plain data.
struct UsbDeviceEntry {
  std::size_t key = 0;
  UsbId id;
  std::uint8_t bus = 0;
  std::vector<std::uint8_t> port_path;  // root hub port first; empty for a root hub
  // The string descriptors as the device sent them: UTF-16LE code units
  // without the two header bytes. Empty when the device has no such string or
  // could not be opened to read it.
  std::vector<std::uint8_t> serial_utf16;   // iSerialNumber
  std::vector<std::uint8_t> product_utf16;  // iProduct
  // Why the device could not be opened to read its strings (kTransportAccess:
  // this user lacks the access rights); kTransportOk when it could.
  int open_error = kTransportOk;
  // Bulk endpoints of interface 0, alternate setting 0; 0 when missing.
  std::uint8_t endpoint_out = 0;
  std::uint8_t endpoint_in = 0;
};

// An asynchronous bulk transfer on one endpoint of an open device, made once
// and submitted again and again: nothing is allocated per transfer. It ends
// (the device answered, the transfer failed, or it was cancelled) only
// inside the transport's WaitForTransfers. Destroy it before its connection,
// and never while it is under way.
class UsbBulkTransfer {
 public:
  virtual ~UsbBulkTransfer() = default;
  // Starts moving up to `length` bytes to or from `data`, which stays valid
  // until the transfer has ended. An error means it never started.
  virtual int Submit(std::uint8_t* data, std::uint32_t length) = 0;
  // Asks a transfer under way to end now; it ends with kTransportInterrupted
  // unless it finished first.
  virtual void Cancel() = 0;

  bool UnderWay() const { return under_way_; }
  // How the last transfer ended and what it moved.
  int Error() const { return error_; }
  std::uint32_t Transferred() const { return transferred_; }

 protected:
  void Started() {
    under_way_ = true;
    error_ = kTransportOk;
    transferred_ = 0;
  }
  void Ended(int error, std::uint32_t transferred) {
    under_way_ = false;
    error_ = error;
    transferred_ = transferred;
  }

 private:
  bool under_way_ = false;
  int error_ = kTransportOk;
  std::uint32_t transferred_ = 0;
};

// An open device. Destroying it closes the device.
class UsbConnection {
 public:
  virtual ~UsbConnection() = default;
  // Detaches a kernel driver bound to `interface_number`, if any, then claims it.
  virtual int ClaimInterface(std::uint8_t interface_number) = 0;
  // Releases the interface and re-attaches the kernel driver ClaimInterface detached.
  virtual int ReleaseInterface(std::uint8_t interface_number) = 0;
  // A control request without a data stage. `timeout_ms` 0 waits for ever.
  virtual int ControlOut(std::uint8_t request_type, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::uint32_t timeout_ms) = 0;
  // One bulk transfer each; `transferred` is what moved, also on failure.
  virtual int BulkOut(std::uint8_t endpoint, const std::uint8_t* data, std::uint32_t length,
                      std::uint32_t& transferred, std::uint32_t timeout_ms) = 0;
  virtual int BulkIn(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length,
                     std::uint32_t& transferred, std::uint32_t timeout_ms) = 0;
  // A reusable asynchronous bulk transfer on `endpoint`, or null where the
  // transport moves data only synchronously.
  virtual std::unique_ptr<UsbBulkTransfer> NewBulkTransfer(std::uint8_t /*endpoint*/) { return nullptr; }
};

class UsbTransport {
 public:
  virtual ~UsbTransport() = default;
  // Replaces `devices` with every device whose ID is one of `ids`, in the
  // bus's own order.
  virtual int ListDevices(std::span<const UsbId> ids, std::vector<UsbDeviceEntry>& devices) = 0;
  virtual int Open(const UsbDeviceEntry& device, std::unique_ptr<UsbConnection>& connection) = 0;
  // A monotonic clock in milliseconds, for read time-outs that span packets.
  virtual std::uint64_t NowMs() = 0;
  // Lets asynchronous transfers under way end: returns once at least one has
  // ended or `timeout_ms` has passed.
  virtual int WaitForTransfers(std::uint32_t /*timeout_ms*/) { return kTransportNotSupported; }
};

}  // namespace stage::usb
