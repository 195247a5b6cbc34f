// The console's view of the controllers' USB device library: seven calls,
// each returning the vendor's status (0 = success). Everything above this
// header talks to controllers only through DeviceLibrary, so a backend is a
// subclass: the vendor-compatible shared library (SharedLibrary), the built-in
// simulated controllers (sim::SimulatedControllers) and the native USB
// backend (NativeUsb). A decorator that forwards every call can observe or
// time each exchange without the windows knowing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace stage::usb {

// Vendor status values. Backends may return others; callers only test for 0.
enum UsbStatus : int {
  SI_SUCCESS = 0x00,
  SI_INVALID_HANDLE = 0x01,
  SI_READ_ERROR = 0x02,
  SI_WRITE_ERROR = 0x04,
  SI_INVALID_PARAMETER = 0x06,
  SI_DEVICE_IO_FAILED = 0x08,
  SI_READ_TIMED_OUT = 0x0D,
  SI_WRITE_TIMED_OUT = 0x0E,
  SI_DEVICE_NOT_FOUND = 0xFF,
};

// The vendor's symbolic name for a status ("SI_READ_TIMED_OUT"), or its hex
// value for one the vendor does not define.
std::string UsbStatusName(int status);

// Device text (a serial number, a product description) made safe for a
// terminal: printable ASCII stays, every other byte and the backslash and
// double quote become \xNN, so a control character can neither act on the
// terminal nor pass for the console's own text.
std::string PrintableText(std::string_view bytes);

// An open controller. 0 is never a valid handle.
using Handle = std::uintptr_t;

// The product-string call fills a buffer of this size: 256 characters and
// room for a terminating zero.
inline constexpr std::size_t kProductStringBufferSize = 257;

// One controller's part in an exchange with every axis: `length` bytes of
// `command` written, then `length` bytes read into `reply`, and what each
// transfer reported. `read_done` is false when the read never ran.
struct AxisTransfer {
  Handle handle = 0;
  const std::uint8_t* command = nullptr;
  std::uint8_t* reply = nullptr;
  int write_status = 0;
  std::uint32_t written = 0;
  bool read_done = false;
  int read_status = 0;
  std::uint32_t read = 0;
};

class DeviceLibrary {
 public:
  virtual ~DeviceLibrary() = default;

  virtual int GetNumDevices(std::uint32_t& count) = 0;
  // Fills `buffer` with the zero-terminated product (serial-number) string of
  // device `device`; option 0 selects the serial-number string.
  virtual int GetProductString(std::uint32_t device,
                               std::span<std::uint8_t, kProductStringBufferSize> buffer,
                               std::uint32_t option) = 0;
  virtual int SetTimeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) = 0;
  virtual int Open(std::uint32_t device, Handle& handle) = 0;
  virtual int Close(Handle handle) = 0;
  // Synchronous transfers: block until done or timed out; `transferred` is
  // the byte count the library reports.
  virtual int Write(Handle handle, const std::uint8_t* buffer, std::uint32_t to_write,
                    std::uint32_t& written) = 0;
  virtual int Read(Handle handle, std::uint8_t* buffer, std::uint32_t to_read,
                   std::uint32_t& read) = 0;

  // One line for the operator naming the cause of the last failed open and
  // its fix (missing access rights, say), or empty when the backend has
  // nothing to add to the console's own message.
  virtual std::string FailureAdvice() const { return {}; }

  // Where device `device` of the last count is plugged in, as the operator
  // finds it (bus, then port path: "1-2.3"), or empty when the backend
  // cannot tell. Names a controller whose serial number cannot be read.
  virtual std::string DevicePort(std::uint32_t /*device*/) const { return {}; }

  // Tells a good reply from one that ends the tick.
  using ReplyCheck = bool (*)(const std::uint8_t* reply, std::uint32_t length);

  // One tick's transfers with every controller in `transfers`. The default
  // goes through them in order, a write then a read for each, through Write
  // and Read, and stops after the first that fails: a status other than 0, a
  // count other than `length`, or a reply that `accept` (when given) refuses.
  // No controller after it hears anything. Returns how many entries it went
  // through, the failing one included. A backend may override it to overlap
  // the transfers; it then fills every entry it returns the same way, and the
  // caller still judges them in order, the first failure ending the tick.
  virtual std::size_t ExchangeAll(std::span<AxisTransfer> transfers, std::uint32_t length,
                                  ReplyCheck accept = nullptr);
};

}  // namespace stage::usb
