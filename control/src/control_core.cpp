#include "stage/control/control_core.h"

#include "stage/control/json_text.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdio>
#include <utility>

namespace stage::control {
namespace {

// A number as the log shows it: short, never in exponent form for everyday
// values.
std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

std::string Quoted(const std::string& text) { return Dump(Json(text)); }

struct TuningField {
  const char* name;
  int lowest;
  int highest;
};
// The eight sliders' ranges.
constexpr TuningField kTuningFields[] = {
    {"p", 0, 155},         {"i", 0, 155},      {"d", 0, 155},       {"acc", 1, 255},
    {"max_speed", 5, 255}, {"torque", 1, 255}, {"f_error", 1, 255}, {"speed", -10000, 10000},
};

int TuningValue(const usb::TuningValues& values, std::string_view name) {
  if (name == "p") return values.p;
  if (name == "i") return values.i;
  if (name == "d") return values.d;
  if (name == "acc") return values.acc;
  if (name == "max_speed") return values.max_speed;
  if (name == "torque") return values.torque;
  if (name == "f_error") return values.f_error;
  return values.speed;
}

void SetTuningValue(usb::TuningValues& values, std::string_view name, int value) {
  const auto byte = static_cast<std::uint8_t>(value);
  if (name == "p") values.p = byte;
  if (name == "i") values.i = byte;
  if (name == "d") values.d = byte;
  if (name == "acc") values.acc = byte;
  if (name == "max_speed") values.max_speed = byte;
  if (name == "torque") values.torque = byte;
  if (name == "f_error") values.f_error = byte;
  if (name == "speed") values.speed = value;
}

Json TuningJson(int axis, const usb::TuningValues& values) {
  Json fields = Json::object();
  for (const TuningField& field : kTuningFields) fields[field.name] = TuningValue(values, field.name);
  return {{"axis", axis}, {"values", std::move(fields)}};
}

Json LimitJson(const std::optional<std::int64_t>& counts, double factor) {
  if (!counts) return nullptr;
  return static_cast<double>(*counts) / factor;
}
Json LimitCountsJson(const std::optional<std::int64_t>& counts) {
  if (!counts) return nullptr;
  return *counts;
}

}  // namespace

ControlCore::ControlCore(ConsolePort& console, ClientLink& link, std::string version, EventSink events,
                         ChangeSink changes)
    : console_(console),
      link_(link),
      version_(std::move(version)),
      events_(std::move(events)),
      changes_(std::move(changes)) {}

void ControlCore::Connected(ClientId client, const Peer& peer) {
  Client& added = clients_[client];
  added.peer = peer;
  added.since = console_.Now();
  Event("client " + ClientName(client) + " connected");
  Changed(Change::kClients);
  if (ending_) link_.Send(client, NotificationLine("console_ending", Json::object()));
}

void ControlCore::Disconnected(ClientId client, std::string_view why) {
  const auto found = clients_.find(client);
  if (found == clients_.end()) return;
  Event("client " + ClientName(client) + " disconnected: " + std::string(why));
  if (holder_ == client) {
    holder_.reset();
    // Its moves run on to their targets: they are bounded.
    Event("client " + ClientName(client) + " released control (disconnected)");
    Changed(Change::kControl);
  }
  std::erase_if(waits_, [client](const Wait& wait) { return wait.client == client; });
  clients_.erase(found);
  Changed(Change::kClients);
}

void ControlCore::Received(ClientId client, std::string_view bytes) {
  const auto found = clients_.find(client);
  if (found == clients_.end()) return;
  found->second.framer.Append(bytes);
  Process(client, found->second);
}

std::size_t ControlCore::Backlog(ClientId client) const {
  const auto found = clients_.find(client);
  return found == clients_.end() ? 0 : found->second.framer.Buffered();
}

bool ControlCore::HeldBack(ClientId client) const {
  const auto found = clients_.find(client);
  return found != clients_.end() && (found->second.held_back || found->second.parked);
}

void ControlCore::Process(ClientId id, Client& client) {
  if (ending_) return;
  client.held_back = true;  // until the lines run out below
  int& budget = client.turn_left;
  if (client.parked) {
    const Request request = std::move(*client.parked);
    client.parked.reset();
    const Answer answer = Dispatch(id, client, request);
    if (answer.kind == Answer::Kind::kParked) {
      client.parked = request;
      return;
    }
    Reply(id, request, answer);
    --budget;
  }
  std::string_view line;
  for (; budget > 0; --budget) {
    const LineFramer::Next next = client.framer.TakeNext(line);
    if (next == LineFramer::Next::kNone) {
      client.held_back = false;
      return;
    }
    if (next == LineFramer::Next::kTooLong) {
      link_.Send(id, ErrorLine(nullptr, kInvalidRequest,
                               "The line is longer than " + std::to_string(LineFramer::kMaxLineBytes) +
                                   " bytes; it is skipped."));
      continue;
    }
    ParsedLine parsed = ParseRequestLine(line);
    if (!parsed.ok) {
      link_.Send(id, ErrorLine(parsed.id, parsed.code, parsed.message));
      continue;
    }
    const Answer answer = Dispatch(id, client, parsed.request);
    if (answer.kind == Answer::Kind::kParked) {
      client.parked = std::move(parsed.request);
      return;
    }
    Reply(id, parsed.request, answer);
  }
}

void ControlCore::Reply(ClientId id, const Request& request, const Answer& answer) {
  if (!request.has_id) return;
  switch (answer.kind) {
    case Answer::Kind::kResult:
      link_.Send(id, ResultLine(request.id, answer.result));
      break;
    case Answer::Kind::kError:
      link_.Send(id, ErrorLine(request.id, answer.code, answer.message));
      break;
    case Answer::Kind::kStatus:
      line_.clear();
      line_ += R"({"jsonrpc":"2.0","id":)";
      if (request.id.is_number_integer() &&
          (!request.id.is_number_unsigned() ||
           request.id.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))) {
        json_text::AppendInteger(line_, request.id.get<std::int64_t>());
      } else {
        line_ += Dump(request.id);
      }
      line_ += R"(,"result":)";
      AppendStatus(line_, id, console_.Now(), answer.status_axis);
      line_ += "}\n";
      link_.Send(id, line_);
      break;
    case Answer::Kind::kNone:
    case Answer::Kind::kParked:
      break;
  }
}

