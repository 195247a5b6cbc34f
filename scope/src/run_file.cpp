#include "stage/scope/run_file.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

namespace stage::scope {
namespace {

using Json = nlohmann::json;

// Arrays and objects nest no deeper than this in a run file (the samples'
// columns are at depth 5); checked before parsing, so that a hostile file
// cannot run the parser's recursion out of stack.
constexpr int kMostDepth = 8;

struct NamedEnd {
  StepFigures::End end;
  const char* key;
};
constexpr std::array<NamedEnd, 6> kEnds = {{{StepFigures::End::kSettled, "settled"},
                                            {StepFigures::End::kNotSettled, "not settled"},
                                            {StepFigures::End::kStopped, "stopped"},
                                            {StepFigures::End::kReplaced, "replaced"},
                                            {StepFigures::End::kFault, "fault"},
                                            {StepFigures::End::kMoving, "in progress"}}};

Json Optional(const std::optional<double>& value) { return value ? Json(*value) : Json(nullptr); }
Json Optional(const std::optional<std::int64_t>& value) { return value ? Json(*value) : Json(nullptr); }
Json Phase(const std::optional<PhaseError>& phase) {
  if (!phase) return nullptr;
  return Json{{"samples", phase->samples}, {"peak_counts", phase->peak_counts}, {"rms_counts", phase->rms_counts}};
}

Json Gains(const usb::TuningValues& g) {
  return Json{{"p", g.p},           {"i", g.i},           {"d", g.d},         {"acc", g.acc},
              {"max_speed", g.max_speed}, {"torque", g.torque}, {"f_error", g.f_error}, {"speed", g.speed}};
}

Json Move(const StepFigures& f) {
  return Json{{"move", f.relative ? "Rel" : "GO"},
              {"end", EndKey(f.end)},
              {"start_us", f.start_us},
              {"end_us", f.end_us},
              {"start_counts", f.start_counts},
              {"target_counts", f.target_counts},
              {"band_counts", f.band_counts},
              {"rise_time_us", Optional(f.rise_time_us)},
              {"overshoot_counts", f.overshoot_counts},
              {"overshoot_percent", Optional(f.overshoot_percent)},
              {"settling_time_us", Optional(f.settling_time_us)},
              {"steady_state_error_counts", Optional(f.steady_state_error_counts)},
              {"peak_following_error_counts", f.peak_following_error_counts},
              {"in_position_us", Optional(f.loop.in_position_us)},
              {"accelerating", Phase(f.loop.accelerating)},
              {"cruising", Phase(f.loop.cruising)},
              {"braking", Phase(f.loop.braking)}};
}

// The deepest nesting of arrays and objects in `text`, strings skipped; stops
// counting past `most`.
int Depth(std::string_view text, int most) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char c = text[k];
    if (in_string) {
      if (c == '\\') {
        ++k;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > most) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

// A fault in the document: where (a path such as axes[1].moves[0].end_us) and what.
struct Fault {
  std::string text;
};

class Reader {
 public:
  // The object's keys must be exactly these.
  static void Keys(const Json& object, const std::string& where, std::initializer_list<const char*> keys) {
    if (!object.is_object()) throw Fault{where + " is not an object"};
    std::set<std::string> allowed;
    for (const char* key : keys) {
      allowed.insert(key);
      if (!object.contains(key)) throw Fault{where + " has no \"" + key + "\""};
    }
    for (const auto& item : object.items()) {
      if (allowed.count(item.key()) == 0) throw Fault{where + " has an unknown key \"" + Escaped(item.key()) + "\""};
    }
  }
  static std::int64_t Integer(const Json& value, const std::string& where, std::int64_t low, std::int64_t high) {
    if (!value.is_number_integer()) throw Fault{where + " is not a whole number"};
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(high)) {
      throw Fault{where + " is out of range"};
    }
    const auto number = value.get<std::int64_t>();
    if (number < low || number > high) throw Fault{where + " is out of range"};
    return number;
  }
  static double Number(const Json& value, const std::string& where) {
    if (!value.is_number()) throw Fault{where + " is not a number"};
    const auto number = value.get<double>();
    if (!std::isfinite(number)) throw Fault{where + " is not a finite number"};
    return number;
  }
  static std::string Text(const Json& value, const std::string& where, std::size_t most) {
    if (!value.is_string()) throw Fault{where + " is not a string"};
    const auto& text = value.get_ref<const std::string&>();
    if (text.size() > most) throw Fault{where + " is longer than " + std::to_string(most) + " bytes"};
    if (std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; })) {
      throw Fault{where + " holds a control character"};
    }
    return text;
  }
  static const Json& Array(const Json& value, const std::string& where, std::size_t most) {
    if (!value.is_array()) throw Fault{where + " is not an array"};
    if (value.size() > most) throw Fault{where + " has more than " + std::to_string(most) + " entries"};
    return value;
  }
  // Printable, short: a key from the file shown in a message.
  static std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text.substr(0, 40)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    return out;
  }
};

