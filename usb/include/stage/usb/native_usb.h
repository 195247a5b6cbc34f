// The console's own USB device library: the seven calls implemented on a
// UsbTransport (libusb in the program, a script in tests).
//
// - Controllers are numbered in a stable order, by bus number and then port
//   path, so the same wiring gives the same axes at every start. Device
//   numbers refer to the list taken by the last count call.
// - Option 0 of the product-string call is the serial-number string, option
//   1 the product description, both as 8-bit text of at most 256 bytes.
// - Open claims interface 0 (detaching a kernel driver) and sends the vendor
//   request that enables the data path; Close sends the one that disables it,
//   releases the interface and closes.
// - A read collects 64-byte bulk IN packets until the asked-for count has
//   arrived or the read time-out has passed. A reply is exactly that count:
//   packets that bring more (a reply sent twice, a reply padded to a full
//   packet) or a packet the host had to cut (an overflow) fail the read, and
//   nothing of them is kept for a later read, so no reply is ever served
//   late or out of step.
// - The exchange with every axis puts every controller's write and read on
//   the bus at once (asynchronous transfers made at open and reused) and
//   waits for all of them, so a tick costs one controller's answer time
//   rather than the sum of all.
// - libusb's errors come back as the vendor's status values.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "stage/usb/device_library.h"
#include "stage/usb/usb_transport.h"

namespace stage::usb {

// The vendor request that switches a controller's data path (bmRequestType
// host-to-device, vendor, device; bRequest 0x02).
inline constexpr std::uint8_t kVendorRequestType = 0x40;
inline constexpr std::uint8_t kDataPathRequest = 0x02;
inline constexpr std::uint16_t kDataPathEnable = 0x0002;
inline constexpr std::uint16_t kDataPathDisable = 0x0004;
inline constexpr std::uint8_t kControllerInterface = 0;
// Bulk IN transfers are one full-speed packet each.
inline constexpr std::uint32_t kBulkPacketSize = 64;
// The time-out value that means "wait for ever".
inline constexpr std::uint32_t kWaitForever = 0xFFFFFFFF;
// Until SetTimeouts says otherwise.
inline constexpr std::uint32_t kDefaultTimeoutMs = 1000;
// Control requests (enable, disable) wait this long.
inline constexpr std::uint32_t kControlTimeoutMs = 1000;

// A string descriptor's UTF-16LE units as 8-bit text: units above 0xFF become
// '?', a zero unit ends the text, at most 256 bytes.
std::string StringDescriptorText(std::span<const std::uint8_t> utf16le);

// Bus number, then port path ("1-2.3" style, the kernel's own spelling).
std::string PortPathText(const UsbDeviceEntry& device);

// Where udev finds the console's access rule: the package's folder, a local
// install's, the administrator's.
inline constexpr std::array<const char*, 3> kAccessRulePaths = {
    "/usr/lib/udev/rules.d/70-stage-console.rules",
    "/usr/local/lib/udev/rules.d/70-stage-console.rules",
    "/etc/udev/rules.d/70-stage-console.rules",
};

// Whether a file exists: the file system in the program, a list in tests.
using FileExists = std::function<bool(const char* path)>;
bool FileExistsOnDisk(const char* path);

// Whether the access rule is in one of kAccessRulePaths.
bool AccessRuleInstalled(const FileExists& exists = FileExistsOnDisk);

// One line on why a device cannot be opened and what mends it; empty when
// `error` is not about access rights. Access denied advises installing the
// access rule, or, when it is installed, names what else denies access (a
// session that is not the seat's, the user's groups) and how to check.
std::string AccessAdvice(int error, bool access_rule_installed);

// One line of the device list: number, serial number, product description,
// USB ID, bus and port path, and whether this user may open the device (and
// if not, why). The strings are quoted, and their bytes that are not
// printable ASCII show as \xNN (PrintableText).
std::string DescribeDevice(std::uint32_t number, const UsbDeviceEntry& device, bool access_rule_installed);

// Sorts by bus number, then port path.
void SortByBusAndPort(std::vector<UsbDeviceEntry>& devices);

class NativeUsb final : public DeviceLibrary {
 public:
  // Says what went wrong at the USB level (the libusb error name): the
  // program writes it to stderr as it is, so device text in it is escaped.
  using Diagnostics = std::function<void(const std::string&)>;

  NativeUsb(std::unique_ptr<UsbTransport> transport, std::vector<UsbId> ids,
            Diagnostics diagnostics = {});
  ~NativeUsb() override;
  NativeUsb(const NativeUsb&) = delete;
  NativeUsb& operator=(const NativeUsb&) = delete;

