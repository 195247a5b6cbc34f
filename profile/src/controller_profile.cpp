#include "stage/profile/controller_profile.h"

#include "toml_parser.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "stage/axis/mechanics.h"
#include "stage/axis/number_text.h"

namespace stage::profile {

double Mechanics::CountsPerMicron() const {
  return ComputeCountsPerMicron(static_cast<double>(counts_per_rotation), gearhead_ratio, pitch_um);
}

namespace {

using Position = toml::source_position;

std::string Located(std::string_view file_name, Position where) {
  std::string text(file_name);
  if (where.line == 0) return text;
  text += " line " + std::to_string(where.line);
  if (where.column != 0) text += ", column " + std::to_string(where.column);
  return text;
}

ProfileError MakeError(std::string_view file_name, Position where, std::string field, std::string_view problem) {
  ProfileError error;
  error.message = Located(file_name, where) + ": ";
  if (!field.empty()) error.message += field + ": ";
  error.message += problem;
  error.field = std::move(field);
  error.line = where.line;
  error.column = where.column;
  return error;
}

// The length of the well-formed UTF-8 sequence at the start of `text`, 0 if
// there is none (a stray continuation byte, an overlong form, a surrogate).
std::size_t Utf8Length(std::string_view text) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1FU;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0FU;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07U;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0U) != 0x80U) return 0;
    code = (code << 6) | (byte(i) & 0x3FU);
  }
  const std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// The parser quotes what it saw, line feeds and stray bytes included: the
// message stays one line of valid UTF-8 with those shown as escapes.
std::string OneLine(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t length = Utf8Length(text);
    const auto c = static_cast<unsigned char>(text[0]);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (length == 0 || c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += text.substr(0, length);
      text.remove_prefix(length);
      continue;
    }
    text.remove_prefix(1);
  }
  return out;
}

const char* TypeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "a list";
    case toml::node_type::string: return "text";
    case toml::node_type::integer: return "a whole number";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "true or false";
    case toml::node_type::date: return "a date";
    case toml::node_type::time: return "a time";
    case toml::node_type::date_time: return "a date and time";
    case toml::node_type::none: break;
  }
  return "nothing";
}

// saved_at is written in UTC with a four-digit year.
bool IsWritableTime(std::chrono::sys_seconds t) {
  const int year = static_cast<int>(std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(t)}.year());
  return year >= 1 && year <= 9999;
}

// Collects the problems of one file; the one reported is the first in the
// file, so that the operator mends it from the top.
class Checker {
 public:
  explicit Checker(std::string_view file_name) : file_name_(file_name) {}

  void Fail(Position where, const std::string& field, std::string_view problem) {
    errors_.push_back(MakeError(file_name_, where, field, problem));
  }
  void WrongType(const toml::node& node, const std::string& field, std::string_view expected) {
    Fail(node.source().begin, field, "expected " + std::string(expected) + ", found " + TypeName(node));
  }
  bool Failed() const { return !errors_.empty(); }
  ProfileError First() const {
    // Problems without a place (a missing field) come after those with one.
    const auto key = [](const ProfileError& e) {
      return std::pair{e.line == 0 ? UINT32_MAX : e.line, e.column};
    };
    return *std::min_element(errors_.begin(), errors_.end(),
                             [&key](const ProfileError& a, const ProfileError& b) { return key(a) < key(b); });
  }

  std::optional<std::int64_t> Integer(const toml::node& node, const std::string& field, std::int64_t minimum,
                                      std::int64_t maximum) {
    const auto* value = node.as_integer();
    if (value == nullptr) {
      WrongType(node, field, "a whole number");
      return std::nullopt;
    }
    const std::int64_t v = value->get();
    if (v < minimum || v > maximum) {
      Fail(node.source().begin, field,
           std::to_string(v) + " is out of range (" + std::to_string(minimum) + " to " + std::to_string(maximum) + ")");
      return std::nullopt;
    }
    return v;
  }

