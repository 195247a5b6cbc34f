// Which controller was which axis: the serials in axis order, remembered from
// the last run, so that controllers that come up in another order (a cable
// moved to another port) are pointed out before the operator confirms Motor
// Settings. The settings themselves follow the serial, never the position.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace stage::profile {

// Beside the profiles; a profile's file name never starts with '.'.
inline constexpr std::string_view kAxisOrderFileName = ".axis-order.toml";
inline constexpr std::size_t kMaxAxisOrderBytes = 64 * 1024;

// The file's text for the serials in axis order.
std::string WriteAxisOrder(std::span<const std::string> serials);
// The serials in axis order, or nothing when the text is not such a file (it
// is the console's own note, so a bad one is only forgotten).
std::optional<std::vector<std::string>> ReadAxisOrder(std::string_view text);

struct AxisOrderChange {
  std::string serial;
  std::size_t was = 0;  // axis index in the last run
  std::size_t now = 0;  // axis index in this one
};
// The controllers of both runs that stand at another axis now, in this run's
// axis order. A blank serial, or one that two controllers share, names no
// controller and is left out.
std::vector<AxisOrderChange> CompareAxisOrder(std::span<const std::string> last, std::span<const std::string> now);
// One plain-text paragraph for the operator, empty when nothing moved:
// 'The controllers come up in another order than in the last run:
// "SN-2" was the 2nd axis and is the 1st now; ... Each keeps its own
// settings.'
std::string DescribeAxisOrderChange(std::span<const AxisOrderChange> changes);

}  // namespace stage::profile