ControlCore::Answer ControlCore::Dispatch(ClientId id, Client& client, const Request& request) {
  const std::string& method = request.method;
  const Json& params = request.params;
  // Methods without params refuse any given.
  const auto plain = [&params](auto call) -> Answer {
    if (auto refused = Unexpected(params, {})) return *refused;
    return call();
  };
  try {
    if (method == "version") return plain([this] { return Version(); });
    if (method == "list_axes") return plain([this] { return ListAxes(); });
    if (method == "get_status") return GetStatus(params);
    if (method == "move_absolute") return MoveCommand(id, params, MoveKind::kAbsolute);
    if (method == "move_relative") return MoveCommand(id, params, MoveKind::kRelative);
    if (method == "stop") return Stop(id, params);
    if (method == "stop_all") return plain([this, id] { return StopAll(id); });
    if (method == "zero") return Zero(id, params);
    if (method == "get_tuning") return GetTuning(params);
    if (method == "set_tuning") return SetTuning(id, params);
    if (method == "wait") return StartWait(id, request);
    if (method == "subscribe") return Subscribe(id, client, params);
    if (method == "unsubscribe") return plain([this, id, &client] { return Unsubscribe(id, client); });
    if (method == "acquire_control") return plain([this, id] { return AcquireControl(id); });
    if (method == "release_control") return plain([this, id] { return ReleaseControl(id); });
  } catch (const std::exception& failure) {
    // Nothing a client sends should get here; if it does, it is said, and
    // the console goes on.
    Event(std::string("internal error answering ") + ClientName(id) + ": " + failure.what());
    Answer error{Answer::Kind::kError};
    error.code = kInternalError;
    error.message = "The console could not carry out the request.";
    return error;
  }
  Answer unknown{Answer::Kind::kError};
  unknown.code = kMethodNotFound;
  unknown.message = "Unknown method " + Quoted(method) + ".";
  return unknown;
}