  std::optional<bool> Boolean(const toml::node& node, const std::string& field) {
    const auto* value = node.as_boolean();
    if (value == nullptr) {
      WrongType(node, field, "true or false");
      return std::nullopt;
    }
    return value->get();
  }

  // A mechanics number: whole or with a fraction, finite, not 0. The value
  // kept is the one its field will show (15 significant digits).
  std::optional<double> Number(const toml::node& node, const std::string& field) {
    double v = 0;
    if (const auto* whole = node.as_integer()) {
      v = static_cast<double>(whole->get());
    } else if (const auto* fraction = node.as_floating_point()) {
      v = fraction->get();
    } else {
      WrongType(node, field, "a number");
      return std::nullopt;
    }
    if (!std::isfinite(v) || v == 0) {
      Fail(node.source().begin, field, CanonicalNumberText(v) + " is out of range (a number other than 0)");
      return std::nullopt;
    }
    return ReadNumber(CanonicalNumberText(v)).value;
  }

  std::optional<std::string> Text(const toml::node& node, const std::string& field, std::size_t max_bytes,
                                  bool control_characters) {
    const auto* value = node.as_string();
    if (value == nullptr) {
      WrongType(node, field, "text in quotes");
      return std::nullopt;
    }
    const std::string& v = value->get();
    if (v.size() > max_bytes) {
      Fail(node.source().begin, field, "longer than " + std::to_string(max_bytes) + " bytes");
      return std::nullopt;
    }
    if (!control_characters &&
        std::any_of(v.begin(), v.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
      Fail(node.source().begin, field, "holds a control character");
      return std::nullopt;
    }
    return v;
  }

  std::optional<std::chrono::sys_seconds> Time(const toml::node& node, const std::string& field) {
    const auto* value = node.as_date_time();
    if (value == nullptr || !value->get().offset) {
      WrongType(node, field, "a date and time with its offset (2026-01-31T12:00:00Z)");
      return std::nullopt;
    }
    const toml::date_time& t = value->get();
    using namespace std::chrono;
    const sys_days day{year{t.date.year} / month{t.date.month} / t.date.day};
    const sys_seconds utc = sys_seconds{day} + hours{t.time.hour} + minutes{t.time.minute} +
                            seconds{t.time.second} - minutes{t.offset->minutes};
    if (!IsWritableTime(utc)) {
      Fail(node.source().begin, field, "out of range (years 1 to 9999 in UTC)");
      return std::nullopt;
    }
    return utc;
  }

 private:
  std::string_view file_name_;
  std::vector<ProfileError> errors_;
};

// Where each field was read, for the checks between fields.
using Places = std::map<std::string, Position, std::less<>>;

using ReadField = void (*)(Checker&, const toml::node&, const std::string&, ControllerProfile&);

template <typename T>
void Put(const std::optional<T>& value, T& into) {
  if (value) into = *value;
}

// A true-or-false field of a section.
template <auto kSection, auto kMember>
void ReadSwitch(Checker& checker, const toml::node& node, const std::string& field, ControllerProfile& profile) {
  Put(checker.Boolean(node, field), profile.*kSection.*kMember);
}

template <double Mechanics::*kMember>
void ReadMechanicsNumber(Checker& checker, const toml::node& node, const std::string& field,
                         ControllerProfile& profile) {
  Put(checker.Number(node, field), profile.mechanics.*kMember);
}

struct FieldReader {
  std::string_view path;
  ReadField read;
};

// Every field a profile can hold, by path, with its reading and checks.
constexpr std::int64_t kMaxCountsPerRotation = INT32_MAX;
const FieldReader kFields[] = {
    {"serial",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       const auto serial = c.Text(n, f, kMaxSerialBytes, false);
       if (serial && serial->empty()) {
         c.Fail(n.source().begin, f, "is empty");
       } else {
         Put(serial, p.serial);
       }
     }},
    {"notes",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       Put(c.Text(n, f, kMaxNotesBytes, true), p.notes);
     }},
    {"saved_at",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       if (const auto t = c.Time(n, f)) p.saved_at = *t;
     }},
    {"mechanics.counts_per_rotation",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       const auto counts = c.Integer(n, f, -kMaxCountsPerRotation, kMaxCountsPerRotation);
       if (counts == 0) {
         c.Fail(n.source().begin, f, "0 is out of range (a whole number other than 0)");
       } else {
         Put(counts, p.mechanics.counts_per_rotation);
       }
     }},
    {"mechanics.gearhead_ratio", ReadMechanicsNumber<&Mechanics::gearhead_ratio>},
    {"mechanics.pitch_um", ReadMechanicsNumber<&Mechanics::pitch_um>},
    {"wiring.reverse_motor_polarity", ReadSwitch<&ControllerProfile::wiring, &Wiring::reverse_motor_polarity>},
    {"wiring.reverse_limit_switch", ReadSwitch<&ControllerProfile::wiring, &Wiring::reverse_limit_switch>},
    {"wiring.limit_switch_active_high", ReadSwitch<&ControllerProfile::wiring, &Wiring::limit_switch_active_high>},
    {"wiring.cancel_when_error", ReadSwitch<&ControllerProfile::wiring, &Wiring::cancel_when_error>},
    // The tuning sliders: see TuningSlider below.
    {"limits.lower_counts",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       if (const auto v = c.Integer(n, f, usb::kMinEncodableCount, usb::kMaxEncodableCount)) p.limits.lower_counts = v;
     }},
    {"limits.upper_counts",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       if (const auto v = c.Integer(n, f, usb::kMinEncodableCount, usb::kMaxEncodableCount)) p.limits.upper_counts = v;
     }},
    {"referencing.enabled", ReadSwitch<&ControllerProfile::referencing, &Referencing::enabled>},
    {"referencing.direction",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       const auto direction = c.Text(n, f, 16, false);
       if (!direction) return;
       if (*direction == "lower") {
         p.referencing.direction = ReferenceDirection::kLower;
       } else if (*direction == "upper") {
         p.referencing.direction = ReferenceDirection::kUpper;
       } else {
         c.Fail(n.source().begin, f, "expected \"lower\" or \"upper\"");
       }
     }},
    {"referencing.speed",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       if (const auto v = c.Integer(n, f, 1, kMaxReferencingSpeed)) p.referencing.speed = static_cast<std::int32_t>(*v);
     }},
    {"referencing.back_off_counts",
     [](Checker& c, const toml::node& n, const std::string& f, ControllerProfile& p) {
       Put(c.Integer(n, f, 0, usb::kMaxEncodableCount), p.referencing.back_off_counts);
     }},
    {"referencing.at_start_up", ReadSwitch<&ControllerProfile::referencing, &Referencing::at_start_up>},
};