constexpr std::int64_t kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

std::optional<double> OptionalNumber(const Json& value, const std::string& where) {
  if (value.is_null()) return std::nullopt;
  return Reader::Number(value, where);
}

std::optional<std::int64_t> OptionalInteger(const Json& value, const std::string& where) {
  if (value.is_null()) return std::nullopt;
  return Reader::Integer(value, where, 0, kInt64Max);
}

std::optional<PhaseError> ReadPhase(const Json& value, const std::string& where) {
  if (value.is_null()) return std::nullopt;
  Reader::Keys(value, where, {"samples", "peak_counts", "rms_counts"});
  PhaseError phase;
  phase.samples = Reader::Integer(value["samples"], where + ".samples", 1, kInt64Max);
  phase.peak_counts = static_cast<std::int32_t>(Reader::Integer(value["peak_counts"], where + ".peak_counts", kInt32Min, kInt32Max));
  phase.rms_counts = Reader::Number(value["rms_counts"], where + ".rms_counts");
  if (phase.rms_counts < 0) throw Fault{where + ".rms_counts is negative"};
  return phase;
}

usb::TuningValues ReadGains(const Json& value, const std::string& where) {
  Reader::Keys(value, where, {"p", "i", "d", "acc", "max_speed", "torque", "f_error", "speed"});
  usb::TuningValues g;
  auto byte = [&](const char* key) {
    return static_cast<std::uint8_t>(Reader::Integer(value[key], where + "." + key, 0, 255));
  };
  g.p = byte("p");
  g.i = byte("i");
  g.d = byte("d");
  g.acc = byte("acc");
  g.max_speed = byte("max_speed");
  g.torque = byte("torque");
  g.f_error = byte("f_error");
  g.speed = static_cast<std::int32_t>(
      Reader::Integer(value["speed"], where + ".speed", usb::kMinEncodableSpeed, usb::kMaxEncodableSpeed));
  return g;
}