// ---------------------------------------------------------------- params

std::optional<ControlCore::Answer> ControlCore::Unexpected(const Json& params,
                                                           std::initializer_list<const char*> known) {
  for (const auto& item : params.items()) {
    const std::string& key = item.key();
    if (std::none_of(known.begin(), known.end(), [&key](const char* name) { return key == name; })) {
      Answer error{Answer::Kind::kError};
      error.code = kInvalidParams;
      error.message = "Unknown parameter " + Quoted(key) + ".";
      return error;
    }
  }
  return std::nullopt;
}

std::optional<int> ControlCore::AxisParam(const Json& params, Answer& error) const {
  error = Answer{Answer::Kind::kError};
  const auto found = params.find("axis");
  if (found == params.end()) {
    error.code = kInvalidParams;
    error.message = "The axis is missing: give its index or its name.";
    return std::nullopt;
  }
  const int count = console_.AxisCount();
  if (found->is_number_integer()) {
    const auto index = found->get<std::int64_t>();
    if (index >= 0 && index < count) return static_cast<int>(index);
    error.code = kAxisUnknown;
    error.message = "There is no axis " + std::to_string(index) + ": the axes are 0 to " + std::to_string(count - 1) +
                    ".";
    if (count == 0) error.message = "There is no axis " + std::to_string(index) + ": the console has no axes yet.";
    return std::nullopt;
  }
  if (found->is_string()) {
    std::string wanted = found->get<std::string>();
    while (!wanted.empty() && wanted.back() == ' ') wanted.pop_back();
    for (int axis = 0; axis < count && !wanted.empty(); ++axis) {
      if (console_.Axis(axis).name == wanted) return axis;
    }
    error.code = kAxisUnknown;
    error.message = "No axis is named " + Quoted(found->get<std::string>()) + ".";
    return std::nullopt;
  }
  error.code = kInvalidParams;
  error.message = "The axis is an index (an integer) or a name (a string).";
  return std::nullopt;
}

std::optional<double> ControlCore::UnitsFactor(const Json& params, const AxisInfo& axis, Answer& error) {
  const auto found = params.find("units");
  if (found == params.end() || *found == "native") return axis.counts_per_unit;
  if (*found == "counts") return 1.0;
  error = Answer{Answer::Kind::kError};
  error.code = kInvalidParams;
  error.message = R"(The units are "native" or "counts".)";
  return std::nullopt;
}

std::optional<ControlCore::Answer> ControlCore::NeedsControl(ClientId id) const {
  if (holder_ == id) return std::nullopt;
  Answer error{Answer::Kind::kError};
  if (!remote_moves_allowed_) {
    error.code = kRemoteMovesRefused;
    error.message = "Remote moves are refused by the operator until allowed again in the Remote window.";
    return error;
  }
  error.code = kNoControl;
  error.message = holder_ ? "Another client (" + ClientName(*holder_) + ") holds control."
                          : std::string("This client does not hold control: call acquire_control first.");
  return error;
}

// ---------------------------------------------------------------- methods

ControlCore::Answer ControlCore::Version() const {
  return Answer{Answer::Kind::kResult, {{"name", kName}, {"version", version_}, {"api", kApiVersion}}};
}

ControlCore::Answer ControlCore::ListAxes() const {
  Json axes = Json::array();
  for (int axis = 0; axis < console_.AxisCount(); ++axis) {
    const AxisInfo info = console_.Axis(axis);
    const double factor = info.counts_per_unit;
    axes.push_back({{"index", axis},
                    {"name", info.name},
                    {"serial", info.serial},
                    {"port", info.port},
                    {"units", info.counts_are_units ? "En" : "um"},
                    {"counts_per_unit", factor},
                    {"limits", {{"lower", LimitJson(info.limits.lower_counts, factor)},
                                {"upper", LimitJson(info.limits.upper_counts, factor)}}},
                    {"limits_counts", {{"lower", LimitCountsJson(info.limits.lower_counts)},
                                       {"upper", LimitCountsJson(info.limits.upper_counts)}}}});
  }
  return Answer{Answer::Kind::kResult, {{"axes", std::move(axes)}}};
}

