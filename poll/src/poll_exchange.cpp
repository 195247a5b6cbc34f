#include "stage/poll/poll_exchange.h"

#include <algorithm>
#include <optional>
#include <span>

namespace stage::poll {
namespace {

using usb::AxisTransfer;
using usb::CommandFields;
using usb::DecodeStatus;
using usb::EncodeCommand;
using usb::EncodeResult;
using usb::kFrameA;
using usb::kFrameB;
using usb::kPacketSize;
using usb::kToggleBit;
using usb::Packet;
using usb::TuningValues;

Packet FirstBytes(const std::array<std::uint8_t, 17>& buffer) {
  Packet packet{};
  std::copy_n(buffer.begin(), kPacketSize, packet.begin());
  return packet;
}

// Flips the axis's toggle bit and builds its command packet; the frame marker
// moves on only for a packet that can travel.
std::optional<Packet> PrepareCommand(modKVT_USB& tables, AxisIndex axis, const TuningValues& tuning) {
  const auto i = static_cast<std::size_t>(axis);
  tables.ToggleBit[i] = tables.ToggleBit[i] == 0 ? kToggleBit : 0;

  CommandFields fields;
  fields.control_byte = tables.ControlByte(axis);
  fields.config_bits = tables.ConfigBits(axis);
  fields.frame_marker = tables.ParamFrameMarker[i];
  fields.tuning = tuning;
  fields.target_counts = tables.TargetCounts[i];
  const EncodeResult encoded = EncodeCommand(fields);
  if (!encoded.packet) return std::nullopt;
  tables.ParamFrameMarker[i] = fields.frame_marker == kFrameA ? kFrameB : kFrameA;
  return *encoded.packet;
}

// What one axis's finished transfers came to; `t.reply` holds what was read.
// Failure is judged on the whole status, not on the 16 bits kept in
// LastUsbStatus: a status such as 0x10000 must not pass for success.
ExchangeResult Assess(const AxisTransfer& t) {
  ExchangeResult result;
  if (t.write_status != 0 || t.written != kTransferLength) {
    result.outcome = ExchangeResult::Outcome::kWriteFailed;
    result.status = t.write_status;
    result.count = t.written;
    return result;
  }
  if (t.read_status != 0 || t.read != kTransferLength) {
    result.outcome = ExchangeResult::Outcome::kReadFailed;
    result.status = t.read_status;
    result.count = t.read;
  } else if (const auto reading = DecodeStatus(std::span<const std::uint8_t, kPacketSize>(t.reply, kPacketSize))) {
    result.reading = *reading;
  } else {
    result.outcome = ExchangeResult::Outcome::kInvalidReply;
    result.count = t.read;
  }
  return result;
}

// Assess, keeping each call's status in LastUsbStatus as the tick does.
ExchangeResult Judge(modKVT_USB& tables, const AxisTransfer& t) {
  tables.StoreStatus(t.write_status);
  if (t.write_status == 0 && t.written == kTransferLength) tables.StoreStatus(t.read_status);
  return Assess(t);
}

// Whether the reply buffer holds what a read brought. An overlapping backend
// may have read even though the write failed.
bool ReadCounts(const AxisTransfer& t) {
  return t.read_done && t.write_status == 0 && t.written == kTransferLength;
}

// Undoes PrepareCommand for an axis whose packet was built but whose
// exchange does not count: the tick ended at an axis before it.
void ForgetCommand(modKVT_USB& tables, AxisIndex axis) {
  const auto i = static_cast<std::size_t>(axis);
  tables.ToggleBit[i] = tables.ToggleBit[i] == 0 ? kToggleBit : 0;
  tables.ParamFrameMarker[i] = tables.ParamFrameMarker[i] == kFrameA ? kFrameB : kFrameA;
}

bool Decodes(const std::uint8_t* reply, std::uint32_t length) {
  return length >= kPacketSize && DecodeStatus(std::span<const std::uint8_t, kPacketSize>(reply, kPacketSize)).has_value();
}

ExchangeResult NotEncodable() {
  ExchangeResult result;
  result.outcome = ExchangeResult::Outcome::kNotEncodable;
  return result;
}

}  // namespace

ExchangeResult ExchangeAxis(modKVT_USB& tables, AxisIndex axis, const TuningValues& tuning,
                            usb::DeviceLibrary& devices, ExchangeObserver* observer) {
  const std::optional<Packet> command = PrepareCommand(tables, axis, tuning);
  if (!command) {
    const ExchangeResult result = NotEncodable();
    if (observer != nullptr) {
      observer->OnExchange(axis, Packet{}, Packet{}, result);
      observer->OnTickFailed();
    }
    return result;
  }
  std::copy(command->begin(), command->end(), tables.UsbBuffer.begin());

  AxisTransfer t;
  t.handle = tables.DeviceHandle[static_cast<std::size_t>(axis)];
  t.command = tables.UsbBuffer.data();
  t.reply = tables.UsbBuffer.data();
  t.write_status = devices.Write(t.handle, t.command, kTransferLength, t.written);
  if (t.write_status == 0 && t.written == kTransferLength) {
    FillBytes(tables.UsbBuffer, 0, 16);
    t.read_done = true;
    t.read_status = devices.Read(t.handle, t.reply, kTransferLength, t.read);
  }
  const ExchangeResult result = Judge(tables, t);
  if (observer != nullptr) {
    observer->OnExchange(axis, *command, t.read_done ? FirstBytes(tables.UsbBuffer) : Packet{}, result);
    if (result.outcome != ExchangeResult::Outcome::kOk) observer->OnTickFailed();
  }
  return result;
}

void AllAxesExchange::Resize(std::size_t axes) {
  if (tuning.size() == axes) return;
  tuning.resize(axes);
  commands.resize(axes);
  replies.resize(axes);
  transfers.resize(axes);
  results.resize(axes);
}

std::span<const ExchangeResult> ExchangeAllAxes(modKVT_USB& tables, AllAxesExchange& exchange,
                                                usb::DeviceLibrary& devices, ExchangeObserver* observer) {
  const auto axes = static_cast<std::size_t>(tables.AxisCount) + 1;
  exchange.Resize(axes);

  // Every command first: a backend may put them all on the wire at once.
  std::size_t prepared = 0;
  for (; prepared < axes; ++prepared) {
    const auto axis = static_cast<AxisIndex>(prepared);
    const std::optional<Packet> command = PrepareCommand(tables, axis, exchange.tuning[prepared]);
    if (!command) break;
    exchange.commands[prepared] = *command;
    FillBytes(exchange.replies[prepared], 0, 16);
    AxisTransfer& t = exchange.transfers[prepared];
    t = AxisTransfer{};
    t.handle = tables.DeviceHandle[prepared];
    t.command = exchange.commands[prepared].data();
    t.reply = exchange.replies[prepared].data();
  }
  const std::size_t ran =
      prepared == 0 ? 0
                    : std::min(prepared, devices.ExchangeAll(std::span(exchange.transfers.data(), prepared),
                                                             kTransferLength, &Decodes));

  // Judged in axis order, as one exchange after another would be: the first
  // failure ends the tick and nothing after it counts.
  std::size_t judged = 0;
  while (judged < ran) {
    const auto axis = static_cast<AxisIndex>(judged);
    const AxisTransfer& t = exchange.transfers[judged];
    ExchangeResult& result = exchange.results[judged] = Judge(tables, t);
    // The shared buffer ends as the one-by-one exchange leaves it.
    const bool read_counts = ReadCounts(t);
    if (read_counts) {
      tables.UsbBuffer = exchange.replies[judged];
    } else {
      std::copy(exchange.commands[judged].begin(), exchange.commands[judged].end(), tables.UsbBuffer.begin());
    }
    if (observer != nullptr) {
      observer->OnExchange(axis, exchange.commands[judged], read_counts ? FirstBytes(tables.UsbBuffer) : Packet{},
                           result);
    }
    ++judged;
    if (result.outcome != ExchangeResult::Outcome::kOk) {
      if (observer != nullptr) {
        // Later axes the backend exchanged count for nothing, but their
        // packets went on the wire: the observer sees each as it came out.
        for (std::size_t later = judged; later < ran; ++later) {
          const AxisTransfer& other = exchange.transfers[later];
          observer->OnExchange(static_cast<AxisIndex>(later), exchange.commands[later],
                               ReadCounts(other) ? FirstBytes(exchange.replies[later]) : Packet{}, Assess(other));
        }
        observer->OnTickFailed();
      }
      for (std::size_t later = judged; later < prepared; ++later) ForgetCommand(tables, static_cast<AxisIndex>(later));
      return {exchange.results.data(), judged};
    }
  }
  if (ran < prepared) {
    // A backend that stopped short without a failure: the first axis it left
    // out counts as a write of nothing.
    for (std::size_t later = judged + 1; later < prepared; ++later) ForgetCommand(tables, static_cast<AxisIndex>(later));
    ExchangeResult& result = exchange.results[judged] = ExchangeResult{};
    result.outcome = ExchangeResult::Outcome::kWriteFailed;
    if (observer != nullptr) {
      observer->OnExchange(static_cast<AxisIndex>(judged), exchange.commands[judged], Packet{}, result);
      observer->OnTickFailed();
    }
    return {exchange.results.data(), judged + 1};
  }
  if (prepared < axes) {
    exchange.results[prepared] = NotEncodable();
    if (observer != nullptr) {
      observer->OnExchange(static_cast<AxisIndex>(prepared), Packet{}, Packet{}, exchange.results[prepared]);
      observer->OnTickFailed();
    }
    return {exchange.results.data(), prepared + 1};
  }
  return {exchange.results.data(), axes};
}

}  // namespace stage::poll
