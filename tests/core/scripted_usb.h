// A scripted bus under the native USB backend: a device list, errors to
// return per request (for every controller, or for one by name), IN packets
// to deliver, a clock that moves only when a transfer waits, and one log of
// every request in the order it arrived. Transfers run synchronously or, for
// the exchange with every axis, asynchronously: submitted, then ended
// together by WaitForTransfers. A backend that waits on and on for
// transfers that nothing will end (a missed deadline, a missed cancel) fails
// the test: after `max_idle_waits` waits in a row every transfer under way
// is ended as cancelled, so the test goes on to its assertions instead of
// hanging.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "stage/usb/native_usb.h"

namespace stage::usb::test {

inline std::vector<std::uint8_t> Utf16(const std::u16string& text) {
  std::vector<std::uint8_t> bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFFU));
    bytes.push_back(static_cast<std::uint8_t>(unit >> 8U));
  }
  return bytes;
}

// `count` bytes counting up from `first`.
inline std::vector<std::uint8_t> Bytes(std::uint8_t first, std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

inline UsbDeviceEntry Controller(std::uint8_t bus, std::vector<std::uint8_t> ports, const std::u16string& serial) {
  UsbDeviceEntry entry;
  entry.id = kControllerUsbId;
  entry.bus = bus;
  entry.port_path = std::move(ports);
  entry.serial_utf16 = Utf16(serial);
  entry.product_utf16 = Utf16(u"USB servo controller");
  entry.endpoint_out = 0x01;
  entry.endpoint_in = 0x82;
  return entry;
}

// One answer of the scripted controller to a bulk IN transfer.
struct InPacket {
  std::vector<std::uint8_t> bytes;
  int error = kTransportOk;
  std::uint64_t delay_ms = 0;  // how long the transfer takes on the scripted clock
  // Held back until the transfer is cancelled, then ends it as given: bytes
  // that came just as the cancel was asked for.
  bool at_cancel = false;
};

class ScriptedBulkTransfer;

// The scripted bus: a device list, errors to return per request, IN packets
// to deliver, a clock that moves only when a transfer waits, and one log of
// every request in the order it arrived.
struct ScriptedBus {
  std::vector<UsbDeviceEntry> devices;
  int list_error = kTransportOk;
  // "open", "claim", "enable", "disable", "release", "out", "in", "submit";
  // "out B" is for controller B alone.
  std::map<std::string, int> errors;
  std::map<std::string, std::uint32_t> out_counts;  // by controller: a bulk OUT moves at most this much
  std::deque<InPacket> in_packets;                          // for whichever controller reads first
  std::map<std::string, std::deque<InPacket>> in_packets_of;  // by controller, before the shared ones
  std::uint64_t now_ms = 0;
  std::vector<std::string> log;
  int open_connections = 0;
  bool asynchronous = true;  // off: the transport has synchronous transfers only
  std::vector<ScriptedBulkTransfer*> under_way;
  std::uint32_t idle_waits = 0;  // in a row, without a transfer ending
  std::uint32_t max_idle_waits = 1000;

  int ErrorFor(const std::string& request, const std::string& controller = {}) const {
    auto found = errors.find(request + " " + controller);
    if (found == errors.end()) found = errors.find(request);
    return found == errors.end() ? kTransportOk : found->second;
  }
  std::uint32_t OutCount(const std::string& controller, std::uint32_t length) const {
    const auto found = out_counts.find(controller);
    return found == out_counts.end() ? length : std::min(length, found->second);
  }
  // The queue the next packet for `controller` comes from.
  std::deque<InPacket>& QueueOf(const std::string& controller) {
    const auto own = in_packets_of.find(controller);
    return own != in_packets_of.end() && !own->second.empty() ? own->second : in_packets;
  }
  // The next packet for `controller`, if it has one and, for a transfer
  // that is not `cancelled`, it is not held back for a cancel.
  bool TakePacket(const std::string& controller, InPacket& packet, bool cancelled = false) {
    std::deque<InPacket>& queue = QueueOf(controller);
    if (queue.empty() || queue.front().at_cancel != cancelled) return false;
    packet = queue.front();
    queue.pop_front();
    return true;
  }
  // Ends what can end, in the order submitted; the clock moves by the
  // slowest answer, or by `timeout_ms` when nothing could end.
  void EndTransfers(std::uint32_t timeout_ms);
};

// An asynchronous bulk transfer on the scripted bus: logged when submitted
// and cancelled, ended by the bus.
class ScriptedBulkTransfer final : public UsbBulkTransfer {
 public:
  ScriptedBulkTransfer(ScriptedBus& bus, std::string name, std::uint8_t endpoint)
      : bus_(bus), name_(std::move(name)), endpoint_(endpoint) {}
  ~ScriptedBulkTransfer() override { EXPECT_FALSE(UnderWay()) << name_ << ": a transfer destroyed under way"; }
  ScriptedBulkTransfer(const ScriptedBulkTransfer&) = delete;
  ScriptedBulkTransfer& operator=(const ScriptedBulkTransfer&) = delete;

  int Submit(std::uint8_t* data, std::uint32_t length) override {
    bus_.log.push_back(name_ + " submit " + Direction() + " " + std::to_string(endpoint_) + " " + std::to_string(length) +
                       " bytes");
    if (const int error = bus_.ErrorFor("submit", name_); error != kTransportOk) return error;
    data_ = data;
    length_ = length;
    cancelled_ = false;
    Started();
    bus_.under_way.push_back(this);
    return kTransportOk;
  }
  void Cancel() override {
    bus_.log.push_back(name_ + " cancel " + Direction());
    cancelled_ = true;
  }

  // Ends the transfer if the script lets it; how long it took, or -1.
  std::int64_t TryToEnd() {
    if (cancelled_) {
      InPacket late;
      if (In() && bus_.TakePacket(name_, late, true)) return Deliver(late);
      return End(kTransportInterrupted, 0, 0);
    }
    if (!In()) {
      const int error = bus_.ErrorFor("out", name_);
      return End(error, error == kTransportOk ? bus_.OutCount(name_, length_) : 0, 0);
    }
    if (const int error = bus_.ErrorFor("in", name_); error != kTransportOk) return End(error, 0, 0);
    InPacket answer;
    if (!bus_.TakePacket(name_, answer)) return -1;
    return Deliver(answer);
  }
  // Ends the transfer as cancelled: for a bus whose backend waits too long.
  void ForceEnd() { End(kTransportInterrupted, 0, 0); }

 private:
  std::int64_t Deliver(const InPacket& answer) {
    EXPECT_LE(answer.bytes.size(), length_);
    std::copy(answer.bytes.begin(), answer.bytes.end(), data_);
    return End(answer.error, static_cast<std::uint32_t>(answer.bytes.size()), answer.delay_ms);
  }
  bool In() const { return (endpoint_ & 0x80U) != 0; }
  const char* Direction() const { return In() ? "in" : "out"; }
  std::int64_t End(int error, std::uint32_t transferred, std::uint64_t delay_ms) {
    Ended(error, transferred);
    return static_cast<std::int64_t>(delay_ms);
  }

  ScriptedBus& bus_;
  std::string name_;
  std::uint8_t endpoint_;
  std::uint8_t* data_ = nullptr;
  std::uint32_t length_ = 0;
  bool cancelled_ = false;
};

inline void ScriptedBus::EndTransfers(std::uint32_t timeout_ms) {
  log.emplace_back("wait");
  if (idle_waits >= max_idle_waits) {
    ADD_FAILURE() << "the backend waited " << idle_waits << " times in a row (until " << now_ms
                  << " ms on the scripted clock) for transfers that nothing ends: a deadline or a cancel was missed";
    for (ScriptedBulkTransfer* transfer : under_way) transfer->ForceEnd();
    under_way.clear();
    idle_waits = 0;
    return;
  }
  std::int64_t slowest = -1;
  std::erase_if(under_way, [&](ScriptedBulkTransfer* transfer) {
    const std::int64_t took = transfer->TryToEnd();
    slowest = std::max(slowest, took);
    return took >= 0;
  });
  idle_waits = slowest >= 0 ? 0 : idle_waits + 1;
  now_ms += slowest >= 0 ? static_cast<std::uint64_t>(slowest) : timeout_ms;
}

class ScriptedConnection final : public UsbConnection {
 public:
  ScriptedConnection(ScriptedBus& bus, std::string name) : bus_(bus), name_(std::move(name)) {
    ++bus_.open_connections;
  }
  ~ScriptedConnection() override {
    bus_.log.push_back(name_ + " close");
    --bus_.open_connections;
  }
  ScriptedConnection(const ScriptedConnection&) = delete;
  ScriptedConnection& operator=(const ScriptedConnection&) = delete;

  int ClaimInterface(std::uint8_t interface_number) override {
    bus_.log.push_back(name_ + " claim " + std::to_string(interface_number));
    return bus_.ErrorFor("claim");
  }
  int ReleaseInterface(std::uint8_t interface_number) override {
    bus_.log.push_back(name_ + " release " + std::to_string(interface_number));
    return bus_.ErrorFor("release");
  }
  int ControlOut(std::uint8_t request_type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                 std::uint32_t /*timeout_ms*/) override {
    char text[64];
    std::snprintf(text, sizeof text, " control %02X %02X %04X %04X", request_type, request, value, index);
    bus_.log.push_back(name_ + text);
    return bus_.ErrorFor(value == kDataPathEnable ? "enable" : "disable");
  }
  int BulkOut(std::uint8_t endpoint, const std::uint8_t* /*data*/, std::uint32_t length, std::uint32_t& transferred,
              std::uint32_t timeout_ms) override {
    bus_.log.push_back(name_ + " out " + std::to_string(endpoint) + " " + std::to_string(length) + " bytes, " +
                       std::to_string(timeout_ms) + " ms");
    const int error = bus_.ErrorFor("out", name_);
    transferred = error == kTransportOk ? bus_.OutCount(name_, length) : 0;
    return error;
  }
  int BulkIn(std::uint8_t endpoint, std::uint8_t* data, std::uint32_t length, std::uint32_t& transferred,
             std::uint32_t timeout_ms) override {
    bus_.log.push_back(name_ + " in " + std::to_string(endpoint) + " " + std::to_string(length) + " bytes, " +
                       std::to_string(timeout_ms) + " ms");
    transferred = 0;
    if (const int error = bus_.ErrorFor("in", name_); error != kTransportOk) return error;
    InPacket packet;
    if (!bus_.TakePacket(name_, packet)) {  // a silent controller: the transfer waits out its time-out
      bus_.now_ms += timeout_ms;
      return kTransportTimeout;
    }
    bus_.now_ms += packet.delay_ms;
    EXPECT_LE(packet.bytes.size(), length);
    std::copy(packet.bytes.begin(), packet.bytes.end(), data);
    transferred = static_cast<std::uint32_t>(packet.bytes.size());
    return packet.error;
  }
  std::unique_ptr<UsbBulkTransfer> NewBulkTransfer(std::uint8_t endpoint) override {
    if (!bus_.asynchronous) return nullptr;
    return std::make_unique<ScriptedBulkTransfer>(bus_, name_, endpoint);
  }

 private:
  ScriptedBus& bus_;
  std::string name_;
};

class ScriptedTransport final : public UsbTransport {
 public:
  explicit ScriptedTransport(ScriptedBus& bus) : bus_(bus) {}
  int ListDevices(std::span<const UsbId> ids, std::vector<UsbDeviceEntry>& devices) override {
    devices.clear();
    for (std::size_t i = 0; i < bus_.devices.size(); ++i) {
      if (std::find(ids.begin(), ids.end(), bus_.devices[i].id) == ids.end()) continue;
      devices.push_back(bus_.devices[i]);
      devices.back().key = i;
    }
    return bus_.list_error;
  }
  int Open(const UsbDeviceEntry& device, std::unique_ptr<UsbConnection>& connection) override {
    const std::string name = StringDescriptorText(device.serial_utf16);
    bus_.log.push_back(name + " open");
    if (const int error = bus_.ErrorFor("open"); error != kTransportOk) return error;
    connection = std::make_unique<ScriptedConnection>(bus_, name);
    return kTransportOk;
  }
  std::uint64_t NowMs() override { return bus_.now_ms; }
  int WaitForTransfers(std::uint32_t timeout_ms) override {
    bus_.EndTransfers(timeout_ms);
    return kTransportOk;
  }

 private:
  ScriptedBus& bus_;
};


}  // namespace stage::usb::test