ControlCore::Answer ControlCore::GetStatus(const Json& params) const {
  if (auto refused = Unexpected(params, {"axis"})) return *refused;
  Answer status{Answer::Kind::kStatus};
  if (params.contains("axis")) {
    Answer error;
    const std::optional<int> only = AxisParam(params, error);
    if (!only) return error;
    status.status_axis = *only;
  }
  return status;
}

ControlCore::Answer ControlCore::MoveCommand(ClientId id, const Json& params, MoveKind kind) {
  const char* value_name = kind == MoveKind::kAbsolute ? "position" : "distance";
  const char* method = kind == MoveKind::kAbsolute ? "move_absolute" : "move_relative";
  if (auto refused = Unexpected(params, {"axis", value_name, "units"})) return *refused;
  Answer error;
  const std::optional<int> axis = AxisParam(params, error);
  if (!axis) return error;
  const AxisInfo info = console_.Axis(*axis);
  const std::optional<double> factor = UnitsFactor(params, info, error);
  if (!factor) return error;
  const auto value = params.find(value_name);
  if (value == params.end() || !value->is_number() || !std::isfinite(value->get<double>())) {
    error.code = kInvalidParams;
    error.message = std::string("The ") + value_name + " is missing or not a finite number.";
    return error;
  }
  if (auto refused = NeedsControl(id)) {
    Record(id, std::string(method) + " axis " + std::to_string(*axis) + ": refused, " + refused->message);
    return *refused;
  }
  const double counts = value->get<double>() * *factor;
  const CommandResult result = console_.Move(*axis, kind, counts);
  const std::string what = std::string(method) + " axis " + std::to_string(*axis) + " " + value_name + " " +
                           Number(counts) + " counts";
  switch (result.outcome) {
    case CommandOutcome::kAccepted: {
      if (static_cast<std::size_t>(*axis) >= move_grace_.size()) move_grace_.resize(static_cast<std::size_t>(*axis) + 1);
      move_grace_[static_cast<std::size_t>(*axis)] = kMoveGraceTicks;
      Record(id, what + ": accepted, target " + Number(result.target_counts) + " counts");
      return Answer{Answer::Kind::kResult,
                    {{"axis", *axis},
                     {"target", result.target_counts / info.counts_per_unit},
                     {"target_counts", result.target_counts}}};
    }
    case CommandOutcome::kNotNow:
      return Answer{Answer::Kind::kParked};
    case CommandOutcome::kBeyondLimit:
      error.code = kBeyondLimit;
      break;
    case CommandOutcome::kOutOfRange:
      error.code = kMoveRefused;
      break;
    case CommandOutcome::kEnding:
      error.code = kConsoleEnding;
      break;
  }
  error.message = result.message;
  Record(id, what + ": refused, " + result.message);
  return error;
}

ControlCore::Answer ControlCore::Stop(ClientId id, const Json& params) {
  if (auto refused = Unexpected(params, {"axis"})) return *refused;
  Answer error;
  const std::optional<int> axis = AxisParam(params, error);
  if (!axis) return error;
  console_.Stop(*axis);
  Record(id, "stop axis " + std::to_string(*axis));
  return Answer{Answer::Kind::kResult, Json::object()};
}

ControlCore::Answer ControlCore::StopAll(ClientId id) {
  console_.StopAll();
  Record(id, "stop_all");
  return Answer{Answer::Kind::kResult, Json::object()};
}

ControlCore::Answer ControlCore::Zero(ClientId id, const Json& params) {
  if (auto refused = Unexpected(params, {"axis"})) return *refused;
  Answer error;
  const std::optional<int> axis = AxisParam(params, error);
  if (!axis) return error;
  if (auto refused = NeedsControl(id)) {
    Record(id, "zero axis " + std::to_string(*axis) + ": refused, " + refused->message);
    return *refused;
  }
  const CommandResult result = console_.Zero(*axis);
  if (result.outcome == CommandOutcome::kNotNow) return Answer{Answer::Kind::kParked};
  if (result.outcome != CommandOutcome::kAccepted) {
    error.code = result.outcome == CommandOutcome::kEnding ? kConsoleEnding : kMoveRefused;
    error.message = result.message;
    return error;
  }
  Record(id, "zero axis " + std::to_string(*axis));
  return Answer{Answer::Kind::kResult, Json::object()};
}

