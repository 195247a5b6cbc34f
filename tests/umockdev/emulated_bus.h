// Emulated controllers on an emulated USB bus, for libusb under umockdev's
// preload: each controller is a sysfs device with its descriptors and a
// device node whose usbfs ioctls a model answers the way a controller does.
// It hands out string descriptors, lets a kernel driver be detached and
// re-attached, keeps the data path silent until the vendor request enables
// it, answers every 12-byte command with a 12-byte status packet (at once, or
// after a reply latency of its own), keeps any number of transfers under way
// on every controller, completes discarded transfers (libusb's time-outs and
// cancels) and can be unplugged.
//
// Create the bus before libusb starts, or libusb never sees it. The model
// runs on umockdev's worker thread; every method here is thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace stage::test {

struct EmulatedController {
  std::string serial;
  std::uint8_t bus = 1;
  std::vector<std::uint8_t> port_path{1};  // the sysfs name is bus-port.port...
  std::uint16_t vendor_id = 0x10C4;
  std::uint16_t product_id = 0xEA61;
  bool kernel_driver_bound = true;  // the kernel's serial driver holds interface 0
  bool locked = false;               // its device node may not be opened (mode 000)
  bool busy = false;                 // another program holds interface 0: a claim fails (EBUSY)
  int reply_form = 0;                // an EmulatedBus::ReplyForm, as SetReplyForm sets it later
};

class EmulatedBus {
 public:
  explicit EmulatedBus(std::vector<EmulatedController> controllers);
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus&) = delete;
  EmulatedBus& operator=(const EmulatedBus&) = delete;

  // What controller `index` saw, in order: "getdriver", "detach 0",
  // "claim 0", "control 40 02 0002", "string 3", "out 12", "in", "reply 12",
  // "discard", "release 0", "attach 0", "unplugged".
  std::vector<std::string> Events(std::size_t index) const;
  void ClearEvents(std::size_t index);
  // Also writes every event as "<serial> <event>" lines to `path`, flushed
  // as they happen (for scripts that drive a program on this bus). With
  // `times`, each line starts with the monotonic clock in microseconds
  // (CLOCK_MONOTONIC, as Python's time.monotonic) and every "out" event
  // carries the command bytes in hex: "<us> <serial> out 12 <hex>".
  void LogTo(const std::string& path, bool times = false);

  // How long after its command a reply becomes ready to be read; none by
  // default. Meanwhile the controller takes other commands and transfers.
  void SetReplyLatency(std::size_t index, std::chrono::microseconds latency);

  // Off: commands get no reply (a silent controller). On by default.
  void SetAutoReply(std::size_t index, bool on);
  // How each automatic reply travels: one 12-byte packet as a working
  // controller sends it, or malformed as a faulty controller or link
  // delivers it.
  enum class ReplyForm {
    kOnce,            // the 12 bytes
    kTwice,           // the 12 bytes twice in one 24-byte packet
    kPaddedTo64,      // the 12 bytes and 52 zero bytes: a full packet
    kOverflow,        // a 100-byte packet, longer than the endpoint's 64
  };
  void SetReplyForm(std::size_t index, ReplyForm form);
  // One IN packet to deliver as it is, before any automatic reply.
  void QueueInPacket(std::size_t index, std::vector<std::uint8_t> bytes);
  // Pulls the controller out: pending transfers end, later calls fail.
  // Pulling it out again does nothing.
  void Unplug(std::size_t index);

  // Whether the client holds interface 0 of controller `index` claimed.
  bool Claimed(std::size_t index) const;

  std::size_t Size() const;
  const EmulatedController& Controller(std::size_t index) const;

  struct Model;  // one per controller, answered on umockdev's thread
  struct State;  // the testbed and the models

 private:
  std::unique_ptr<State> state_;
};

}  // namespace stage::test
