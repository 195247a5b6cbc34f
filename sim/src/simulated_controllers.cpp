#include "stage/sim/simulated_controllers.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

namespace stage::sim {
namespace {

constexpr std::size_t kProductStringMaxBytes = usb::kProductStringBufferSize - 1;

std::chrono::milliseconds Ms(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

}  // namespace

std::string DefaultProductString(std::uint32_t device) {
  constexpr char kFirstSix[] = "XYZUVW";
  const char axis = device < 6 ? kFirstSix[device] : static_cast<char>('A' + (device - 6) % 26);
  return std::string("Sim") + axis;
}

struct SimulatedControllers::Impl {
  struct Controller {
    std::unique_ptr<AxisModel> model;
    std::vector<usb::Packet> commands;
    usb::Handle handle = 0;  // 0 while closed
    bool reply_pending = false;
    std::optional<usb::Packet> reply_override;  // a verbatim reply set on the write
  };

  // A transfer fault and how many matching transfers it has seen.
  struct ArmedFault {
    TransferFault fault;
    std::uint32_t seen = 0;
  };

  SimulatorConfig config;
  std::shared_ptr<SimClock> clock;
  std::vector<Controller> controllers;
  std::vector<ArmedFault> faults;
  std::map<usb::Handle, std::uint32_t> open_handles;  // handle -> device
  usb::Handle next_handle = 0x5100;
  std::optional<Nanoseconds> first_open;
  std::uint32_t read_timeout_ms = kDefaultTimeoutMs;
  std::uint32_t write_timeout_ms = kDefaultTimeoutMs;
  std::vector<CallRecord> calls;

  int Log(CallRecord::Call call, std::uint32_t device, int status, std::uint32_t count = 0) {
    if (config.record_history) calls.push_back({call, device, status, count});
    return status;
  }

  std::optional<std::uint32_t> DeviceOf(usb::Handle handle) const {
    const auto found = open_handles.find(handle);
    if (found == open_handles.end()) return std::nullopt;
    return found->second;
  }

  // Counts this transfer against every fault that matches it and returns the
  // first that fires, if any.
  const TransferFault* FaultFor(TransferOp op, std::uint32_t device) {
    const Nanoseconds now = clock->Now();
    const TransferFault* fired = nullptr;
    for (ArmedFault& armed : faults) {
      const TransferFault& fault = armed.fault;
      if (fault.op != op) continue;
      if (fault.device && *fault.device != device) continue;
      if (fault.after && (!first_open || now - *first_open < *fault.after)) continue;
      ++armed.seen;
      const std::uint32_t nth = std::max<std::uint32_t>(fault.nth, 1);
      const bool fires = fault.repeat ? armed.seen >= nth : armed.seen == nth;
      if (fires && fired == nullptr) fired = &fault;
    }
    return fired;
  }

  static void DropReply(Controller& controller) {
    controller.reply_pending = false;
    controller.reply_override.reset();
  }

