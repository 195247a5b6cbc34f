// One axis's exchange of the polling cycle, without any window: flip the
// toggle bit, build the command packet in the tables' transfer buffer, write
// it, read the reply into the same buffer and decode it. The windows read the
// sliders before and show the result after. It sits above both the device
// library (usb/) and the axis tables (axis/), which know nothing of it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/usb/device_library.h"
#include "stage/usb/packet_codec.h"

namespace stage::poll {

inline constexpr std::uint32_t kTransferLength = 12;

struct ExchangeResult {
  enum class Outcome {
    kOk,
    kWriteFailed,     // status != 0 or count != 12; nothing was read
    kReadFailed,      // status != 0 or count != 12
    kInvalidReply,    // 12 bytes read, but byte 3 or byte 11 is 128 or more
    kNotEncodable,    // the axis's target or speed cannot travel; nothing was written
  };
  Outcome outcome = Outcome::kOk;
  int status = 0;           // the failing call's status (also in LastUsbStatus)
  std::uint32_t count = 0;  // the failing transfer's byte count
  usb::StatusReading reading;    // valid when outcome == kOk
};

// Sees every exchange as it happens: for traces and scopes.
class ExchangeObserver {
 public:
  virtual ~ExchangeObserver() = default;
  // `command` is what was written (or would have been), `reply` what was read
  // (all zero when the exchange stopped before the read).
  virtual void OnExchange(AxisIndex axis, const usb::Packet& command, const usb::Packet& reply,
                          const ExchangeResult& result) = 0;
  // A tick ended in a failure and the program ends next. Called once
  // OnExchange has seen every exchange of the tick that went on the wire:
  // an overlapping backend may have exchanged axes after the failing one.
  virtual void OnTickFailed() {}
};

// Performs the exchange for `axis`: updates ToggleBit, ParamFrameMarker,
// UsbBuffer and LastUsbStatus exactly as one tick does for that axis.
ExchangeResult ExchangeAxis(modKVT_USB& tables, AxisIndex axis, const usb::TuningValues& tuning,
                            usb::DeviceLibrary& devices, ExchangeObserver* observer = nullptr);

// What one tick's exchange with every axis works in, kept from tick to tick
// so that a tick allocates nothing once the axis count is known.
struct AllAxesExchange {
  // Sizes every list for `axes` axes; does nothing when they already are.
  void Resize(std::size_t axes);

  std::vector<usb::TuningValues> tuning;  // in: each axis's slider values
  std::vector<ExchangeResult> results;
  std::vector<usb::Packet> commands;
  std::vector<std::array<std::uint8_t, 17>> replies;
  std::vector<usb::AxisTransfer> transfers;
};

// One tick's exchanges with axes 0..AxisCount through devices.ExchangeAll,
// with `exchange.tuning` filled by the caller: every command is built, the
// backend exchanges them, and the results are judged in axis order. Returns
// the results up to and including the first failure, which ends the tick:
// the tables (toggle bits, frame markers, UsbBuffer, LastUsbStatus) come out
// as ExchangeAxis for each axis in turn would leave them. The observer sees
// every exchange the backend made, in axis order, each with its own outcome:
// after a failure, those of later axes that went on the wire as well (they
// count for nothing else), then OnTickFailed.
std::span<const ExchangeResult> ExchangeAllAxes(modKVT_USB& tables, AllAxesExchange& exchange,
                                                usb::DeviceLibrary& devices, ExchangeObserver* observer = nullptr);

}  // namespace stage::poll
