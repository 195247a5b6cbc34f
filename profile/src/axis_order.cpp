#include "stage/profile/axis_order.h"

#include "toml_parser.h"

#include <algorithm>
#include <cstdint>

#include "stage/profile/controller_profile.h"

namespace stage::profile {
namespace {

constexpr std::int64_t kAxisOrderVersion = 1;
// More than any stage has: the console itself takes at most 127 controllers.
constexpr std::size_t kMaxSerials = 1024;

std::string Ordinal(std::size_t index) {
  const std::size_t n = index + 1;
  const char* suffix = "th";
  if (n % 100 < 11 || n % 100 > 13) {
    if (n % 10 == 1) suffix = "st";
    if (n % 10 == 2) suffix = "nd";
    if (n % 10 == 3) suffix = "rd";
  }
  return std::to_string(n) + suffix;
}

// Where each usable serial stands; shared and blank serials name nothing.
std::optional<std::size_t> IndexOf(std::span<const std::string> serials, const std::string& serial) {
  if (serial.empty()) return std::nullopt;
  const auto first = std::find(serials.begin(), serials.end(), serial);
  if (first == serials.end()) return std::nullopt;
  if (std::find(std::next(first), serials.end(), serial) != serials.end()) return std::nullopt;
  return static_cast<std::size_t>(first - serials.begin());
}

}  // namespace

std::string WriteAxisOrder(std::span<const std::string> serials) {
  std::string out =
      "# The controllers' serial numbers in the axis order of the console's last\n"
      "# run; written by the console to point out a changed order.\n";
  out += "schema_version = " + std::to_string(kAxisOrderVersion) + "\n";
  out += "serials = [";
  for (std::size_t k = 0; k < serials.size(); ++k) {
    if (k != 0) out += ", ";
    out += TomlQuoted(serials[k]);
  }
  out += "]\n";
  return out;
}

std::optional<std::vector<std::string>> ReadAxisOrder(std::string_view text) {
  if (text.size() > kMaxAxisOrderBytes || text.find('\0') != std::string_view::npos) return std::nullopt;
  toml::parse_result parsed = toml::parse(text);
  if (!parsed) return std::nullopt;
  const toml::table& root = parsed.table();
  if (root.size() != 2) return std::nullopt;
  const std::optional<std::int64_t> version = root["schema_version"].value<std::int64_t>();
  const toml::array* list = root["serials"].as_array();
  if (version != kAxisOrderVersion || list == nullptr || list->size() > kMaxSerials) return std::nullopt;
  std::vector<std::string> serials;
  serials.reserve(list->size());
  for (const toml::node& item : *list) {
    const toml::value<std::string>* serial = item.as_string();
    if (serial == nullptr) return std::nullopt;
    serials.push_back(serial->get());
  }
  return serials;
}

std::vector<AxisOrderChange> CompareAxisOrder(std::span<const std::string> last, std::span<const std::string> now) {
  std::vector<AxisOrderChange> changes;
  for (std::size_t k = 0; k < now.size(); ++k) {
    if (IndexOf(now, now[k]) != k) continue;
    const std::optional<std::size_t> was = IndexOf(last, now[k]);
    if (was && *was != k) changes.push_back({now[k], *was, k});
  }
  return changes;
}

std::string DescribeAxisOrderChange(std::span<const AxisOrderChange> changes) {
  if (changes.empty()) return {};
  std::string text = "The controllers come up in another order than in the last run:";
  for (std::size_t k = 0; k < changes.size(); ++k) {
    const AxisOrderChange& c = changes[k];
    text += k == 0 ? " " : "; ";
    text += "\"" + c.serial + "\" was the " + Ordinal(c.was) + " axis and is the " + Ordinal(c.now) + " now";
  }
  text += ". Each controller keeps its own settings.";
  return text;
}

}  // namespace stage::profile