StepFigures ReadMove(const Json& value, const std::string& where) {
  Reader::Keys(value, where,
               {"move", "end", "start_us", "end_us", "start_counts", "target_counts", "band_counts", "rise_time_us",
                "overshoot_counts", "overshoot_percent", "settling_time_us", "steady_state_error_counts",
                "peak_following_error_counts", "in_position_us", "accelerating", "cruising", "braking"});
  StepFigures f;
  const std::string move = Reader::Text(value["move"], where + ".move", 8);
  if (move != "GO" && move != "Rel") throw Fault{where + ".move is neither \"GO\" nor \"Rel\""};
  f.relative = move == "Rel";
  const std::string end = Reader::Text(value["end"], where + ".end", 16);
  const auto* named = std::find_if(kEnds.begin(), kEnds.end(), [&](const NamedEnd& e) { return end == e.key; });
  if (named == kEnds.end()) throw Fault{where + ".end is not a known ending"};
  f.end = named->end;
  f.start_us = Reader::Integer(value["start_us"], where + ".start_us", 0, kInt64Max);
  f.end_us = Reader::Integer(value["end_us"], where + ".end_us", f.start_us, kInt64Max);
  f.start_counts = static_cast<std::int32_t>(Reader::Integer(value["start_counts"], where + ".start_counts", kInt32Min, kInt32Max));
  f.target_counts = static_cast<std::int32_t>(Reader::Integer(value["target_counts"], where + ".target_counts", kInt32Min, kInt32Max));
  f.band_counts = static_cast<std::int32_t>(Reader::Integer(value["band_counts"], where + ".band_counts", 0, kInt32Max));
  f.rise_time_us = OptionalNumber(value["rise_time_us"], where + ".rise_time_us");
  f.overshoot_counts = Reader::Number(value["overshoot_counts"], where + ".overshoot_counts");
  f.overshoot_percent = OptionalNumber(value["overshoot_percent"], where + ".overshoot_percent");
  f.settling_time_us = OptionalInteger(value["settling_time_us"], where + ".settling_time_us");
  f.steady_state_error_counts = OptionalNumber(value["steady_state_error_counts"], where + ".steady_state_error_counts");
  f.peak_following_error_counts = static_cast<std::int32_t>(
      Reader::Integer(value["peak_following_error_counts"], where + ".peak_following_error_counts", kInt32Min, kInt32Max));
  f.loop.in_position_us = OptionalInteger(value["in_position_us"], where + ".in_position_us");
  f.loop.accelerating = ReadPhase(value["accelerating"], where + ".accelerating");
  f.loop.cruising = ReadPhase(value["cruising"], where + ".cruising");
  f.loop.braking = ReadPhase(value["braking"], where + ".braking");
  return f;
}

std::vector<ScopeSample> ReadSamples(const Json& value, const std::string& where) {
  Reader::Keys(value, where, {"time_us", "position_counts", "ideal_position_counts", "flags"});
  const Json& times = Reader::Array(value["time_us"], where + ".time_us", kMostRunSamples);
  const Json& positions = Reader::Array(value["position_counts"], where + ".position_counts", kMostRunSamples);
  const Json& ideals = Reader::Array(value["ideal_position_counts"], where + ".ideal_position_counts", kMostRunSamples);
  const Json& flags = Reader::Array(value["flags"], where + ".flags", kMostRunSamples);
  const std::size_t n = times.size();
  for (const auto& [name, column] : {std::pair{".position_counts", &positions}, std::pair{".ideal_position_counts", &ideals},
                                     std::pair{".flags", &flags}}) {
    if (column->size() != n) {
      throw Fault{where + name + " has " + std::to_string(column->size()) + " values, time_us " + std::to_string(n)};
    }
  }
  std::vector<ScopeSample> samples(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::string at = "[" + std::to_string(k) + "]";
    // "where.field[k]", the place a refusal names.
    const auto field = [&](std::string_view name) {
      std::string text = where;
      text.append(".").append(name).append(at);
      return text;
    };
    ScopeSample& s = samples[k];
    s.time_us = Reader::Integer(times[k], field("time_us"), k == 0 ? 0 : samples[k - 1].time_us, kInt64Max);
    s.position = static_cast<std::int32_t>(Reader::Integer(positions[k], field("position_counts"), kInt32Min, kInt32Max));
    s.ideal_position =
        static_cast<std::int32_t>(Reader::Integer(ideals[k], field("ideal_position_counts"), kInt32Min, kInt32Max));
    s.flags = static_cast<std::uint8_t>(Reader::Integer(flags[k], field("flags"), 0, 255));
  }
  return samples;
}