ControlCore::Answer ControlCore::GetTuning(const Json& params) const {
  if (auto refused = Unexpected(params, {"axis"})) return *refused;
  Answer error;
  const std::optional<int> axis = AxisParam(params, error);
  if (!axis) return error;
  return Answer{Answer::Kind::kResult, TuningJson(*axis, console_.Tuning(*axis))};
}

ControlCore::Answer ControlCore::SetTuning(ClientId id, const Json& params) {
  if (auto refused = Unexpected(params, {"axis", "values"})) return *refused;
  Answer error;
  const std::optional<int> axis = AxisParam(params, error);
  if (!axis) return error;
  const auto values = params.find("values");
  if (values == params.end() || !values->is_object()) {
    error.code = kInvalidParams;
    error.message = "The values are missing: give an object of tuning values.";
    return error;
  }
  usb::TuningValues tuning = console_.Tuning(*axis);
  std::string said;
  // Every value is checked before any is applied.
  for (const auto& item : values->items()) {
    const std::string& key = item.key();
    const Json& value = item.value();
    const TuningField* field = std::find_if(std::begin(kTuningFields), std::end(kTuningFields),
                                            [&key](const TuningField& f) { return key == f.name; });
    if (field == std::end(kTuningFields)) {
      error.code = kInvalidParams;
      error.message = "Unknown tuning value " + Quoted(key) + ".";
      return error;
    }
    if (!value.is_number_integer() || value.get<std::int64_t>() < field->lowest ||
        value.get<std::int64_t>() > field->highest) {
      error.code = kInvalidParams;
      error.message = "The tuning value " + Quoted(key) + " must be a whole number from " +
                      std::to_string(field->lowest) + " to " + std::to_string(field->highest) + ".";
      return error;
    }
    SetTuningValue(tuning, key, static_cast<int>(value.get<std::int64_t>()));
    said += " " + key + "=" + std::to_string(value.get<std::int64_t>());
  }
  if (auto refused = NeedsControl(id)) {
    Record(id, "set_tuning axis " + std::to_string(*axis) + ": refused, " + refused->message);
    return *refused;
  }
  console_.SetTuning(*axis, tuning);
  Record(id, "set_tuning axis " + std::to_string(*axis) + said);
  return Answer{Answer::Kind::kResult, TuningJson(*axis, console_.Tuning(*axis))};
}

ControlCore::Answer ControlCore::StartWait(ClientId id, const Request& request) {
  const Json& params = request.params;
  if (auto refused = Unexpected(params, {"axis", "timeout_s"})) return *refused;
  Answer error;
  const std::optional<int> axis = AxisParam(params, error);
  if (!axis) return error;
  const auto timeout = params.find("timeout_s");
  if (timeout == params.end() || !timeout->is_number() || !(timeout->get<double>() > 0) ||
      !(timeout->get<double>() <= kMaxWaitS)) {
    error.code = kInvalidParams;
    error.message = "The timeout_s is a number of seconds above 0, at most 3600.";
    return error;
  }
  const AxisState state = console_.State(*axis);
  if (!Moving(*axis, state)) {
    const AxisInfo info = console_.Axis(*axis);
    return Answer{Answer::Kind::kResult,
                  {{"axis", *axis},
                   {"outcome", "settled"},
                   {"position", state.position / info.counts_per_unit},
                   {"position_counts", state.position}}};
  }
  if (!request.has_id) return Answer{Answer::Kind::kNone};
  waits_.push_back(Wait{id, request.id, *axis, console_.Now() + timeout->get<double>(), state.stops});
  return Answer{Answer::Kind::kNone};
}