constexpr std::string_view kSections[] = {"mechanics", "wiring", "tuning", "limits", "referencing"};

// The tuning values by their position in kTuningRanges.
std::int32_t TuningValue(const usb::TuningValues& t, std::size_t index) {
  const std::int32_t values[] = {t.p, t.i, t.d, t.acc, t.max_speed, t.torque, t.f_error, t.speed};
  return values[index];
}

void SetTuningValue(usb::TuningValues& t, std::size_t index, std::int32_t value) {
  // The ranges keep the seven byte values in 0..255.
  const auto byte = static_cast<std::uint8_t>(value);
  switch (index) {
    case 0: t.p = byte; break;
    case 1: t.i = byte; break;
    case 2: t.d = byte; break;
    case 3: t.acc = byte; break;
    case 4: t.max_speed = byte; break;
    case 5: t.torque = byte; break;
    case 6: t.f_error = byte; break;
    default: t.speed = value; break;
  }
}

// Reads one field given by its current path; false when no field has it.
bool ReadByPath(Checker& checker, std::string_view path, const toml::node& node, const std::string& written,
                ControllerProfile& profile) {
  for (const FieldReader& field : kFields) {
    if (field.path == path) {
      field.read(checker, node, written, profile);
      return true;
    }
  }
  constexpr std::string_view kTuning = "tuning.";
  if (path.starts_with(kTuning)) {
    const std::string_view key = path.substr(kTuning.size());
    for (std::size_t index = 0; index < std::size(kTuningRanges); ++index) {
      const SliderRange& range = kTuningRanges[index];
      if (range.key != key) continue;
      if (const auto v = checker.Integer(node, written, range.minimum, range.maximum)) {
        SetTuningValue(profile.tuning, index, static_cast<std::int32_t>(*v));
      }
      return true;
    }
  }
  return false;
}

