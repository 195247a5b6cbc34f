#include "stage/tango_bridge/stage_model.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace stage::tango_bridge {

namespace {

using nlohmann::json;

std::optional<double> Number(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number()) return std::nullopt;
  const double value = found->get<double>();
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<bool> Flag(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_boolean()) return std::nullopt;
  return found->get<bool>();
}

// A number, or null for "none"; nullopt in the outer optional when neither.
std::optional<std::optional<double>> NumberOrNull(const json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end()) return std::nullopt;
  if (found->is_null()) return std::optional<double>{};
  if (!found->is_number() || !std::isfinite(found->get<double>())) return std::nullopt;
  return std::optional<double>{found->get<double>()};
}

// Device text is bounded; what is kept is shown as it is by Tango.
std::optional<std::string> Text(const json& object, const char* key, std::size_t max_bytes) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_string()) return std::nullopt;
  std::string text = found->get<std::string>();
  if (text.size() > max_bytes) text.resize(max_bytes);
  return text;
}

std::string TrimRight(std::string text) {
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

std::string Format(double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 10).ptr;
  return std::string(buffer, end);
}

}  // namespace

std::optional<std::vector<AxisInfo>> ParseAxes(const json& result) {
  if (!result.is_object()) return std::nullopt;
  const auto axes = result.find("axes");
  if (axes == result.end() || !axes->is_array() || axes->size() > kMaxAxes) return std::nullopt;
  std::vector<AxisInfo> out;
  for (const json& axis : *axes) {
    if (!axis.is_object()) return std::nullopt;
    AxisInfo info;
    const auto index = axis.find("index");
    if (index == axis.end() || !index->is_number_integer() || index->get<long long>() != static_cast<long long>(out.size()))
      return std::nullopt;
    info.index = static_cast<int>(out.size());
    auto name = Text(axis, "name", 64);
    auto units = Text(axis, "units", 16);
    const auto counts = Number(axis, "counts_per_unit");
    if (!name || !units || !counts) return std::nullopt;
    info.name = TrimRight(std::move(*name));
    info.units = std::move(*units);
    info.counts_per_unit = *counts;
    info.serial = Text(axis, "serial", 64).value_or("");
    if (const auto limits = axis.find("limits"); limits != axis.end() && limits->is_object()) {
      const auto lower = NumberOrNull(*limits, "lower");
      const auto upper = NumberOrNull(*limits, "upper");
      if (!lower || !upper) return std::nullopt;
      info.lower_limit = *lower;
      info.upper_limit = *upper;
    }
    out.push_back(std::move(info));
  }
  return out;
}

std::optional<ConsoleReading> ParseStatus(const json& result, std::size_t axis_count) {
  if (!result.is_object()) return std::nullopt;
  ConsoleReading reading;
  const auto allowed = Flag(result, "remote_moves_allowed");
  if (!allowed) return std::nullopt;
  reading.remote_moves_allowed = *allowed;
  if (const auto control = result.find("control"); control != result.end() && control->is_object()) {
    reading.control_held = Flag(*control, "held").value_or(false);
    reading.control_mine = Flag(*control, "mine").value_or(false);
  }
  const auto axes = result.find("axes");
  if (axes == result.end() || !axes->is_array() || axes->size() != axis_count) return std::nullopt;
  for (const json& axis : *axes) {
    if (!axis.is_object()) return std::nullopt;
    AxisReading r;
    const auto position = Number(axis, "position");
    const auto ideal = Number(axis, "ideal_position");
    const auto busy = Flag(axis, "busy");
    const auto error = Flag(axis, "error");
    const auto limit = Flag(axis, "limit");
    const auto target = NumberOrNull(axis, "target");
    if (!position || !ideal || !busy || !error || !limit) return std::nullopt;
    r.position = *position;
    r.ideal_position = *ideal;
    r.busy = *busy;
    r.error = *error;
    r.limit = *limit;
    if (target) r.target = *target;
    reading.axes.push_back(r);
  }
  return reading;
}

AxisState StateOf(const Link& link, const AxisReading* reading, bool remote_moves_allowed, bool move_pending) {
  if (!link.connected || reading == nullptr) return AxisState::kUnknown;
  if (reading->error) return AxisState::kFault;
  if (reading->limit) return AxisState::kAlarm;
  if (reading->busy || move_pending) return AxisState::kMoving;
  if (!remote_moves_allowed) return AxisState::kDisable;
  return AxisState::kOn;
}

std::string StatusOf(const Link& link, const AxisInfo* info, const AxisReading* reading,
                     bool remote_moves_allowed, bool move_pending) {
  if (!link.connected) return "No console: " + link.why_not + ".";
  if (info == nullptr || reading == nullptr) return "The console has no such axis.";
  std::string status = "Axis " + info->name + " at " + Format(reading->position) + " " + info->units;
  switch (StateOf(link, reading, remote_moves_allowed, move_pending)) {
    case AxisState::kFault: status += ": the controller reports an error."; break;
    case AxisState::kAlarm: status += ": on a limit switch."; break;
    case AxisState::kMoving:
      status += reading->target ? ", moving to " + Format(*reading->target) + " " + info->units + "." : ", moving.";
      break;
    case AxisState::kDisable:
    case AxisState::kOn: status += ", at rest."; break;
    case AxisState::kUnknown: break;
  }
  if (!remote_moves_allowed) status += " Remote moves are refused by the operator.";
  return status;
}

std::string_view StateName(AxisState state) {
  switch (state) {
    case AxisState::kOn: return "ON";
    case AxisState::kMoving: return "MOVING";
    case AxisState::kAlarm: return "ALARM";
    case AxisState::kFault: return "FAULT";
    case AxisState::kDisable: return "DISABLE";
    case AxisState::kUnknown: return "UNKNOWN";
  }
  return "UNKNOWN";
}

std::optional<std::size_t> FindAxis(const std::vector<AxisInfo>& axes, std::string_view key) {
  while (!key.empty() && key.back() == ' ') key.remove_suffix(1);
  if (key.empty()) return std::nullopt;
  std::size_t index = 0;
  const auto [end, error] = std::from_chars(key.data(), key.data() + key.size(), index);
  if (error == std::errc() && end == key.data() + key.size()) {
    if (index < axes.size()) return index;
    return std::nullopt;
  }
  const auto same = [key](const std::string& name) {
    return name.size() == key.size() &&
           std::equal(name.begin(), name.end(), key.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
           });
  };
  for (std::size_t i = 0; i < axes.size(); ++i)
    if (same(axes[i].name)) return i;
  return std::nullopt;
}

}  // namespace stage::tango_bridge