RunAxis ReadAxis(const Json& value, const std::string& where) {
  Reader::Keys(value, where, {"axis", "name", "unit", "counts_per_unit", "gains", "samples", "moves"});
  RunAxis a;
  a.axis = Reader::Integer(value["axis"], where + ".axis", 0, static_cast<std::int64_t>(kMostRunAxes) - 1);
  a.name = Reader::Text(value["name"], where + ".name", kMostRunNameBytes);
  a.unit = Reader::Text(value["unit"], where + ".unit", kMostRunNameBytes);
  a.counts_per_unit = Reader::Number(value["counts_per_unit"], where + ".counts_per_unit");
  if (a.counts_per_unit <= 0) throw Fault{where + ".counts_per_unit is not above 0"};
  if (!value["gains"].is_null()) a.gains = ReadGains(value["gains"], where + ".gains");
  a.samples = ReadSamples(value["samples"], where + ".samples");
  const Json& moves = Reader::Array(value["moves"], where + ".moves", kMostRunMoves);
  for (std::size_t k = 0; k < moves.size(); ++k) {
    a.moves.push_back(ReadMove(moves[k], where + ".moves[" + std::to_string(k) + "]"));
  }
  return a;
}

}  // namespace

const char* EndKey(StepFigures::End end) {
  for (const NamedEnd& e : kEnds) {
    if (e.end == end) return e.key;
  }
  return "in progress";
}

std::string WriteRun(const Run& run) {
  Json axes = Json::array();
  for (const RunAxis& a : run.axes) {
    Json times = Json::array();
    Json positions = Json::array();
    Json ideals = Json::array();
    Json flags = Json::array();
    for (const ScopeSample& s : a.samples) {
      times.push_back(s.time_us);
      positions.push_back(s.position);
      ideals.push_back(s.ideal_position);
      flags.push_back(s.flags);
    }
    Json moves = Json::array();
    for (const StepFigures& f : a.moves) moves.push_back(Move(f));
    axes.push_back(Json{{"axis", a.axis},
                        {"name", a.name},
                        {"unit", a.unit},
                        {"counts_per_unit", a.counts_per_unit},
                        {"gains", a.gains ? Gains(*a.gains) : Json(nullptr)},
                        {"samples", Json{{"time_us", std::move(times)},
                                         {"position_counts", std::move(positions)},
                                         {"ideal_position_counts", std::move(ideals)},
                                         {"flags", std::move(flags)}}},
                        {"moves", std::move(moves)}});
  }
  const Json document{{"format", kRunFormat}, {"version", kRunVersion}, {"saved_utc", run.saved_utc}, {"axes", std::move(axes)}};
  // Names that are not valid UTF-8 are written with replacement characters
  // rather than refused.
  return document.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

RunRead ReadRun(std::string_view text) {
  RunRead read;
  if (text.size() > kMostRunFileBytes) {
    read.error = "the file is larger than " + std::to_string(kMostRunFileBytes >> 20) + " MiB";
    return read;
  }
  if (Depth(text, kMostDepth) > kMostDepth) {
    read.error = "the file nests deeper than a run does";
    return read;
  }
  const Json document = Json::parse(text.begin(), text.end(), nullptr, false);
  if (document.is_discarded()) {
    read.error = "the file is not valid JSON";
    return read;
  }
  try {
    if (!document.is_object() || !document.contains("format") || document["format"] != kRunFormat) {
      throw Fault{"the file is not a stage-console run"};
    }
    Reader::Keys(document, "the file", {"format", "version", "saved_utc", "axes"});
    if (Reader::Integer(document["version"], "version", 0, kInt64Max) != kRunVersion) {
      throw Fault{"the run's version is not " + std::to_string(kRunVersion)};
    }
    Run run;
    run.saved_utc = Reader::Text(document["saved_utc"], "saved_utc", kMostRunNameBytes);
    const Json& axes = Reader::Array(document["axes"], "axes", kMostRunAxes);
    if (axes.empty()) throw Fault{"the run has no axis"};
    for (std::size_t k = 0; k < axes.size(); ++k) {
      run.axes.push_back(ReadAxis(axes[k], "axes[" + std::to_string(k) + "]"));
    }
    read.run = std::move(run);
  } catch (const Fault& fault) {
    read.error = fault.text;
  }
  return read;
}

}  // namespace stage::scope
