// One axis's exchange of the polling cycle, without any window: flip the
// toggle bit, build the command packet in the tables' transfer buffer, write
// it, read the reply into the same buffer and decode it. The windows read the
// sliders before and show the result after. It sits above both the device
// library (usb/) and the axis tables (axis/), which know nothing of it.
#pragma once

#include <cstdint>

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
};

// Performs the exchange for `axis`: updates ToggleBit, ParamFrameMarker,
// UsbBuffer and LastUsbStatus exactly as one tick does for that axis.
ExchangeResult ExchangeAxis(modKVT_USB& tables, AxisIndex axis, const usb::TuningValues& tuning,
                            usb::DeviceLibrary& devices, ExchangeObserver* observer = nullptr);

}  // namespace stage::poll
