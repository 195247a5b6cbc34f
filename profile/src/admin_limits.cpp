#include "stage/profile/admin_limits.h"

#include "toml_parser.h"

#include <algorithm>

#include "stage/axis/number_text.h"
#include "stage/profile/controller_profile.h"
#include "stage/profile/profile_file.h"
#include "stage/usb/packet_codec.h"

namespace stage::profile {

TravelLimits AdminBounds::For(std::string_view serial) const {
  if (serial.empty()) return {};
  const auto found = by_serial.find(serial);
  return found == by_serial.end() ? TravelLimits{} : found->second;
}

namespace {

// "FILE line L, column C: FIELD: PROBLEM", leaving out what is unknown.
std::string Message(std::string_view file_name, const toml::source_position& where, std::string_view field,
                    std::string_view problem) {
  std::string text(file_name);
  if (where.line != 0) text += " line " + std::to_string(where.line) + ", column " + std::to_string(where.column);
  text += ": ";
  if (!field.empty()) text += std::string(field) + ": ";
  return text + std::string(problem);
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// Reads one controller's table; the first problem, or nothing.
std::optional<std::string> ReadController(const toml::table& table, const std::string& field_base,
                                          std::string_view file_name, TravelLimits& bounds) {
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    std::string field = field_base;
    field.append(".").append(name);
    std::optional<std::int64_t>* side = name == "lower_counts"   ? &bounds.lower_counts
                                        : name == "upper_counts" ? &bounds.upper_counts
                                                                 : nullptr;
    if (side == nullptr) return Message(file_name, key.source().begin, field, "unknown field");
    const auto* value = node.as_integer();
    if (value == nullptr) return Message(file_name, node.source().begin, field, "expected a whole number");
    const std::int64_t v = value->get();
    if (v < usb::kMinEncodableCount || v > usb::kMaxEncodableCount) {
      return Message(file_name, node.source().begin, field,
                     std::to_string(v) + " is out of range (" + std::to_string(usb::kMinEncodableCount) + " to " +
                         std::to_string(usb::kMaxEncodableCount) + ")");
    }
    *side = v;
  }
  if (bounds.lower_counts && bounds.upper_counts && *bounds.lower_counts >= *bounds.upper_counts) {
    return Message(file_name, table.source().begin, field_base,
                   "lower_counts " + std::to_string(*bounds.lower_counts) + " is not below upper_counts " +
                       std::to_string(*bounds.upper_counts));
  }
  return std::nullopt;
}

std::string InUnits(std::int64_t counts, const AxisUnits& units) {
  return FormatFixed2(static_cast<double>(counts) / units.counts_per_micron) + std::string(units.unit_suffix) + " (" +
         std::to_string(counts) + " counts)";
}

}  // namespace

AdminReading ReadAdminLimits(std::string_view text, std::string_view file_name) {
  const auto refused = [&file_name](const toml::source_position& where, std::string_view field,
                                    std::string_view problem) {
    return AdminReading{std::nullopt, Message(file_name, where, field, problem)};
  };
  if (text.size() > kMaxAdminLimitsBytes) {
    return refused({}, "", "larger than " + std::to_string(kMaxAdminLimitsBytes / 1024) + " KiB, which no bound file is");
  }
  if (text.find('\0') != std::string_view::npos) return refused({}, "", "not a text file (it holds a zero byte)");

  toml::parse_result parsed = toml::parse(text);
  if (!parsed) {
    std::string description(parsed.error().description());
    std::replace_if(description.begin(), description.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, ' ');
    return refused(parsed.error().source().begin, "", description);
  }
  const toml::table& root = parsed.table();
  const toml::node* version = root.get("schema_version");
  if (version == nullptr) {
    return refused({}, "schema_version",
                   "missing (a bound file starts with schema_version = " + std::to_string(kAdminLimitsSchemaVersion) +
                       ")");
  }
  if (version->value<std::int64_t>() != kAdminLimitsSchemaVersion) {
    return refused(version->source().begin, "schema_version",
                   "expected " + std::to_string(kAdminLimitsSchemaVersion) + ", the version this console reads");
  }

  AdminBounds bounds;
  for (const auto& [key, node] : root) {
    const std::string name(key.str());
    if (name == "schema_version") continue;
    if (name != "controllers") return refused(key.source().begin, name, "unknown field");
    const toml::table* controllers = node.as_table();
    if (controllers == nullptr) return refused(node.source().begin, name, "expected a section of controllers");
    for (const auto& [serial_key, entry] : *controllers) {
      const std::string serial(serial_key.str());
      const std::string field = "controllers." + serial;
      if (serial.empty() || serial.size() > kMaxSerialBytes || HasControlCharacter(serial)) {
        return refused(serial_key.source().begin, "controllers",
                       "a serial number must be 1 to " + std::to_string(kMaxSerialBytes) +
                           " bytes without control characters");
      }
      const toml::table* table = entry.as_table();
      if (table == nullptr) return refused(entry.source().begin, field, "expected a section of bounds");
      TravelLimits limits;
      if (const auto problem = ReadController(*table, field, file_name, limits)) return {std::nullopt, *problem};
      bounds.by_serial.emplace(serial, limits);
    }
  }
  return {std::move(bounds), {}};
}

AdminReading LoadAdminLimitsFile(const std::string& path) {
  FileText file = ReadFileText(path, kMaxAdminLimitsBytes);
  switch (file.status) {
    case FileText::Status::kMissing: return {AdminBounds{}, {}};
    case FileText::Status::kFailed: return {std::nullopt, file.error};
    case FileText::Status::kRead: break;
  }
  return ReadAdminLimits(file.text, path);
}

TravelLimits MergeLimits(const TravelLimits& admin, const TravelLimits& operator_limits) {
  const auto narrower = [](const std::optional<std::int64_t>& a, const std::optional<std::int64_t>& b, bool lower) {
    if (!a) return b;
    if (!b) return a;
    return std::optional<std::int64_t>(lower ? std::max(*a, *b) : std::min(*a, *b));
  };
  return {narrower(admin.lower_counts, operator_limits.lower_counts, true),
          narrower(admin.upper_counts, operator_limits.upper_counts, false)};
}

std::optional<std::string> CheckOperatorLimits(const TravelLimits& admin, const TravelLimits& op,
                                               const AxisUnits& units) {
  const std::string axis(units.axis_label);
  struct Side {
    const char* name;
    const std::optional<std::int64_t>& limit;
  };
  for (const Side side : {Side{"lower", op.lower_counts}, Side{"upper", op.upper_counts}}) {
    if (!side.limit) continue;
    const std::int64_t v = *side.limit;
    if (admin.lower_counts && v < *admin.lower_counts) {
      return std::string("The ") + side.name + " travel limit of axis " + axis + ", " + InUnits(v, units) +
             ", is below the administrator's lower bound, " + InUnits(*admin.lower_counts, units) + ".";
    }
    if (admin.upper_counts && v > *admin.upper_counts) {
      return std::string("The ") + side.name + " travel limit of axis " + axis + ", " + InUnits(v, units) +
             ", is above the administrator's upper bound, " + InUnits(*admin.upper_counts, units) + ".";
    }
  }
  if (op.lower_counts && op.upper_counts && *op.lower_counts >= *op.upper_counts) {
    return "The lower travel limit of axis " + axis + ", " + InUnits(*op.lower_counts, units) +
           ", is not below its upper travel limit, " + InUnits(*op.upper_counts, units) + ".";
  }
  return std::nullopt;
}

}  // namespace stage::profile
