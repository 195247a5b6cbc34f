// The console's view of the controllers' USB device library: seven calls,
// each returning the vendor's status (0 = success). Everything above this
// header talks to controllers only through DeviceLibrary, so a backend is a
// subclass: the vendor-compatible shared library (SharedLibrary), the built-in
// simulated controllers (sim::SimulatedControllers) and the native USB
// backend (NativeUsb). A decorator that forwards every call can observe or
// time each exchange without the windows knowing.
#pragma once

#include <cstdint>
#include <span>
#include <string>

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

// An open controller. 0 is never a valid handle.
using Handle = std::uintptr_t;

// The product-string call fills a buffer of this size: 256 characters and
// room for a terminating zero.
inline constexpr std::size_t kProductStringBufferSize = 257;

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
};

}  // namespace stage::usb
