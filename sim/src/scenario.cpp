#include "stage/sim/scenario.h"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "stage/sim/servo_axis_model.h"
#include "stage/usb/device_library.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {
namespace {

enum class What {
  kSilent,
  kWriteFail,
  kReadFail,
  kShortWrite,
  kShortRead,
  kBadReply,
  kOpenFail,
  kCountFail,
  kPolarity,
  kLimits
};

struct Known {
  std::string_view name;
  What what;
  bool takes_axis;
  bool takes_after;
  bool takes_bytes;
};

constexpr std::array<Known, 10> kKnown = {{
    {"silent", What::kSilent, true, true, false},
    {"write-fail", What::kWriteFail, true, true, false},
    {"read-fail", What::kReadFail, true, true, false},
    {"short-write", What::kShortWrite, true, true, true},
    {"short-read", What::kShortRead, true, true, true},
    {"bad-reply", What::kBadReply, true, true, false},
    {"open-fail", What::kOpenFail, true, false, false},
    {"count-fail", What::kCountFail, false, false, false},
    {"polarity", What::kPolarity, true, false, false},
    {"limits", What::kLimits, true, false, false},
}};

constexpr std::uint32_t kDefaultShortBytes = 6;
constexpr double kMaxAfterSeconds = 1e6;

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

std::string KnownNames() {
  std::string names;
  for (const Known& known : kKnown) {
    if (!names.empty()) names += ", ";
    names += known.name;
  }
  return names;
}

std::optional<std::uint32_t> ReadWhole(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (status != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<double> ReadSeconds(std::string_view text) {
  double value = 0;
  const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value,
                                             std::chars_format::fixed);
  if (status != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  if (!std::isfinite(value) || value < 0 || value > kMaxAfterSeconds) return std::nullopt;
  return value;
}

// One item of the scenario text, its options read and checked.
struct Item {
  const Known* known = nullptr;
  std::optional<std::uint32_t> axis;
  Nanoseconds after{0};
  std::uint32_t bytes = kDefaultShortBytes;
};

std::optional<Item> ReadItem(std::string_view text, std::uint32_t controller_count,
                             std::string& error) {
  const std::vector<std::string_view> parts = Split(text, ':');
  Item item;
  for (const Known& known : kKnown) {
    if (known.name == parts[0]) item.known = &known;
  }
  if (item.known == nullptr) {
    error = "unknown scenario '" + std::string(parts[0]) + "' (known: " + KnownNames() + ")";
    return std::nullopt;
  }
  const std::string name(item.known->name);
  const auto refuse = [&](const std::string& why) {
    error = "scenario '" + name + "': " + why;
    return std::nullopt;
  };
  std::vector<std::string_view> seen;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::size_t equals = parts[i].find('=');
    const std::string_view key = parts[i].substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view{} : parts[i].substr(equals + 1);
    if (equals == std::string_view::npos) return refuse("expected key=value, not '" + std::string(parts[i]) + "'");
    for (const std::string_view earlier : seen) {
      if (earlier == key) return refuse("'" + std::string(key) + "' given twice");
    }
    seen.push_back(key);

    if (key == "axis" && item.known->takes_axis) {
      item.axis = ReadWhole(value);
      if (!item.axis) return refuse("axis must be a controller number, not '" + std::string(value) + "'");
      if (*item.axis >= controller_count) {
        return refuse("there is no axis " + std::to_string(*item.axis) + " (" +
                      std::to_string(controller_count) + " controllers, numbered from 0)");
      }
    } else if (key == "after" && item.known->takes_after) {
      const std::optional<double> seconds = ReadSeconds(value);
      if (!seconds) return refuse("after must be seconds from 0 to 1000000, not '" + std::string(value) + "'");
      item.after = std::chrono::duration_cast<Nanoseconds>(std::chrono::duration<double>(*seconds));
    } else if (key == "bytes" && item.known->takes_bytes) {
      const std::optional<std::uint32_t> bytes = ReadWhole(value);
      if (!bytes || *bytes >= usb::kPacketSize) {
        return refuse("bytes must be 0 to 11, not '" + std::string(value) + "'");
      }
      item.bytes = *bytes;
    } else {
      return refuse("no option '" + std::string(key) + "'");
    }
  }
  return item;
}

TransferFault FaultFor(const Item& item) {
  TransferFault fault;
  fault.device = item.axis;
  fault.after = item.after;
  fault.repeat = true;  // a broken controller stays broken
  switch (item.known->what) {
    case What::kSilent:
      fault.op = TransferOp::kRead;
      fault.kind = TransferFault::Kind::kTimeout;
      break;
    case What::kWriteFail:
      fault.op = TransferOp::kWrite;
      fault.status = usb::SI_WRITE_ERROR;
      break;
    case What::kReadFail:
      fault.op = TransferOp::kRead;
      fault.status = usb::SI_READ_ERROR;
      break;
    case What::kShortWrite:
      fault.op = TransferOp::kWrite;
      fault.kind = TransferFault::Kind::kShortCount;
      fault.count = item.bytes;
      break;
    case What::kShortRead:
      fault.op = TransferOp::kRead;
      fault.kind = TransferFault::Kind::kShortCount;
      fault.count = item.bytes;
      break;
    default:  // kBadReply
      fault.op = TransferOp::kRead;
      fault.kind = TransferFault::Kind::kVerbatimReply;
      fault.reply = usb::EncodeStatus({});
      fault.reply[3] |= 0x80;  // a position with its top bit set has no decoding
      break;
  }
  return fault;
}

}  // namespace

std::optional<SimulatorConfig> ApplyScenario(std::string_view spec, SimulatorConfig base,
                                             std::string& error) {
  if (spec.empty()) {
    error = "empty scenario (known: " + KnownNames() + ")";
    return std::nullopt;
  }
  const std::uint32_t count = base.controller_count;
  for (const std::string_view text : Split(spec, ',')) {
    std::string item_error;
    const std::optional<Item> item = ReadItem(text, count, item_error);
    if (!item) {
      error = text.empty() ? "empty item in scenario '" + std::string(spec) + "'" : item_error;
      return std::nullopt;
    }
    // Every controller the item names: one, or all of them.
    const std::uint32_t first = item->axis.value_or(0);
    const std::uint32_t last = item->axis ? *item->axis + 1 : count;

    switch (item->known->what) {
      case What::kOpenFail:
        for (std::uint32_t device = first; device < last; ++device) {
          base.open_failures.push_back({device, usb::SI_DEVICE_NOT_FOUND});
        }
        break;
      case What::kCountFail:
        base.count_status = usb::SI_DEVICE_IO_FAILED;
        break;
      case What::kPolarity:
      case What::kLimits:
        if (base.model_factory) {
          error = "scenario '" + std::string(item->known->name) +
                  "' needs the built-in servo model";
          return std::nullopt;
        }
        if (base.axis_wiring.size() < count) base.axis_wiring.resize(count);
        for (std::uint32_t device = first; device < last; ++device) {
          ServoWiring& wiring = base.axis_wiring[device];
          if (item->known->what == What::kPolarity) {
            wiring.motor_reversed = true;
          } else {
            const bool reversed = wiring.motor_reversed;
            wiring = ShortTravelWiring();
            wiring.motor_reversed = reversed;
          }
        }
        break;
      default:
        base.transfer_faults.push_back(FaultFor(*item));
        break;
    }
  }
  return base;
}

}  // namespace stage::sim