  int GetNumDevices(std::uint32_t& count) override;
  int GetProductString(std::uint32_t device, std::span<std::uint8_t, kProductStringBufferSize> buffer,
                       std::uint32_t option) override;
  int SetTimeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) override;
  int Open(std::uint32_t device, Handle& handle) override;
  int Close(Handle handle) override;
  int Write(Handle handle, const std::uint8_t* buffer, std::uint32_t to_write,
            std::uint32_t& written) override;
  // More bytes than `to_read` fail the read (SI_READ_ERROR); `read` then
  // says how many came, of which only the first `to_read` are stored.
  int Read(Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read) override;
  // Fills every entry as Write then Read would, each controller's transfers
  // under way together: the write time-out and the read time-out both count
  // from the start of the exchange. Falls back to one after another where
  // the transport has no asynchronous transfers, a handle appears twice or
  // `length` exceeds one packet. `accept` is not needed: every entry is
  // exchanged and the caller judges them in order.
  std::size_t ExchangeAll(std::span<AxisTransfer> transfers, std::uint32_t length,
                          ReplyCheck accept = nullptr) override;
  std::string FailureAdvice() const override { return failure_advice_; }
  std::string DevicePort(std::uint32_t device) const override;

  // Where the access rule is looked for when an open is refused (the real
  // file system unless a test says otherwise).
  void SetFileExists(FileExists exists) { file_exists_ = std::move(exists); }

  // The list taken by the last count call, in device-number order.
  const std::vector<UsbDeviceEntry>& Devices() const { return devices_; }
  // The transport's error of the last count call (kTransportOk when it listed).
  int ListError() const { return list_error_; }

 private:
  static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);

  struct Controller {
    std::unique_ptr<UsbConnection> connection;
    // The exchange with every axis: made at open (null where the transport
    // has none), ended before the connection closes.
    std::unique_ptr<UsbBulkTransfer> out_transfer;
    std::unique_ptr<UsbBulkTransfer> in_transfer;
    std::uint8_t endpoint_out = 0;
    std::uint8_t endpoint_in = 0;
    bool gone = false;  // unplugged: every transfer fails at once
    // Where this controller stands in the exchange with every axis.
    std::array<std::uint8_t, kBulkPacketSize> out_packet{};
    std::array<std::uint8_t, kBulkPacketSize> in_packet{};
    // The reply as its packets arrive: its first bytes, and how many came.
    std::array<std::uint8_t, kBulkPacketSize> reply{};
    std::uint32_t arrived = 0;
    std::size_t entry = kNoEntry;
    bool out_waiting = false;  // submitted, its end not yet taken in
    bool in_waiting = false;
    bool out_cancelled = false;
    bool in_cancelled = false;
    int out_error = kTransportOk;
    std::uint32_t out_count = 0;
    int in_error = kTransportOk;
  };

  Controller* Find(Handle handle);
  // The status of a read of `length` bytes whose last transfer ended with
  // `error` once `arrived` bytes had come in all.
  int ReadEnded(Controller& controller, int error, std::uint32_t arrived, std::uint32_t length);
  void ForgetTransfers(Controller& controller);
  // The parts of ExchangeAll: put every transfer on the bus, handle what
  // ends until nothing is under way, then fill the entries in order.
  bool StartExchanges(std::span<AxisTransfer> transfers, std::uint32_t length);
  void WaitForExchanges(std::span<AxisTransfer> transfers, std::uint32_t length);
  // Takes in the transfers of `controller` that have ended; true while any
  // is still under way.
  bool TakeEnded(Controller& controller, std::uint32_t length);
  // Cancels what is still under way in one direction (the other's deadline
  // may lie later).
  void CancelUnderWay(std::span<AxisTransfer> transfers, bool out);
  void FinishExchange(AxisTransfer& t, Controller& controller, std::uint32_t length);
  // Reports a failed transfer and returns its status: I/O failed for a
  // device that is gone or an I/O error, `other_status` for the rest.
  int TransferFailed(Controller& controller, const char* what, int error, int other_status);
  void Report(const std::string& message) const;

  std::unique_ptr<UsbTransport> transport_;
  std::vector<UsbId> ids_;
  Diagnostics diagnostics_;
  std::vector<UsbDeviceEntry> devices_;
  int list_error_ = kTransportOk;
  // Handle h is controllers_[h - 1]; closed slots stay empty, so a handle is
  // never reused within a run.
  std::vector<Controller> controllers_;
  std::uint32_t read_timeout_ms_ = kDefaultTimeoutMs;
  std::uint32_t write_timeout_ms_ = kDefaultTimeoutMs;
  std::string failure_advice_;
  FileExists file_exists_ = FileExistsOnDisk;
};

}  // namespace stage::usb
