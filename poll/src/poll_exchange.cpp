#include "stage/poll/poll_exchange.h"

#include <algorithm>
#include <span>

namespace stage::poll {
namespace {

using usb::CommandFields;
using usb::DecodeStatus;
using usb::EncodeCommand;
using usb::EncodeResult;
using usb::Handle;
using usb::kFrameA;
using usb::kFrameB;
using usb::kPacketSize;
using usb::kToggleBit;
using usb::Packet;


Packet FirstBytes(const std::array<std::uint8_t, 17>& buffer) {
  Packet packet{};
  std::copy_n(buffer.begin(), kPacketSize, packet.begin());
  return packet;
}

}  // namespace

ExchangeResult ExchangeAxis(modKVT_USB& tables, AxisIndex axis, const usb::TuningValues& tuning,
                            usb::DeviceLibrary& devices, ExchangeObserver* observer) {
  const auto i = static_cast<std::size_t>(axis);
  ExchangeResult result;
  std::uint32_t count = 0;

  tables.ToggleBit[i] = tables.ToggleBit[i] == 0 ? kToggleBit : 0;

  CommandFields fields;
  fields.control_byte = tables.ControlByte(axis);
  fields.config_bits = tables.ConfigBits(axis);
  fields.frame_marker = tables.ParamFrameMarker[i];
  fields.tuning = tuning;
  fields.target_counts = tables.TargetCounts[i];
  const EncodeResult encoded = EncodeCommand(fields);
  if (!encoded.packet) {
    result.outcome = ExchangeResult::Outcome::kNotEncodable;
    if (observer != nullptr) observer->OnExchange(axis, Packet{}, Packet{}, result);
    return result;
  }
  const Packet& command = *encoded.packet;
  std::copy(command.begin(), command.end(), tables.UsbBuffer.begin());
  tables.ParamFrameMarker[i] = fields.frame_marker == kFrameA ? kFrameB : kFrameA;

  // Failure is judged on the whole status, not on the 16 bits kept in
  // LastUsbStatus: a status such as 0x10000 must not pass for success.
  const Handle handle = tables.DeviceHandle[i];
  int status = devices.Write(handle, tables.UsbBuffer.data(), kTransferLength, count);
  tables.StoreStatus(status);
  if (status != 0 || count != kTransferLength) {
    result.outcome = ExchangeResult::Outcome::kWriteFailed;
    result.status = status;
    result.count = count;
    if (observer != nullptr) observer->OnExchange(axis, command, Packet{}, result);
    return result;
  }

  count = 0;
  FillBytes(tables.UsbBuffer, 0, 16);
  status = devices.Read(handle, tables.UsbBuffer.data(), kTransferLength, count);
  tables.StoreStatus(status);
  if (status != 0 || count != kTransferLength) {
    result.outcome = ExchangeResult::Outcome::kReadFailed;
    result.status = status;
    result.count = count;
  } else if (const auto reading = DecodeStatus(std::span<const std::uint8_t, kPacketSize>(
                 tables.UsbBuffer.data(), kPacketSize))) {
    result.reading = *reading;
  } else {
    result.outcome = ExchangeResult::Outcome::kInvalidReply;
    result.count = count;
  }
  if (observer != nullptr) observer->OnExchange(axis, command, FirstBytes(tables.UsbBuffer), result);
  return result;
}

}  // namespace stage::poll
