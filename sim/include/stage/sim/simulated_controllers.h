// Built-in simulated controllers: a DeviceLibrary backend whose devices live
// in this process. Each open controller answers every command packet with a
// status packet from its axis model. Faults are part of the configuration, so
// a test (or an operator's scenario) reads "given this fault, the console
// shows that".
//
// How the simulated library answers, where the vendor leaves it open:
//  - Devices are numbered 0 .. controller_count-1 whatever count the count
//    call reports; any other number gives SI_DEVICE_NOT_FOUND.
//  - Every Open gives a fresh non-zero handle, valid until its Close; a
//    handle from before a Close stays invalid after a reopen. Opening a
//    device that is already open fails with SI_DEVICE_IO_FAILED. A failed
//    Open writes handle 0.
//  - Time-outs are 1000 ms each until SetTimeouts is called (the vendor's
//    default is "forever", which a simulator has no use for).
//  - Write takes exactly 12 bytes; any other size gives SI_INVALID_PARAMETER
//    with count 0 and reaches nobody. Read needs room for 12 bytes (a larger
//    buffer gets 12, a smaller one SI_INVALID_PARAMETER). A null buffer is
//    SI_INVALID_PARAMETER. An unknown or closed handle is SI_INVALID_HANDLE
//    with count 0.
//  - A written command goes to the axis model at once; the next Read returns
//    the model's status at the time of that Read. A second Write before the
//    Read replaces the pending reply (one reply per exchange). A Read with no
//    pending reply waits the read time-out and gives SI_READ_TIMED_OUT with
//    count 0. No call waits longer than the time-out it plays.
//  - Packets that do not decode are still received, recorded and answered:
//    what they mean is the model's business (the models flag an error).
//  - The product string is the same for every option value.
//  - Not thread-safe: like the console, one thread makes every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stage/sim/axis_model.h"
#include "stage/sim/servo_axis_model.h"
#include "stage/sim/sim_clock.h"
#include "stage/usb/device_library.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {

enum class TransferOp { kWrite, kRead };

// A fault played on one transfer (or, with `repeat`, on every transfer from
// then on). A transfer is a Write or Read on a valid handle with a valid
// buffer and size; the calls refused before that do not count.
struct TransferFault {
  enum class Kind {
    // The call returns `status` and reports `count` bytes. A read copies the
    // first min(count, 12) bytes of the reply into the buffer.
    kStatus,
    // The call returns 0 but reports `count` bytes (meant to be below 12);
    // a read copies the first min(count, 12) bytes of the reply.
    kShortCount,
    // The call waits its whole time-out (read or write time-out) and returns
    // SI_READ_TIMED_OUT or SI_WRITE_TIMED_OUT with count 0.
    kTimeout,
    // On a read: succeeds with `reply` as the 12 bytes. On a write: the write
    // succeeds and reaches the model as usual, but the reply the next read
    // returns is `reply` instead of the model's status.
    kVerbatimReply,
  };
  TransferOp op = TransferOp::kWrite;
  std::optional<std::uint32_t> device{};  // empty: any device
  // The fault fires on the nth matching transfer (1-based; 0 counts as 1).
  // Matching transfers are counted per fault over the device set it names,
  // since the simulator was made...
  std::uint32_t nth = 1;
  // ...or, when set, only those at or after this time since the first
  // successful open (nth = 1: the first transfer once the time has come).
  std::optional<std::chrono::nanoseconds> after{};
  bool repeat = false;  // keep firing on every later matching transfer
  Kind kind = Kind::kStatus;
  int status = usb::SI_DEVICE_IO_FAILED;
  std::uint32_t count = 0;
  usb::Packet reply{};
};
// A write that fails (kStatus, kShortCount, kTimeout) never reaches the
// model and is not among CommandsReceived; it leaves no reply pending. Every
// read fault consumes the pending reply, if there is one. When several faults
// fire on the same transfer, the first in transfer_faults is played; every
// fault counts the transfer all the same.

struct SimulatorConfig {
  std::uint32_t controller_count = 3;
  // Product string of each controller; missing entries get the default
  // "SimX", "SimY", "SimZ", "SimU", "SimV", "SimW", "SimA", "SimB", ... (the
  // fourth character is the axis name; after W the alphabet from A, wrapping).
  // A string may hold any bytes and any length: the library copies at most
  // 256 bytes and writes a terminating zero only when the string is shorter
  // than 256 (a 256-byte or longer string arrives without one).
  std::vector<std::string> product_strings{};

  // Faults at start-up.
  std::optional<int> count_status{};  // the count call fails with this status (count 0)
  std::optional<std::uint32_t> reported_count{};  // the count call succeeds with this count
  struct OpenFailure {
    std::uint32_t device = 0;
    int status = usb::SI_DEVICE_NOT_FOUND;
  };
  std::vector<OpenFailure> open_failures{};  // every open of that device fails
  std::optional<int> product_string_status{};  // every product-string call fails (buffer untouched)
  // The product-string call of these devices only fails with
  // SI_DEVICE_IO_FAILED (buffer untouched).
  std::vector<std::uint32_t> product_string_failures{};

  std::vector<TransferFault> transfer_faults{};

  // Makes the axis model of each controller; empty (or a null model) gives a
  // ServoAxisModel wired as axis_wiring says. A controller's model lives as
  // long as the simulator, across close and reopen (the controller keeps its
  // power).
  std::function<std::unique_ptr<AxisModel>(std::uint32_t device)> model_factory{};
  // How each controller's servo stage is wired and how far it travels;
  // missing entries get ServoWiring{}. Used only for the default model.
  std::vector<ServoWiring> axis_wiring{};

  // Keep every call and every command packet for Calls() and
  // CommandsReceived(). Tests want the history; a console that runs for days
  // must not grow without bound, so the program turns it off.
  bool record_history = true;
};

// The default product string of controller `device`: "SimX", "SimY", ...
std::string DefaultProductString(std::uint32_t device);

// Marks a call that concerns no device (count, time-outs) or an unknown handle.
inline constexpr std::uint32_t kNoDevice = 0xFFFFFFFF;

// Every call the library received, for tests that check call order.
struct CallRecord {
  enum class Call { kGetNumDevices, kGetProductString, kSetTimeouts, kOpen, kClose, kWrite, kRead };
  Call call = Call::kGetNumDevices;
  std::uint32_t device = 0;  // device number, or kNoDevice
  int status = 0;
  std::uint32_t count = 0;  // bytes (Write, Read) or devices (GetNumDevices) reported
};

class SimulatedControllers final : public usb::DeviceLibrary {
 public:
  static constexpr std::uint32_t kDefaultTimeoutMs = 1000;

  explicit SimulatedControllers(SimulatorConfig config,
                                std::shared_ptr<SimClock> clock = std::make_shared<SteadyClock>());
  ~SimulatedControllers() override;
  SimulatedControllers(const SimulatedControllers&) = delete;
  SimulatedControllers& operator=(const SimulatedControllers&) = delete;

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

  // Observation for tests. `device` must be below controller_count (else
  // std::out_of_range).
  const std::vector<CallRecord>& Calls() const;
  // Every command packet device `device` has received, oldest first.
  const std::vector<usb::Packet>& CommandsReceived(std::uint32_t device) const;
  bool IsOpen(std::uint32_t device) const;
  std::uint32_t ReadTimeoutMs() const;
  std::uint32_t WriteTimeoutMs() const;
  AxisModel& Model(std::uint32_t device);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace stage::sim