const SchemaMigration* FindStep(std::span<const SchemaMigration> migrations, std::int64_t from_version) {
  for (const SchemaMigration& step : migrations) {
    if (step.from_version == from_version) return &step;
  }
  return nullptr;
}

// The path a field of a file at `version` has at kSchemaVersion.
std::string CurrentPath(std::string path, std::int64_t version, std::span<const SchemaMigration> migrations) {
  for (std::int64_t v = version; v < kSchemaVersion; ++v) {
    for (const KeyRename& rename : FindStep(migrations, v)->renames) {
      if (path == rename.from) {
        path = rename.to;
        break;
      }
    }
  }
  return path;
}

// The file's version, checked before anything else: a newer file may hold
// fields this console does not know, which are no fault of the file.
std::optional<std::int64_t> SchemaVersion(Checker& checker, const toml::table& root,
                                          std::span<const SchemaMigration> migrations) {
  const toml::node* node = root.get("schema_version");
  const std::string field = "schema_version";
  if (node == nullptr) {
    checker.Fail({}, field, "missing (a profile starts with schema_version = " + std::to_string(kSchemaVersion) + ")");
    return std::nullopt;
  }
  const auto version = checker.Integer(*node, field, INT64_MIN, INT64_MAX);
  if (!version) return std::nullopt;
  if (*version > kSchemaVersion) {
    checker.Fail(node->source().begin, field,
                 std::to_string(*version) + " is newer than this console reads (" + std::to_string(kSchemaVersion) +
                     "); a newer stage-console wrote it");
    return std::nullopt;
  }
  for (std::int64_t v = *version; v < kSchemaVersion; ++v) {
    if (FindStep(migrations, v) == nullptr) {
      checker.Fail(node->source().begin, field,
                   std::to_string(*version) + " is not a version this console can read (it reads " +
                       std::to_string(kSchemaVersion) + " and the versions it migrates)");
      return std::nullopt;
    }
  }
  return version;
}

void CheckBetweenFields(Checker& checker, const ControllerProfile& profile, const Places& places) {
  const TravelLimits& limits = profile.limits;
  if (limits.lower_counts && limits.upper_counts && *limits.lower_counts >= *limits.upper_counts) {
    checker.Fail(places.find("limits.upper_counts")->second, "limits.upper_counts",
                 std::to_string(*limits.upper_counts) + " is not above limits.lower_counts (" +
                     std::to_string(*limits.lower_counts) + ")");
  }
  // Each mechanics number can be fine and their product still overflow or
  // vanish (gearhead 1E+300 with pitch 1E-300).
  const Mechanics& m = profile.mechanics;
  const double factor = static_cast<double>(m.counts_per_rotation) * m.gearhead_ratio / m.pitch_um;
  if (!std::isfinite(factor) || factor == 0) {
    const auto place = places.find("mechanics.pitch_um");
    checker.Fail(place == places.end() ? Position{} : place->second, "mechanics",
                 "counts_per_rotation x gearhead_ratio / pitch_um is " + CanonicalNumberText(factor) +
                     ", not a usable counts per micron");
  }
  if (places.find("serial") == places.end()) checker.Fail({}, "serial", "missing");
}