ControlCore::Answer ControlCore::Subscribe(ClientId id, Client& client, const Json& params) {
  if (auto refused = Unexpected(params, {"rate_hz"})) return *refused;
  const auto rate = params.find("rate_hz");
  if (rate == params.end() || !rate->is_number() || !(rate->get<double>() >= kMinRateHz) ||
      !(rate->get<double>() <= kMaxRateHz)) {
    Answer error{Answer::Kind::kError};
    error.code = kInvalidParams;
    error.message = "The rate_hz is a number from 1 to 100.";
    return error;
  }
  client.rate_hz = rate->get<double>();
  client.period_s = 1.0 / client.rate_hz;
  client.next_due = console_.Now();
  Event("client " + ClientName(id) + " subscribed at " + Number(client.rate_hz) + " Hz");
  Changed(Change::kClients);
  return Answer{Answer::Kind::kResult, {{"rate_hz", client.rate_hz}}};
}

ControlCore::Answer ControlCore::Unsubscribe(ClientId id, Client& client) {
  if (client.rate_hz > 0) {
    client.rate_hz = 0;
    Event("client " + ClientName(id) + " unsubscribed");
    Changed(Change::kClients);
  }
  return Answer{Answer::Kind::kResult, Json::object()};
}

ControlCore::Answer ControlCore::AcquireControl(ClientId id) {
  if (holder_ == id) return Answer{Answer::Kind::kResult, {{"control", true}}};
  // A holder that has hung up, not yet noticed, holds nothing.
  if (holder_ && link_.HungUp(*holder_)) Disconnected(*holder_, "closed the connection");
  if (!remote_moves_allowed_ || holder_) {
    std::optional<Answer> refused = NeedsControl(id);
    Record(id, "acquire_control: refused, " + refused->message);
    return *refused;
  }
  holder_ = id;
  Event("client " + ClientName(id) + " took control");
  Record(id, "acquire_control");
  Changed(Change::kControl);
  if (!control_ever_taken_) {
    control_ever_taken_ = true;
    Changed(Change::kFirstControl);
  }
  return Answer{Answer::Kind::kResult, {{"control", true}}};
}

ControlCore::Answer ControlCore::ReleaseControl(ClientId id) {
  if (holder_ == id) {
    holder_.reset();
    Event("client " + ClientName(id) + " released control");
    Record(id, "release_control");
    Changed(Change::kControl);
  }
  return Answer{Answer::Kind::kResult, {{"control", false}}};
}

// ---------------------------------------------------------------- status

void ControlCore::AppendControl(std::string& out, ClientId id) const {
  out += R"({"held":)";
  json_text::AppendBool(out, holder_.has_value());
  out += R"(,"mine":)";
  json_text::AppendBool(out, holder_ == id);
  out += R"(,"holder_pid":)";
  const auto found = holder_ ? clients_.find(*holder_) : clients_.end();
  if (found != clients_.end()) {
    json_text::AppendInteger(out, found->second.peer.pid);
  } else {
    out += "null";
  }
  out += '}';
}

void ControlCore::WriteAxisStatus(int axis, const AxisInfo& info, const AxisState& state) {
  std::string& out = axes_text_.text;
  const double factor = info.counts_per_unit;
  const std::uint8_t f = state.flags;
  const auto bit = [&out, f](const char* key, std::uint8_t mask) {
    out += key;
    json_text::AppendBool(out, (f & mask) != 0);
  };
  out += R"({"index":)";
  json_text::AppendInteger(out, axis);
  out += R"(,"name":)";
  json_text::AppendString(out, info.name);
  out += R"(,"position":)";
  json_text::AppendDouble(out, state.position / factor);
  out += R"(,"position_counts":)";
  json_text::AppendInteger(out, state.position);
  out += R"(,"ideal_position":)";
  json_text::AppendDouble(out, state.ideal_position / factor);
  out += R"(,"ideal_counts":)";
  json_text::AppendInteger(out, state.ideal_position);
  bit(R"(,"flags":{"limit1":)", usb::kFlagLimit1);
  bit(R"(,"limit2":)", usb::kFlagLimit2);
  bit(R"(,"reverse":)", usb::kFlagReverse);
  bit(R"(,"max_speed":)", usb::kFlagMaxSpeed);
  bit(R"(,"busy":)", usb::kFlagBusy);
  bit(R"(,"active_high":)", usb::kFlagActiveHigh);
  bit(R"(,"error":)", usb::kFlagError);
  bit(R"(},"busy":)", usb::kFlagBusy);
  bit(R"(,"error":)", usb::kFlagError);
  bit(R"(,"limit":)", usb::kFlagLimit1 | usb::kFlagLimit2);
  out += R"(,"target":)";
  if (state.target_counts) {
    json_text::AppendDouble(out, *state.target_counts / factor);
    out += R"(,"target_counts":)";
    json_text::AppendDouble(out, *state.target_counts);
  } else {
    out += R"(null,"target_counts":null)";
  }
  out += '}';
}

