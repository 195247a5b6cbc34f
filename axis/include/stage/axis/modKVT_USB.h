// The shared axis tables: every value that more than one window touches.
// Plain data, read and written directly by the windows and the polling cycle;
// one instance per program run, handed to the windows by reference.
//
// Texts here are 8-bit strings, one byte per character in the controllers'
// single-byte code page (Latin-1); the windows convert them for display.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "stage/usb/device_library.h"

namespace stage {

// Axis index: axis k is the device library's device k.
using AxisIndex = std::int32_t;

// The most controllers the console takes. A real stage has a handful of
// axes; a library that reports more is treated like a failed count, before
// anything is allocated for them (2^31 controllers would exhaust memory, a
// thousand would make a start-up window wider than the window system allows).
inline constexpr std::uint32_t kMaxControllers = 64;

// NOLINTNEXTLINE(readability-identifier-naming): the module's established name
struct modKVT_USB {
  // Scalars.
  std::int32_t DeviceCount = 0;  // as reported by the count call
  std::int32_t AxisCount = 0;    // highest axis index = DeviceCount - 1
  std::int16_t LastUsbStatus = 0;  // low 16 bits of the latest library status
  std::array<std::uint8_t, 17> UsbBuffer{};  // the one transfer buffer; bytes 0..11 travel

  // Per-axis tables, indices 0..AxisCount, allocated once by AllocateAxisTables.
  std::vector<usb::Handle> DeviceHandle;
  std::vector<std::string> AxisName;  // exactly 4 characters; 4 blanks when allocated
  std::vector<double> CountsPerMicron;
  std::vector<std::string> UnitSuffix;  // " um", or " En" when the factor is exactly 1
  std::vector<double> TargetCounts;
  // What names a controller to the operator in the start-up window's column
  // header and in every fatal message: its product (serial-number) string as
  // the start-up window read it, and where it is plugged in ("1-2.3": bus,
  // then port path; empty when the backend cannot tell).
  std::vector<std::string> ProductString;
  std::vector<std::string> DevicePort;

  // Command values: each element 0 or its own bit value.
  std::vector<std::uint8_t> GoBit;            // 1
  std::vector<std::uint8_t> StopBit;          // 2
  std::vector<std::uint8_t> ZeroBit;          // 4
  std::vector<std::uint8_t> ActiveBit;        // 8
  std::vector<std::uint8_t> SpeedModeBit;     // 16
  std::vector<std::uint8_t> PositionModeBit;  // 32
  std::vector<std::uint8_t> RelMoveBit;       // 64
  std::vector<std::uint8_t> ToggleBit;        // 128

  // Configuration values: each element 0 or its own bit value.
  std::vector<std::uint8_t> LimitActiveHiBit;  // 1
  std::vector<std::uint8_t> RevLimitBit;       // 2
  std::vector<std::uint8_t> RevPolarityBit;    // 4
  std::vector<std::uint8_t> CancelOnErrorBit;  // 8

  std::vector<std::uint8_t> ParamFrameMarker;  // 144 or 96: the frame of the axis's next packet

  // Creates every per-axis table for indices 0..axis_count with fresh
  // contents (zeros, empty texts). Happens once per run: a second call
  // throws std::logic_error, as does a negative axis_count.
  void AllocateAxisTables(AxisIndex axis_count);
  bool TablesAllocated() const { return allocated_; }

  // Sum of the eight command values of an axis: the packet's control byte.
  std::uint8_t ControlByte(AxisIndex axis) const;
  // Sum of the four configuration values of an axis (0..15).
  std::uint8_t ConfigBits(AxisIndex axis) const;

  // Stores the low 16 bits of a library status in LastUsbStatus and returns it.
  std::int16_t StoreStatus(int status);

 private:
  bool allocated_ = false;
};

// Sets bytes[0..n-1] to value; n is clamped to 0..the span's size.
void FillBytes(std::span<std::uint8_t> bytes, std::uint8_t value, std::int32_t n);

// The text a product-string buffer holds: the bytes before the first zero,
// at most 256 of them, one character per byte (byte 256 is never taken, so a
// full 257-byte buffer without a zero still gives 256 characters). Shorter
// buffers are read only as far as they go.
std::string BufferToString(std::span<const std::uint8_t> bytes);

// The axis name derived from a product string: its fourth character padded
// with three blanks, or four blanks when the string is shorter than four.
std::string AxisNameFromProductString(const std::string& product_string);

}  // namespace stage
