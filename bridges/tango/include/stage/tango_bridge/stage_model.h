// What the bridge knows of the console's stage, as plain values read from the
// control API's answers (list_axes, get_status and the status
// notifications), and how a Tango client sees it: each axis's state and
// status in words. Every reading is checked: a field missing or of the wrong
// type makes the whole answer unusable rather than a wrong value.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace stage::tango_bridge {

// The most axes the bridge takes from a console (the console drives 32).
inline constexpr std::size_t kMaxAxes = 64;

struct AxisInfo {
  int index = 0;
  std::string name;    // trailing blanks removed
  std::string serial;
  std::string units;   // "um" or "En"
  double counts_per_unit = 1.0;
  std::optional<double> lower_limit;  // native units; none without a profile
  std::optional<double> upper_limit;
};

struct AxisReading {
  double position = 0.0;        // native units
  double ideal_position = 0.0;  // native units
  bool busy = false;
  bool error = false;
  bool limit = false;  // either limit switch
  std::optional<double> target;
};

struct ConsoleReading {
  bool remote_moves_allowed = true;
  bool control_held = false;
  bool control_mine = false;
  std::vector<AxisReading> axes;
};

// Parses list_axes's result; nullopt when malformed.
std::optional<std::vector<AxisInfo>> ParseAxes(const nlohmann::json& result);
// Parses get_status's result or a status notification's params for
// `axis_count` axes; nullopt when malformed or of another axis count.
std::optional<ConsoleReading> ParseStatus(const nlohmann::json& result, std::size_t axis_count);

// A motor's state as facility tools know it; the Tango adapter maps each to
// the Tango state of the same name.
enum class AxisState { kOn, kMoving, kAlarm, kFault, kDisable, kUnknown };

// Where the bridge stands with the console.
struct Link {
  bool connected = false;
  std::string why_not;  // when not connected: why, in words
};

// An axis's state: UNKNOWN without the console; then a controller error
// (FAULT) before a limit switch (ALARM) before motion (MOVING: busy, or a
// move just accepted whose busy flag has not come back yet) before the
// operator's refusal of remote moves (DISABLE); ON at rest.
AxisState StateOf(const Link& link, const AxisReading* reading, bool remote_moves_allowed, bool move_pending);

// The status in words, one sentence per fact.
std::string StatusOf(const Link& link, const AxisInfo* info, const AxisReading* reading,
                     bool remote_moves_allowed, bool move_pending);

std::string_view StateName(AxisState state);

// Finds an axis by its index ("0") or its name (case and trailing blanks
// ignored): how a device names its axis.
std::optional<std::size_t> FindAxis(const std::vector<AxisInfo>& axes, std::string_view key);

}  // namespace stage::tango_bridge