void ControlCore::RefreshAxesText() {
  AxesText& made = axes_text_;
  const int count = console_.AxisCount();
  const auto axes = static_cast<std::size_t>(std::max(count, 0));
  bool fresh = made.tick == ticks_ && made.states.size() == axes;
  for (int axis = 0; fresh && axis < count; ++axis) {
    fresh = console_.State(axis) == made.states[static_cast<std::size_t>(axis)];
  }
  if (fresh) return;
  // The axes' names and units are read once per tick at most.
  if (made.tick != ticks_ || made.infos.size() != axes) {
    made.infos.resize(axes);
    for (int axis = 0; axis < count; ++axis) made.infos[static_cast<std::size_t>(axis)] = console_.Axis(axis);
  }
  made.states.resize(axes);
  made.axis_start.resize(axes);
  made.axis_end.resize(axes);
  made.text.clear();
  made.text += '[';
  for (int axis = 0; axis < count; ++axis) {
    const auto k = static_cast<std::size_t>(axis);
    if (axis > 0) made.text += ',';
    made.states[k] = console_.State(axis);
    made.axis_start[k] = made.text.size();
    WriteAxisStatus(axis, made.infos[k], made.states[k]);
    made.axis_end[k] = made.text.size();
  }
  made.text += ']';
  made.tick = ticks_;
}

void ControlCore::AppendStatus(std::string& out, ClientId id, double time, int only_axis) {
  RefreshAxesText();
  out += R"({"time":)";
  json_text::AppendDouble(out, time);
  out += R"(,"remote_moves_allowed":)";
  json_text::AppendBool(out, remote_moves_allowed_);
  out += R"(,"control":)";
  AppendControl(out, id);
  out += R"(,"axes":)";
  const auto k = static_cast<std::size_t>(only_axis);
  if (only_axis < 0 || k >= axes_text_.axis_start.size()) {
    out += axes_text_.text;
  } else {
    out += '[';
    out.append(axes_text_.text, axes_text_.axis_start[k], axes_text_.axis_end[k] - axes_text_.axis_start[k]);
    out += ']';
  }
  out += '}';
}

bool ControlCore::Moving(int axis, const AxisState& state) const {
  const auto k = static_cast<std::size_t>(axis);
  const bool grace = k < move_grace_.size() && move_grace_[k] > 0;
  return state.command_waiting || (state.flags & usb::kFlagBusy) != 0 || grace;
}

// ---------------------------------------------------------------- ticks

void ControlCore::AfterTick() {
  if (ending_) return;
  ++ticks_;  // the status of the last tick is out of date
  const int count = console_.AxisCount();
  if (move_grace_.size() < static_cast<std::size_t>(count)) move_grace_.resize(static_cast<std::size_t>(count));
  for (int axis = 0; axis < count; ++axis) {
    int& grace = move_grace_[static_cast<std::size_t>(axis)];
    if (grace == 0) continue;
    const AxisState state = console_.State(axis);
    if ((state.flags & usb::kFlagBusy) != 0) {
      grace = 0;  // the move shows: its busy flag tells when it ends
    } else if (!state.command_waiting) {
      --grace;
    }
  }
  const double now = console_.Now();
  AnswerEndedWaits(now);
  // Requests that waited for this tick, and lines held back by a burst.
  for (auto it = clients_.begin(); it != clients_.end();) {
    const ClientId id = it->first;
    Client& client = it->second;
    ++it;  // Process never removes a client
    client.turn_left = kRequestsPerTurn;
    if (client.parked || client.held_back) Process(id, client);
  }
  SendStatus(now);
}