// A zero byte is no text: say so before the parser does, in other words.
std::optional<Position> FirstZeroByte(std::string_view text) {
  const std::size_t at = text.find('\0');
  if (at == std::string_view::npos) return std::nullopt;
  const std::string_view before = text.substr(0, at);
  const std::size_t line_start = before.rfind('\n');
  const std::size_t column = line_start == std::string_view::npos ? at + 1 : at - line_start;
  return Position{static_cast<toml::source_index>(std::count(before.begin(), before.end(), '\n') + 1),
                  static_cast<toml::source_index>(column)};
}

// A table's fields in the order the file gives them (a table keeps them
// sorted by name), so that of two fields the later one is the one refused.
std::vector<std::pair<const toml::key*, const toml::node*>> InFileOrder(const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> fields;
  for (const auto& [key, node] : table) fields.emplace_back(&key, &node);
  std::sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) {
    const Position& pa = a.first->source().begin;
    const Position& pb = b.first->source().begin;
    return std::pair{pa.line, pa.column} < std::pair{pb.line, pb.column};
  });
  return fields;
}

}  // namespace

ProfileReading ReadProfile(std::string_view text, std::string_view file_name,
                           std::span<const SchemaMigration> migrations) {
  Checker checker(file_name);
  const auto refused = [&checker] { return ProfileReading{std::nullopt, checker.First()}; };
  if (text.size() > kMaxProfileBytes) {
    checker.Fail({}, "", "larger than " + std::to_string(kMaxProfileBytes / 1024) + " KiB, which no profile is");
    return refused();
  }
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) {
    checker.Fail({}, "", "the file is empty");
    return refused();
  }
  if (const auto zero = FirstZeroByte(text)) {
    checker.Fail(*zero, "", "not a text file (it holds a zero byte)");
    return refused();
  }

  toml::parse_result parsed = toml::parse(text);
  if (!parsed) {
    checker.Fail(parsed.error().source().begin, "", OneLine(parsed.error().description()));
    return refused();
  }
  const toml::table& root = parsed.table();
  const std::optional<std::int64_t> version = SchemaVersion(checker, root, migrations);
  if (!version) return refused();

  ControllerProfile profile;
  Places places;
  const auto read = [&](const std::string& written, const toml::key& key, const toml::node& node) {
    const std::string path = CurrentPath(written, *version, migrations);
    const Position where = key.source().begin;
    if (!places.emplace(path, where).second) {
      checker.Fail(where, written, "given twice (under its older and its newer name)");
    } else if (!ReadByPath(checker, path, node, written, profile)) {
      checker.Fail(where, written, "unknown field");
    }
  };
  for (const auto& [key, node] : InFileOrder(root)) {
    const std::string name(key->str());
    if (name == "schema_version") continue;
    const bool section = std::find(std::begin(kSections), std::end(kSections), name) != std::end(kSections);
    if (!section) {
      if (node->is_table()) {
        checker.Fail(key->source().begin, name, "unknown section");
      } else {
        read(name, *key, *node);
      }
      continue;
    }
    const toml::table* table = node->as_table();
    if (table == nullptr) {
      checker.WrongType(*node, name, "a section of fields");
      continue;
    }
    for (const auto& [field_key, field] : InFileOrder(*table)) {
      read(name + "." + std::string(field_key->str()), *field_key, *field);
    }
  }
  if (!checker.Failed()) CheckBetweenFields(checker, profile, places);
  if (checker.Failed()) return refused();
  return {std::move(profile), {}};
}

std::string TomlQuoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

