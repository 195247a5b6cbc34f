// Built-in simulated controllers: a DeviceLibrary backend whose devices live
// in this process. Each open controller answers every command packet with a
// status packet from its axis model. Faults are part of the configuration, so
// a test (or an operator's scenario) reads "given this fault, the console
// shows that".
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stage/sim/axis_model.h"
#include "stage/sim/sim_clock.h"
#include "stage/usb/device_library.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {

enum class TransferOp { kWrite, kRead };

// A fault played on one transfer.
struct TransferFault {
  enum class Kind {
    kStatus,         // the call returns `status` (count as given by `count`)
    kShortCount,     // status 0 but the count reported is `count` (< 12)
    kTimeout,        // a read that waits the whole read time-out, then SI_READ_TIMED_OUT
    kVerbatimReply,  // a read that succeeds with `reply` as the 12 bytes
  };
  TransferOp op = TransferOp::kWrite;
  std::optional<std::uint32_t> device;  // empty: any device
  // The fault fires on the n-th transfer of this op (1-based), counted over
  // the matching device(s) since the simulator was made...
  std::uint32_t nth = 1;
  // ...or, when set, on the first matching transfer at or after this time
  // since the first open (an operator's scenario: "after 5 s").
  std::optional<std::chrono::nanoseconds> after;
  bool repeat = false;  // keep firing on every later matching transfer
  Kind kind = Kind::kStatus;
  int status = usb::SI_DEVICE_IO_FAILED;
  std::uint32_t count = 0;
  usb::Packet reply{};
};

struct SimulatorConfig {
  std::uint32_t controller_count = 3;
  // Product string of each controller; missing entries get the default
  // "SimX", "SimY", "SimZ", ... so the axis names are X, Y, Z, U, V, W, ...
  // A string may hold any bytes and any length: the library copies at most
  // 256 bytes and writes a terminating zero only when there is room for it
  // within those 256 (a 256-byte string arrives without one).
  std::vector<std::string> product_strings;

  // Faults at start-up.
  std::optional<int> count_status;          // the count call fails with this status
  std::optional<std::uint32_t> reported_count;  // the count call succeeds with this count
  struct OpenFailure {
    std::uint32_t device = 0;
    int status = usb::SI_DEVICE_NOT_FOUND;
  };
  std::vector<OpenFailure> open_failures;
  std::optional<int> product_string_status;  // every product-string call fails this way (buffer untouched)

  std::vector<TransferFault> transfer_faults;

  // Makes the axis model of each controller; empty gives the default model.
  std::function<std::unique_ptr<AxisModel>(std::uint32_t device)> model_factory;
};

// Every call the library received, for tests that check call order.
struct CallRecord {
  enum class Call { kGetNumDevices, kGetProductString, kSetTimeouts, kOpen, kClose, kWrite, kRead };
  Call call;
  std::uint32_t device = 0;  // device number (for calls by handle: the device it belongs to, or 0xFFFFFFFF)
  int status = 0;
};

class SimulatedControllers final : public usb::DeviceLibrary {
 public:
  explicit SimulatedControllers(SimulatorConfig config,
                                std::shared_ptr<SimClock> clock = std::make_shared<SteadyClock>());
  ~SimulatedControllers() override;

  int GetNumDevices(std::uint32_t& count) override;
  int GetProductString(std::uint32_t device,
                       std::span<std::uint8_t, usb::kProductStringBufferSize> buffer,
                       std::uint32_t option) override;
  int SetTimeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) override;
  int Open(std::uint32_t device, usb::Handle& handle) override;
  int Close(usb::Handle handle) override;
  int Write(usb::Handle handle, const std::uint8_t* buffer, std::uint32_t to_write,
            std::uint32_t& written) override;
  int Read(usb::Handle handle, std::uint8_t* buffer, std::uint32_t to_read,
           std::uint32_t& read) override;

  // Observation for tests.
  const std::vector<CallRecord>& Calls() const;
  // Every command packet device `device` has received, oldest first.
  const std::vector<usb::Packet>& CommandsReceived(std::uint32_t device) const;
  bool IsOpen(std::uint32_t device) const;
  std::uint32_t ReadTimeoutMs() const;
  AxisModel& Model(std::uint32_t device);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace stage::sim