void ControlCore::AnswerEndedWaits(double now) {
  for (auto it = waits_.begin(); it != waits_.end();) {
    const AxisState state = console_.State(it->axis);
    const bool timed_out = now >= it->deadline;
    if (!timed_out && Moving(it->axis, state)) {
      ++it;
      continue;
    }
    const char* outcome = "settled";
    if (Moving(it->axis, state)) {
      outcome = "timeout";
    } else if ((state.flags & usb::kFlagError) != 0) {
      outcome = "faulted";
    } else if (state.stops != it->stops_at_start) {
      outcome = "stopped";
    }
    const double factor = console_.Axis(it->axis).counts_per_unit;
    link_.Send(it->client, ResultLine(it->id, {{"axis", it->axis},
                                               {"outcome", outcome},
                                               {"position", state.position / factor},
                                               {"position_counts", state.position}}));
    it = waits_.erase(it);
  }
}

void ControlCore::SendStatus(double now) {
  for (auto& [id, client] : clients_) {
    if (client.rate_hz <= 0) continue;
    // A tick a little early still counts (the ticks are 10 ms apart).
    constexpr double kEarlyS = 0.002;
    if (now + kEarlyS < client.next_due) continue;
    client.next_due += client.period_s;
    if (client.next_due < now - client.period_s) client.next_due = now + client.period_s;
    // The axes' part is made once for every subscriber (and every answer)
    // of this tick.
    line_.clear();
    line_ += R"({"jsonrpc":"2.0","method":"status","params":)";
    AppendStatus(line_, id, now, -1);
    line_ += "}\n";
    link_.Send(id, line_);
  }
}

// ---------------------------------------------------------------- operator

void ControlCore::LoseControl(std::string_view reason) {
  if (!holder_) return;
  const ClientId id = *holder_;
  holder_.reset();
  Event("client " + ClientName(id) + " lost control: " + std::string(reason));
  link_.Send(id, NotificationLine("control_lost", {{"reason", std::string(reason)}}));
  Changed(Change::kControl);
}

void ControlCore::RevokeControl(std::string_view reason) { LoseControl(reason); }

void ControlCore::SetRemoteMovesAllowed(bool allowed) {
  if (allowed == remote_moves_allowed_) return;
  remote_moves_allowed_ = allowed;
  Event(allowed ? "the operator allows remote moves" : "the operator refuses remote moves");
  if (!allowed) LoseControl("remote moves refused by the operator");
  Changed(Change::kControl);
}

void ControlCore::Ending() {
  if (ending_) return;
  for (const Wait& wait : waits_) {
    link_.Send(wait.client, ErrorLine(wait.id, kConsoleEnding, "The console is ending."));
  }
  waits_.clear();
  for (const auto& [id, client] : clients_) link_.Send(id, NotificationLine("console_ending", Json::object()));
  ending_ = true;
  holder_.reset();
}

// ---------------------------------------------------------------- views

std::vector<ClientView> ControlCore::Clients() const {
  std::vector<ClientView> views;
  views.reserve(clients_.size());
  for (const auto& [id, client] : clients_) {
    views.push_back(ClientView{id, client.peer, client.since, holder_ == id, client.rate_hz});
  }
  return views;
}

std::string ControlCore::ClientName(ClientId client) const {
  const auto found = clients_.find(client);
  if (found == clients_.end()) return "#" + std::to_string(client);
  const Peer& peer = found->second.peer;
  std::string name = "pid " + std::to_string(peer.pid) + " uid " + std::to_string(peer.uid);
  if (!peer.program.empty()) name += " (" + peer.program + ")";
  return name;
}

void ControlCore::Record(ClientId id, std::string text) {
  Event("client " + ClientName(id) + ": " + text);
  const auto found = clients_.find(id);
  recent_.push_back(CommandRecord{console_.Now(), id, found == clients_.end() ? -1 : found->second.peer.pid,
                                  std::move(text)});
  while (recent_.size() > kRecentCommands) recent_.pop_front();
  Changed(Change::kCommand);
}

void ControlCore::Event(const std::string& text) const {
  if (events_) events_(text);
}

void ControlCore::Changed(Change change) const {
  if (changes_) changes_(change);
}

}  // namespace stage::control