namespace {

const char* Bool(bool value) { return value ? "true" : "false"; }

std::string TimeText(std::chrono::sys_seconds t) {
  using namespace std::chrono;
  const sys_days day = floor<days>(t);
  const year_month_day date{day};
  const hh_mm_ss time{t - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace

std::string WriteProfile(const ControllerProfile& p) {
  const double factor = p.mechanics.CountsPerMicron();
  const auto in_units = [factor](std::int64_t counts) {
    return FormatFixed2(static_cast<double>(counts) / factor) + UnitSuffixFor(factor);
  };
  std::string out;
  out += "# stage-console: what it remembers of one controller. Hand-editable;\n";
  out += "# every field is described in docs/profiles.md.\n";
  out += "schema_version = " + std::to_string(kSchemaVersion) + "\n";
  out += "serial = " + TomlQuoted(p.serial) + "\n";
  if (p.saved_at && IsWritableTime(*p.saved_at)) out += "saved_at = " + TimeText(*p.saved_at) + "\n";
  out += "notes = " + TomlQuoted(p.notes) + "\n";

  out += "\n[mechanics]\n";
  out += "counts_per_rotation = " + std::to_string(p.mechanics.counts_per_rotation) + "\n";
  out += "gearhead_ratio = " + CanonicalNumberText(p.mechanics.gearhead_ratio) + "\n";
  out += "pitch_um = " + CanonicalNumberText(p.mechanics.pitch_um) + "\n";
  out += "# counts per micron: " + CanonicalNumberText(factor) + "\n";

  out += "\n[wiring]\n";
  out += std::string("reverse_motor_polarity = ") + Bool(p.wiring.reverse_motor_polarity) + "\n";
  out += std::string("reverse_limit_switch = ") + Bool(p.wiring.reverse_limit_switch) + "\n";
  out += std::string("limit_switch_active_high = ") + Bool(p.wiring.limit_switch_active_high) + "\n";
  out += std::string("cancel_when_error = ") + Bool(p.wiring.cancel_when_error) + "\n";

  out += "\n[tuning]\n";
  for (std::size_t index = 0; index < std::size(kTuningRanges); ++index) {
    out += std::string(kTuningRanges[index].key) + " = " + std::to_string(TuningValue(p.tuning, index)) + "\n";
  }

  out += "\n[limits]\n";
  out += "# In encoder counts; a limit left out is the controller's full range.\n";
  const auto limit = [&out, &in_units](const char* key, const std::optional<std::int64_t>& counts) {
    if (counts) {
      out += std::string(key) + " = " + std::to_string(*counts) + "  # " + in_units(*counts) + "\n";
    } else {
      out += std::string("# ") + key + " =\n";
    }
  };
  limit("lower_counts", p.limits.lower_counts);
  limit("upper_counts", p.limits.upper_counts);

  out += "\n[referencing]\n";
  out += std::string("enabled = ") + Bool(p.referencing.enabled) + "\n";
  out += std::string("direction = ") +
         (p.referencing.direction == ReferenceDirection::kUpper ? "\"upper\"" : "\"lower\"") + "\n";
  out += "speed = " + std::to_string(p.referencing.speed) + "\n";
  out += "back_off_counts = " + std::to_string(p.referencing.back_off_counts) + "  # " +
         in_units(p.referencing.back_off_counts) + "\n";
  out += std::string("at_start_up = ") + Bool(p.referencing.at_start_up) + "\n";
  return out;
}

std::string ProfileFileName(std::string_view serial) {
  // Room for "~" and 16 hex digits and ".toml" inside the usual 255 bytes.
  constexpr std::size_t kMaxStem = 200;
  std::string stem;
  bool cut = false;
  for (std::size_t i = 0; i < serial.size(); ++i) {
    const auto c = static_cast<unsigned char>(serial[i]);
    const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                       c == '_' || (c == '.' && i != 0);
    char piece[4];
    if (plain) {
      piece[0] = static_cast<char>(c);
      piece[1] = '\0';
    } else {
      std::snprintf(piece, sizeof piece, "%%%02X", c);
    }
    if (stem.size() + std::char_traits<char>::length(piece) > kMaxStem) {
      cut = true;
      break;
    }
    stem += piece;
  }
  if (cut || stem.empty()) {
    // FNV-1a over the whole serial tells apart serials that share the cut part.
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : serial) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, "~%016" PRIx64, hash);
    stem += suffix;
  }
  return stem + ".toml";
}

}  // namespace stage::profile