  // The reply the controller sends now; it is consumed.
  usb::Packet TakeReply(Controller& controller) {
    const usb::Packet reply = controller.reply_override ? *controller.reply_override
                                                        : controller.model->Status(clock->Now());
    DropReply(controller);
    return reply;
  }
};

SimulatedControllers::SimulatedControllers(SimulatorConfig config, std::shared_ptr<SimClock> clock)
    : impl_(std::make_unique<Impl>()) {
  impl_->config = std::move(config);
  impl_->clock = clock ? std::move(clock) : std::make_shared<SteadyClock>();
  const std::uint32_t count = impl_->config.controller_count;
  impl_->controllers.resize(count);
  for (std::uint32_t device = 0; device < count; ++device) {
    Impl::Controller& controller = impl_->controllers[device];
    if (impl_->config.model_factory) controller.model = impl_->config.model_factory(device);
    if (!controller.model) {
      const std::vector<ServoWiring>& wiring = impl_->config.axis_wiring;
      controller.model = std::make_unique<ServoAxisModel>(
          device < wiring.size() ? wiring[device] : ServoWiring{});
    }
  }
  for (const TransferFault& fault : impl_->config.transfer_faults) {
    impl_->faults.push_back({fault, 0});
  }
}

SimulatedControllers::~SimulatedControllers() = default;

int SimulatedControllers::GetNumDevices(std::uint32_t& count) {
  const SimulatorConfig& config = impl_->config;
  if (config.count_status) {
    count = 0;
    return impl_->Log(CallRecord::Call::kGetNumDevices, kNoDevice, *config.count_status);
  }
  count = config.reported_count.value_or(config.controller_count);
  return impl_->Log(CallRecord::Call::kGetNumDevices, kNoDevice, usb::SI_SUCCESS, count);
}

int SimulatedControllers::GetProductString(
    std::uint32_t device, std::span<std::uint8_t, usb::kProductStringBufferSize> buffer,
    std::uint32_t /*option*/) {
  const SimulatorConfig& config = impl_->config;
  const auto log = [&](int status) {
    return impl_->Log(CallRecord::Call::kGetProductString, device, status);
  };
  if (config.product_string_status) return log(*config.product_string_status);
  if (std::find(config.product_string_failures.begin(), config.product_string_failures.end(), device) !=
      config.product_string_failures.end()) {
    return log(usb::SI_DEVICE_IO_FAILED);
  }
  if (device >= config.controller_count) return log(usb::SI_DEVICE_NOT_FOUND);

  const std::string text = device < config.product_strings.size()
                               ? config.product_strings[device]
                               : DefaultProductString(device);
  const std::size_t copied = std::min(text.size(), kProductStringMaxBytes);
  std::memcpy(buffer.data(), text.data(), copied);
  // The vendor's library terminates only what fits below 256 bytes.
  if (copied < kProductStringMaxBytes) buffer[copied] = 0;
  return log(usb::SI_SUCCESS);
}

int SimulatedControllers::SetTimeouts(std::uint32_t read_timeout_ms,
                                      std::uint32_t write_timeout_ms) {
  impl_->read_timeout_ms = read_timeout_ms;
  impl_->write_timeout_ms = write_timeout_ms;
  return impl_->Log(CallRecord::Call::kSetTimeouts, kNoDevice, usb::SI_SUCCESS);
}

int SimulatedControllers::Open(std::uint32_t device, usb::Handle& handle) {
  const auto log = [&](int status) { return impl_->Log(CallRecord::Call::kOpen, device, status); };
  handle = 0;
  if (device >= impl_->config.controller_count) return log(usb::SI_DEVICE_NOT_FOUND);
  for (const SimulatorConfig::OpenFailure& failure : impl_->config.open_failures) {
    if (failure.device == device) return log(failure.status);
  }
  Impl::Controller& controller = impl_->controllers[device];
  if (controller.handle != 0) return log(usb::SI_DEVICE_IO_FAILED);

  controller.handle = impl_->next_handle++;
  Impl::DropReply(controller);
  impl_->open_handles.emplace(controller.handle, device);
  if (!impl_->first_open) impl_->first_open = impl_->clock->Now();
  handle = controller.handle;
  return log(usb::SI_SUCCESS);
}

int SimulatedControllers::Close(usb::Handle handle) {
  const std::optional<std::uint32_t> device = impl_->DeviceOf(handle);
  if (!device) return impl_->Log(CallRecord::Call::kClose, kNoDevice, usb::SI_INVALID_HANDLE);
  Impl::Controller& controller = impl_->controllers[*device];
  impl_->open_handles.erase(handle);
  controller.handle = 0;
  Impl::DropReply(controller);
  return impl_->Log(CallRecord::Call::kClose, *device, usb::SI_SUCCESS);
}

int SimulatedControllers::Write(usb::Handle handle, const std::uint8_t* buffer,
                                std::uint32_t to_write, std::uint32_t& written) {
  written = 0;
  const std::optional<std::uint32_t> device = impl_->DeviceOf(handle);
  const auto log = [&](int status) {
    return impl_->Log(CallRecord::Call::kWrite, device.value_or(kNoDevice), status, written);
  };
  if (!device) return log(usb::SI_INVALID_HANDLE);
  if (buffer == nullptr || to_write != usb::kPacketSize) return log(usb::SI_INVALID_PARAMETER);

  Impl::Controller& controller = impl_->controllers[*device];
  usb::Packet packet;
  std::memcpy(packet.data(), buffer, usb::kPacketSize);

  const TransferFault* fault = impl_->FaultFor(TransferOp::kWrite, *device);
  if (fault != nullptr) {
    switch (fault->kind) {
      case TransferFault::Kind::kStatus:
        Impl::DropReply(controller);
        written = fault->count;
        return log(fault->status);
      case TransferFault::Kind::kShortCount:
        Impl::DropReply(controller);
        written = fault->count;
        return log(usb::SI_SUCCESS);
      case TransferFault::Kind::kTimeout:
        Impl::DropReply(controller);
        impl_->clock->SleepFor(Ms(impl_->write_timeout_ms));
        return log(usb::SI_WRITE_TIMED_OUT);
      case TransferFault::Kind::kVerbatimReply:
        break;  // delivered below, then the override is set
    }
  }

  if (impl_->config.record_history) controller.commands.push_back(packet);
  controller.model->OnCommand(packet, impl_->clock->Now());
  controller.reply_pending = true;
  controller.reply_override.reset();
  if (fault != nullptr) controller.reply_override = fault->reply;  // kVerbatimReply
  written = usb::kPacketSize;
  return log(usb::SI_SUCCESS);
}

int SimulatedControllers::Read(usb::Handle handle, std::uint8_t* buffer, std::uint32_t to_read,
                               std::uint32_t& read) {
  read = 0;
  const std::optional<std::uint32_t> device = impl_->DeviceOf(handle);
  const auto log = [&](int status) {
    return impl_->Log(CallRecord::Call::kRead, device.value_or(kNoDevice), status, read);
  };
  if (!device) return log(usb::SI_INVALID_HANDLE);
  if (buffer == nullptr || to_read < usb::kPacketSize) return log(usb::SI_INVALID_PARAMETER);

  Impl::Controller& controller = impl_->controllers[*device];
  const auto time_out = [&] {
    Impl::DropReply(controller);
    impl_->clock->SleepFor(Ms(impl_->read_timeout_ms));
    return log(usb::SI_READ_TIMED_OUT);
  };
  const auto deliver_part = [&](std::uint32_t reported) {
    const usb::Packet reply = impl_->TakeReply(controller);
    std::memcpy(buffer, reply.data(), std::min<std::size_t>(reported, usb::kPacketSize));
    read = reported;
  };

  if (const TransferFault* fault = impl_->FaultFor(TransferOp::kRead, *device)) {
    switch (fault->kind) {
      case TransferFault::Kind::kStatus:
        deliver_part(fault->count);
        return log(fault->status);
      case TransferFault::Kind::kShortCount:
        deliver_part(fault->count);
        return log(usb::SI_SUCCESS);
      case TransferFault::Kind::kTimeout:
        return time_out();
      case TransferFault::Kind::kVerbatimReply:
        Impl::DropReply(controller);
        std::memcpy(buffer, fault->reply.data(), usb::kPacketSize);
        read = usb::kPacketSize;
        return log(usb::SI_SUCCESS);
    }
  }

  if (!controller.reply_pending) return time_out();
  deliver_part(usb::kPacketSize);
  return log(usb::SI_SUCCESS);
}

const std::vector<CallRecord>& SimulatedControllers::Calls() const { return impl_->calls; }

const std::vector<usb::Packet>& SimulatedControllers::CommandsReceived(std::uint32_t device) const {
  return impl_->controllers.at(device).commands;
}

bool SimulatedControllers::IsOpen(std::uint32_t device) const {
  return impl_->controllers.at(device).handle != 0;
}

std::uint32_t SimulatedControllers::ReadTimeoutMs() const { return impl_->read_timeout_ms; }

std::uint32_t SimulatedControllers::WriteTimeoutMs() const { return impl_->write_timeout_ms; }

AxisModel& SimulatedControllers::Model(std::uint32_t device) {
  return *impl_->controllers.at(device).model;
}

}  // namespace stage::sim
