// The control API's protocol against a fake console: every method and every
// error as a table of request -> answer, then what needs several steps
// (control changing hands, waits, subscriptions, bursts, framing).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "stage/control/control_core.h"
#include "stage/control/json_text.h"
#include "stage/control/line_framer.h"
#include "stage/control/request.h"

namespace stage::control {
namespace {

// Two axes: "X" in µm (128 counts per µm, no limits) and "Y" in counts with
// travel limits -1000..1000 counts. Moves beyond the encodable range or the
// limits are refused as the main window refuses them.
class FakeConsole final : public ConsolePort {
 public:
  FakeConsole() {
    axes[0].name = "X";
    axes[0].serial = "SN-X";
    axes[0].port = "1-2";
    axes[0].counts_per_unit = 128;
    axes[0].counts_are_units = false;
    axes[1].name = "Y";
    axes[1].serial = "SN-Y";
    axes[1].counts_per_unit = 1;
    axes[1].limits = TravelLimits{-1000, 1000};
    states[0].valid = states[1].valid = true;
    states[0].position = 1280;
    states[0].ideal_position = 1290;
    states[1].flags = usb::kFlagLimit2 | usb::kFlagReverse;
  }

  int AxisCount() const override { return axis_count; }
  AxisInfo Axis(int axis) const override { return axes.at(axis); }
  AxisState State(int axis) const override { return states.at(axis); }
  CommandResult Move(int axis, MoveKind kind, double value_counts) override {
    if (states.at(axis).command_waiting) return {CommandOutcome::kNotNow, "waiting", 0};
    const double base = states.at(axis).target_counts.value_or(states.at(axis).ideal_position);
    const double end = kind == MoveKind::kAbsolute ? value_counts : base + value_counts;
    if (std::abs(value_counts) > 1073741823) return {CommandOutcome::kOutOfRange, "Target out of range.", 0};
    const TravelLimits& limits = axes.at(axis).limits;
    if ((limits.upper_counts && end > static_cast<double>(*limits.upper_counts)) ||
        (limits.lower_counts && end < static_cast<double>(*limits.lower_counts))) {
      return {CommandOutcome::kBeyondLimit, "Beyond the upper limit.", 0};
    }
    moves.push_back({axis, kind, value_counts});
    states.at(axis).target_counts = end;
    states.at(axis).command_waiting = true;
    return {CommandOutcome::kAccepted, "", end};
  }
  void Stop(int axis) override {
    stopped.push_back(axis);
    ++states.at(axis).stops;
    states.at(axis).target_counts.reset();
  }
  void StopAll() override {
    for (int axis = 0; axis < axis_count; ++axis) Stop(axis);
  }
  CommandResult Zero(int axis) override {
    if (states.at(axis).command_waiting) return {CommandOutcome::kNotNow, "waiting", 0};
    zeroed.push_back(axis);
    states.at(axis).command_waiting = true;
    return {};
  }
  usb::TuningValues Tuning(int axis) const override { return tuning.at(axis); }
  void SetTuning(int axis, const usb::TuningValues& values) override { tuning.at(axis) = values; }
  double Now() const override { return now; }

  // A tick: the commands have gone out.
  void PacketsSent() {
    for (auto& [axis, state] : states) state.command_waiting = false;
  }

  struct MoveMade {
    int axis;
    MoveKind kind;
    double counts;
  };
  int axis_count = 2;
  std::map<int, AxisInfo> axes;
  std::map<int, AxisState> states;
  std::map<int, usb::TuningValues> tuning{{0, {}}, {1, {}}};
  std::vector<MoveMade> moves;
  std::vector<int> stopped;
  std::vector<int> zeroed;
  double now = 100;
};

class RecordingLink final : public ClientLink {
 public:
  void Send(ClientId client, std::string_view line) override {
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    sent[client].emplace_back(line);
  }
  // Everything sent to the client since the last call, parsed.
  std::vector<Json> Take(ClientId client) {
    std::vector<Json> lines;
    for (const std::string& line : sent[client]) lines.push_back(Json::parse(line));
    sent[client].clear();
    return lines;
  }
  bool HungUp(ClientId client) override { return hung_up.contains(client); }
  std::map<ClientId, std::vector<std::string>> sent;
  std::set<ClientId> hung_up;
};

constexpr ClientId kFirst = 1;
constexpr ClientId kSecond = 2;

class ControlCoreTest : public ::testing::Test {
 protected:
  ControlCoreTest()
      : core(console, link, "1.2.3", [this](std::string_view text) { events.emplace_back(text); }) {
    core.Connected(kFirst, Peer{4242, 1000, "python3"});
    core.Connected(kSecond, Peer{4343, 1000, "stage-console-ct"});
  }

  // One line in, the answers out.
  std::vector<Json> Ask(const std::string& line, ClientId client = kFirst) {
    core.Received(client, line + "\n");
    return link.Take(client);
  }
  Json AskOne(const std::string& line, ClientId client = kFirst) {
    std::vector<Json> answers = Ask(line, client);
    EXPECT_EQ(answers.size(), 1U) << line;
    return answers.empty() ? Json() : answers.front();
  }
  static std::string Call(const std::string& method, const std::string& params = "", int id = 1) {
    std::string line = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method + "\"";
    if (!params.empty()) line += R"(,"params":)" + params;
    return line + "}";
  }
  void TakeControl(ClientId client = kFirst) {
    ASSERT_EQ(AskOne(Call("acquire_control"), client)["result"]["control"], true);
  }
  void Tick() {
    console.PacketsSent();
    core.AfterTick();
  }

  FakeConsole console;
  RecordingLink link;
  std::vector<std::string> events;
  ControlCore core;
};

// ---------------------------------------------------------------- the table

struct Exchange {
  const char* name;
  bool with_control;  // the client holds control first
  std::string request;
  // The whole answer; an error's message is compared only when given.
  std::string answer;
};

void PrintTo(const Exchange& exchange, std::ostream* out) { *out << exchange.name; }

class MethodTable : public ControlCoreTest, public ::testing::WithParamInterface<Exchange> {};

TEST_P(MethodTable, AnswersAsWrittenDown) {
  const Exchange& exchange = GetParam();
  if (exchange.with_control) TakeControl();
  const std::vector<Json> answers = Ask(exchange.request);
  if (exchange.answer.empty()) {
    EXPECT_TRUE(answers.empty()) << answers.front().dump();
    return;
  }
  ASSERT_EQ(answers.size(), 1U);
  Json expected = Json::parse(exchange.answer);
  Json actual = answers.front();
  if (expected.contains("error") && !expected["error"].contains("message")) {
    ASSERT_TRUE(actual.contains("error")) << actual.dump();
    EXPECT_TRUE(actual["error"]["message"].is_string());
    EXPECT_FALSE(actual["error"]["message"].get<std::string>().empty());
    actual["error"].erase("message");
  }
  EXPECT_EQ(actual, expected) << actual.dump();
}

const std::string kStatusX =
    R"({"index":0,"name":"X","position":10.0,"position_counts":1280,"ideal_position":10.078125,"ideal_counts":1290,)"
    R"("flags":{"limit1":false,"limit2":false,"reverse":false,"max_speed":false,"busy":false,"active_high":false,)"
    R"("error":false},"busy":false,"error":false,"limit":false,"target":null,"target_counts":null})";
const std::string kStatusY =
    R"({"index":1,"name":"Y","position":0.0,"position_counts":0,"ideal_position":0.0,"ideal_counts":0,)"
    R"("flags":{"limit1":false,"limit2":true,"reverse":true,"max_speed":false,"busy":false,"active_high":false,)"
    R"("error":false},"busy":false,"error":false,"limit":true,"target":null,"target_counts":null})";
const std::string kDefaultTuning =
    R"({"p":15,"i":5,"d":5,"acc":50,"max_speed":80,"torque":200,"f_error":50,"speed":0})";

std::string Result(const std::string& result, int id = 1) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)" + result + "}";
}
std::string Error(int code, const std::string& id = "1") {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"error":{"code":)" + std::to_string(code) + "}}";
}
std::string Call(const std::string& method, const std::string& params = "") {
  std::string line = R"({"jsonrpc":"2.0","id":1,"method":")" + method + "\"";
  if (!params.empty()) line += R"(,"params":)" + params;
  return line + "}";
}

const Exchange kMethods[] = {
    {"version", false, Call("version"), Result(R"({"name":"stage-console","version":"1.2.3","api":1})")},
    {"version_with_params", false, Call("version", R"({"x":1})"), Error(kInvalidParams)},
    {"list_axes", false, Call("list_axes"),
     Result(R"({"axes":[)"
            R"({"index":0,"name":"X","serial":"SN-X","port":"1-2","units":"um","counts_per_unit":128.0,)"
            R"("limits":{"lower":null,"upper":null},"limits_counts":{"lower":null,"upper":null}},)"
            R"({"index":1,"name":"Y","serial":"SN-Y","port":"","units":"En","counts_per_unit":1.0,)"
            R"("limits":{"lower":-1000.0,"upper":1000.0},"limits_counts":{"lower":-1000,"upper":1000}}]})")},
    {"get_status_all", false, Call("get_status"),
     Result(R"({"time":100.0,"remote_moves_allowed":true,"control":{"held":false,"mine":false,"holder_pid":null},)"
            R"("axes":[)" + kStatusX + "," + kStatusY + "]}")},
    {"get_status_by_name_with_control", true, Call("get_status", R"({"axis":"Y  "})"),
     Result(R"({"time":100.0,"remote_moves_allowed":true,"control":{"held":true,"mine":true,"holder_pid":4242},)"
            R"("axes":[)" + kStatusY + "]}")},
    {"get_status_unknown_axis", false, Call("get_status", R"({"axis":2})"), Error(kAxisUnknown)},
    {"get_status_negative_axis", false, Call("get_status", R"({"axis":-1})"), Error(kAxisUnknown)},
    {"get_status_axis_float", false, Call("get_status", R"({"axis":0.5})"), Error(kInvalidParams)},
    {"get_status_axis_bool", false, Call("get_status", R"({"axis":true})"), Error(kInvalidParams)},

    {"move_absolute_native", true, Call("move_absolute", R"({"axis":0,"position":2.5})"),
     Result(R"({"axis":0,"target":2.5,"target_counts":320.0})")},
    {"move_absolute_counts_by_name", true, Call("move_absolute", R"({"axis":"X","position":320,"units":"counts"})"),
     Result(R"({"axis":0,"target":2.5,"target_counts":320.0})")},
    {"move_absolute_without_control", false, Call("move_absolute", R"({"axis":0,"position":1})"), Error(kNoControl)},
    {"move_absolute_beyond_limit", true, Call("move_absolute", R"({"axis":1,"position":1001})"),
     R"({"jsonrpc":"2.0","id":1,"error":{"code":-32002,"message":"Beyond the upper limit."}})"},
    {"move_absolute_out_of_range", true, Call("move_absolute", R"({"axis":0,"position":1e12})"), Error(kMoveRefused)},
    {"move_absolute_unknown_axis_name", true, Call("move_absolute", R"({"axis":"Q","position":1})"),
     Error(kAxisUnknown)},
    {"move_absolute_empty_axis_name", true, Call("move_absolute", R"({"axis":"","position":1})"), Error(kAxisUnknown)},
    {"move_absolute_no_axis", true, Call("move_absolute", R"({"position":1})"), Error(kInvalidParams)},
    {"move_absolute_no_position", true, Call("move_absolute", R"({"axis":0})"), Error(kInvalidParams)},
    {"move_absolute_position_text", true, Call("move_absolute", R"({"axis":0,"position":"1"})"),
     Error(kInvalidParams)},
    {"move_absolute_bad_units", true, Call("move_absolute", R"({"axis":0,"position":1,"units":"mm"})"),
     Error(kInvalidParams)},
    {"move_absolute_misspelt_param", true, Call("move_absolute", R"({"axis":0,"positon":1})"), Error(kInvalidParams)},
    {"move_relative", true, Call("move_relative", R"({"axis":1,"distance":-5})"),
     Result(R"({"axis":1,"target":-5.0,"target_counts":-5.0})")},
    {"move_relative_beyond_limit", true, Call("move_relative", R"({"axis":1,"distance":-1001})"),
     Error(kBeyondLimit)},
    {"move_relative_without_control", false, Call("move_relative", R"({"axis":1,"distance":1})"), Error(kNoControl)},
    {"move_relative_position_instead", true, Call("move_relative", R"({"axis":1,"position":1})"),
     Error(kInvalidParams)},

    {"stop_without_control", false, Call("stop", R"({"axis":"X"})"), Result("{}")},
    {"stop_unknown_axis", false, Call("stop", R"({"axis":7})"), Error(kAxisUnknown)},
    {"stop_no_axis", false, Call("stop"), Error(kInvalidParams)},
    {"stop_all_without_control", false, Call("stop_all"), Result("{}")},
    {"zero", true, Call("zero", R"({"axis":1})"), Result("{}")},
    {"zero_without_control", false, Call("zero", R"({"axis":1})"), Error(kNoControl)},

    {"get_tuning", false, Call("get_tuning", R"({"axis":0})"), Result(R"({"axis":0,"values":)" + kDefaultTuning + "}")},
    {"get_tuning_no_axis", false, Call("get_tuning"), Error(kInvalidParams)},
    {"set_tuning", true, Call("set_tuning", R"({"axis":0,"values":{"p":155,"speed":-10000}})"),
     Result(R"({"axis":0,"values":{"p":155,"i":5,"d":5,"acc":50,"max_speed":80,"torque":200,"f_error":50,)"
            R"("speed":-10000}})")},
    {"set_tuning_without_control", false, Call("set_tuning", R"({"axis":0,"values":{"p":1}})"), Error(kNoControl)},
    {"set_tuning_above_range", true, Call("set_tuning", R"({"axis":0,"values":{"p":156}})"), Error(kInvalidParams)},
    {"set_tuning_below_range", true, Call("set_tuning", R"({"axis":0,"values":{"max_speed":4}})"),
     Error(kInvalidParams)},
    {"set_tuning_fraction", true, Call("set_tuning", R"({"axis":0,"values":{"acc":2.5}})"), Error(kInvalidParams)},
    {"set_tuning_unknown_value", true, Call("set_tuning", R"({"axis":0,"values":{"gain":2}})"),
     Error(kInvalidParams)},
    {"set_tuning_no_values", true, Call("set_tuning", R"({"axis":0})"), Error(kInvalidParams)},

    {"wait_nothing_moving", false, Call("wait", R"({"axis":0,"timeout_s":1})"),
     Result(R"({"axis":0,"outcome":"settled","position":10.0,"position_counts":1280})")},
    {"wait_zero_timeout", false, Call("wait", R"({"axis":0,"timeout_s":0})"), Error(kInvalidParams)},
    {"wait_long_timeout", false, Call("wait", R"({"axis":0,"timeout_s":3600.5})"), Error(kInvalidParams)},
    {"wait_no_timeout", false, Call("wait", R"({"axis":0})"), Error(kInvalidParams)},
    {"wait_unknown_axis", false, Call("wait", R"({"axis":"Z","timeout_s":1})"), Error(kAxisUnknown)},

    {"subscribe", false, Call("subscribe", R"({"rate_hz":50})"), Result(R"({"rate_hz":50})")},
    {"subscribe_too_fast", false, Call("subscribe", R"({"rate_hz":101})"), Error(kInvalidParams)},
    {"subscribe_too_slow", false, Call("subscribe", R"({"rate_hz":0.5})"), Error(kInvalidParams)},
    {"subscribe_no_rate", false, Call("subscribe"), Error(kInvalidParams)},
    {"unsubscribe", false, Call("unsubscribe"), Result("{}")},
    {"acquire_control", false, Call("acquire_control"), Result(R"({"control":true})")},
    {"acquire_control_again", true, Call("acquire_control"), Result(R"({"control":true})")},
    {"release_control", true, Call("release_control"), Result(R"({"control":false})")},
    {"release_control_not_held", false, Call("release_control"), Result(R"({"control":false})")},

    // Requests that are not requests.
    {"unknown_method", false, Call("fly"), Error(kMethodNotFound)},
    {"not_json", false, "move X 1000", Error(kParseError, "null")},
    {"truncated_json", false, R"({"jsonrpc":"2.0","id":1,"method":"version")", Error(kParseError, "null")},
    {"invalid_utf8", false, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ver\xC3\x28sion\"}", Error(kParseError, "null")},
    {"overlong_utf8", false, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xC0\xAF\"}", Error(kParseError, "null")},
    {"surrogate_utf8", false, "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xED\xA0\x80\"}", Error(kParseError, "null")},
    {"too_deep", false, std::string(33, '[') + std::string(33, ']'), Error(kParseError, "null")},
    {"deep_in_params", false,
     R"({"jsonrpc":"2.0","id":1,"method":"version","params":{"a":)" + std::string(31, '[') + std::string(31, ']') +
         "}}",
     Error(kParseError, "null")},
    {"deep_brackets_in_a_string_are_text", false,
     R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(40, '[') + "\"}", Error(kMethodNotFound)},
    {"batch", false, "[" + Call("version") + "]", Error(kInvalidRequest, "null")},
    {"empty_batch", false, "[]", Error(kInvalidRequest, "null")},
    {"number", false, "5", Error(kInvalidRequest, "null")},
    {"no_jsonrpc", false, R"({"id":1,"method":"version"})", Error(kInvalidRequest)},
    {"old_jsonrpc", false, R"({"jsonrpc":"1.0","id":1,"method":"version"})", Error(kInvalidRequest)},
    {"method_not_text", false, R"({"jsonrpc":"2.0","id":1,"method":5})", Error(kInvalidRequest)},
    {"id_object", false, R"({"jsonrpc":"2.0","id":{},"method":"version"})", Error(kInvalidRequest, "null")},
    {"id_text", false, R"({"jsonrpc":"2.0","id":"a\"b","method":"fly"})", Error(kMethodNotFound, R"("a\"b")")},
    {"params_list", false, R"({"jsonrpc":"2.0","id":1,"method":"stop","params":[0]})", Error(kInvalidParams)},
    {"params_text", false, R"({"jsonrpc":"2.0","id":1,"method":"stop","params":"0"})", Error(kInvalidRequest)},
    {"notification_carried_out_unanswered", false, R"({"jsonrpc":"2.0","method":"stop_all"})", ""},
    {"unknown_notification_unanswered", false, R"({"jsonrpc":"2.0","method":"fly"})", ""},
    {"empty_line", false, "", Error(kParseError, "null")},
};

INSTANTIATE_TEST_SUITE_P(Protocol, MethodTable, ::testing::ValuesIn(kMethods),
                         [](const ::testing::TestParamInfo<Exchange>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------- commands reach the console

TEST_F(ControlCoreTest, MovesReachTheConsoleInCounts) {
  TakeControl();
  AskOne(Call("move_absolute", R"({"axis":"X","position":-1.5})"));
  Tick();
  AskOne(Call("move_relative", R"({"axis":1,"distance":7,"units":"counts"})"));
  ASSERT_EQ(console.moves.size(), 2U);
  EXPECT_EQ(console.moves[0].axis, 0);
  EXPECT_EQ(console.moves[0].kind, MoveKind::kAbsolute);
  EXPECT_DOUBLE_EQ(console.moves[0].counts, -192);
  EXPECT_EQ(console.moves[1].kind, MoveKind::kRelative);
  EXPECT_DOUBLE_EQ(console.moves[1].counts, 7);
  // Refusals reach nothing.
  Tick();
  AskOne(Call("move_absolute", R"({"axis":1,"position":5000})"));
  EXPECT_EQ(console.moves.size(), 2U);
}

TEST_F(ControlCoreTest, StopsNeedNoControlEvenWhileAnotherHoldsIt) {
  TakeControl(kSecond);
  EXPECT_EQ(AskOne(Call("stop", R"({"axis":"Y"})"))["result"], Json::object());
  EXPECT_EQ(AskOne(Call("stop_all"))["result"], Json::object());
  EXPECT_EQ(console.stopped, (std::vector<int>{1, 0, 1}));
  EXPECT_EQ(AskOne(Call("move_absolute", R"({"axis":0,"position":1})"))["error"]["code"], kNoControl);
}

TEST_F(ControlCoreTest, SetTuningChecksEveryValueBeforeApplyingAny) {
  TakeControl();
  const Json refused = AskOne(Call("set_tuning", R"({"axis":0,"values":{"p":1,"torque":0}})"));
  EXPECT_EQ(refused["error"]["code"], kInvalidParams);
  EXPECT_EQ(console.tuning[0], usb::TuningValues{});
  AskOne(Call("set_tuning", R"({"axis":0,"values":{"p":1,"torque":1}})"));
  EXPECT_EQ(console.tuning[0].p, 1);
  EXPECT_EQ(console.tuning[0].torque, 1);
}

// ---------------------------------------------------------------- control

TEST_F(ControlCoreTest, OneHolderAtATimeAndTheOtherIsToldWho) {
  TakeControl(kFirst);
  const Json refused = AskOne(Call("acquire_control"), kSecond);
  EXPECT_EQ(refused["error"]["code"], kNoControl);
  EXPECT_NE(refused["error"]["message"].get<std::string>().find("4242"), std::string::npos);
  const Json status = AskOne(Call("get_status"), kSecond);
  EXPECT_EQ(status["result"]["control"], Json::parse(R"({"held":true,"mine":false,"holder_pid":4242})"));
  AskOne(Call("release_control"), kFirst);
  TakeControl(kSecond);
  EXPECT_EQ(core.Holder(), kSecond);
}

TEST_F(ControlCoreTest, DisconnectReleasesControlAndDropsWaits) {
  TakeControl(kFirst);
  AskOne(Call("move_absolute", R"({"axis":0,"position":3})"));
  EXPECT_TRUE(Ask(Call("wait", R"({"axis":0,"timeout_s":5})")).empty());
  core.Disconnected(kFirst, "closed the connection");
  EXPECT_FALSE(core.Holder());
  Tick();
  EXPECT_TRUE(link.sent[kFirst].empty());
  TakeControl(kSecond);
  EXPECT_NE(std::find(events.begin(), events.end(), "client pid 4242 uid 1000 (python3) released control (disconnected)"),
            events.end());
}

// A holder read once a tick may have closed its end before the server
// notices: it does not keep another client from control meanwhile.
TEST_F(ControlCoreTest, AHolderThatHungUpUnnoticedHoldsNothing) {
  TakeControl(kFirst);
  EXPECT_EQ(AskOne(Call("acquire_control"), kSecond)["error"]["code"], kNoControl);
  link.hung_up.insert(kFirst);
  TakeControl(kSecond);
  EXPECT_EQ(core.Holder(), kSecond);
  EXPECT_NE(std::find(events.begin(), events.end(), "client pid 4242 uid 1000 (python3) released control (disconnected)"),
            events.end());
  // The server's own notice comes later and changes nothing.
  core.Disconnected(kFirst, "closed the connection");
  EXPECT_EQ(core.Holder(), kSecond);
}

TEST_F(ControlCoreTest, OperatorRevokesAndRefusesUntilAllowedAgain) {
  TakeControl(kFirst);
  core.RevokeControl("revoked by the operator");
  std::vector<Json> told = link.Take(kFirst);
  ASSERT_EQ(told.size(), 1U);
  EXPECT_EQ(told[0]["method"], "control_lost");
  EXPECT_EQ(told[0]["params"]["reason"], "revoked by the operator");
  EXPECT_FALSE(told[0].contains("id"));
  TakeControl(kFirst);  // a revoke alone does not refuse

  core.SetRemoteMovesAllowed(false);  // Esc
  told = link.Take(kFirst);
  ASSERT_EQ(told.size(), 1U);
  EXPECT_EQ(told[0]["params"]["reason"], "remote moves refused by the operator");
  EXPECT_EQ(AskOne(Call("acquire_control"))["error"]["code"], kRemoteMovesRefused);
  EXPECT_EQ(AskOne(Call("move_absolute", R"({"axis":0,"position":1})"))["error"]["code"], kRemoteMovesRefused);
  EXPECT_EQ(AskOne(Call("stop_all"))["result"], Json::object());  // stops still work
  EXPECT_EQ(AskOne(Call("get_status"))["result"]["remote_moves_allowed"], false);
  core.SetRemoteMovesAllowed(true);
  TakeControl(kFirst);
  EXPECT_EQ(console.moves.size(), 0U);
}

// ---------------------------------------------------------------- one command per axis per tick

TEST_F(ControlCoreTest, ASecondMoveOfAnAxisWaitsForTheNextTickAndLaterLinesWaitBehindIt) {
  TakeControl();
  std::string lines = Call("move_absolute", R"({"axis":0,"position":1})") + "\n" +
                      R"({"jsonrpc":"2.0","id":2,"method":"move_absolute","params":{"axis":0,"position":2}})" "\n" +
                      R"({"jsonrpc":"2.0","id":3,"method":"version"})" "\n";
  core.Received(kFirst, lines);
  std::vector<Json> answers = link.Take(kFirst);
  ASSERT_EQ(answers.size(), 1U);
  EXPECT_EQ(answers[0]["id"], 1);
  EXPECT_EQ(console.moves.size(), 1U);
  Tick();
  answers = link.Take(kFirst);
  ASSERT_EQ(answers.size(), 2U);
  EXPECT_EQ(answers[0]["id"], 2);
  EXPECT_EQ(answers[0]["result"]["target_counts"], 256.0);
  EXPECT_EQ(answers[1]["id"], 3);
  EXPECT_EQ(console.moves.size(), 2U);
}

TEST_F(ControlCoreTest, AParkedMoveIsCheckedAgainWhenItsTurnComes) {
  TakeControl();
  core.Received(kFirst, Call("move_absolute", R"({"axis":0,"position":1})") + "\n" +
                            Call("move_absolute", R"({"axis":0,"position":2})") + "\n");
  link.Take(kFirst);
  core.SetRemoteMovesAllowed(false);  // Esc before the next tick
  link.Take(kFirst);
  Tick();
  const std::vector<Json> answers = link.Take(kFirst);
  ASSERT_EQ(answers.size(), 1U);
  EXPECT_EQ(answers[0]["error"]["code"], kRemoteMovesRefused);
  EXPECT_EQ(console.moves.size(), 1U);
}

TEST_F(ControlCoreTest, ABurstIsCarriedOutAFewHundredAtATime) {
  std::string burst;
  for (int i = 0; i < 10000; ++i) burst += Call("version") + "\n";
  core.Received(kFirst, burst);
  EXPECT_EQ(link.Take(kFirst).size(), static_cast<std::size_t>(ControlCore::kRequestsPerTurn));
  std::size_t answered = ControlCore::kRequestsPerTurn;
  for (int tick = 0; tick < 100 && answered < 10000; ++tick) {
    Tick();
    const std::size_t now = link.Take(kFirst).size();
    EXPECT_LE(now, static_cast<std::size_t>(ControlCore::kRequestsPerTurn));
    answered += now;
  }
  EXPECT_EQ(answered, 10000U);
  EXPECT_EQ(core.Backlog(kFirst), 0U);
}

// ---------------------------------------------------------------- waits

class WaitTest : public ControlCoreTest {
 protected:
  void StartMove() {
    TakeControl();
    AskOne(Call("move_absolute", R"({"axis":0,"position":20})"));
    ASSERT_TRUE(Ask(Call("wait", R"({"axis":"X","timeout_s":2})", 9)).empty());
  }
  void Busy(bool busy) {
    console.states[0].flags = busy ? usb::kFlagBusy : 0;
  }
  std::string Outcome() {
    const std::vector<Json> answers = link.Take(kFirst);
    if (answers.empty()) return "";
    EXPECT_EQ(answers.size(), 1U);
    EXPECT_EQ(answers[0]["id"], 9);
    return answers[0]["result"]["outcome"].get<std::string>();
  }
};

TEST_F(WaitTest, SettledWhenTheBusyFlagGoesDown) {
  StartMove();
  Tick();
  EXPECT_EQ(Outcome(), "");  // the busy flag has not shown yet
  Busy(true);
  for (int i = 0; i < 10; ++i) Tick();
  EXPECT_EQ(Outcome(), "");
  Busy(false);
  Tick();
  EXPECT_EQ(Outcome(), "settled");
}

TEST_F(WaitTest, SettledAnswerCarriesThePosition) {
  StartMove();
  Busy(true);
  Tick();
  Busy(false);
  console.states[0].position = 2560;
  Tick();
  const std::vector<Json> answers = link.Take(kFirst);
  ASSERT_EQ(answers.size(), 1U);
  EXPECT_EQ(answers[0]["result"], Json::parse(R"({"axis":0,"outcome":"settled","position":20.0,"position_counts":2560})"));
}

TEST_F(WaitTest, AMoveThatNeverShowsBusyIsSettledAfterTheGrace) {
  StartMove();
  for (int i = 0; i < ControlCore::kMoveGraceTicks; ++i) {
    EXPECT_EQ(Outcome(), "");
    Tick();
  }
  EXPECT_EQ(Outcome(), "settled");
}

TEST_F(WaitTest, StoppedWhenStoppedMeanwhile) {
  StartMove();
  Busy(true);
  Tick();
  AskOne(Call("stop", R"({"axis":0})"), kSecond);
  Busy(false);
  Tick();
  EXPECT_EQ(Outcome(), "stopped");
}

TEST_F(WaitTest, FaultedWhenTheErrorFlagIsUpAtTheEnd) {
  StartMove();
  Busy(true);
  Tick();
  console.states[0].flags = usb::kFlagError;
  Tick();
  EXPECT_EQ(Outcome(), "faulted");
}

TEST_F(WaitTest, TimeoutWhileStillMoving) {
  StartMove();
  Busy(true);
  Tick();
  console.now += 1.9;
  Tick();
  EXPECT_EQ(Outcome(), "");
  console.now += 0.2;
  Tick();
  EXPECT_EQ(Outcome(), "timeout");
}

TEST_F(WaitTest, ConsoleEndingAnswersWaitsAndTellsEveryClient) {
  StartMove();
  core.Ending();
  const std::vector<Json> first = link.Take(kFirst);
  ASSERT_EQ(first.size(), 2U);
  EXPECT_EQ(first[0]["error"]["code"], kConsoleEnding);
  EXPECT_EQ(first[1]["method"], "console_ending");
  const std::vector<Json> second = link.Take(kSecond);
  ASSERT_EQ(second.size(), 1U);
  EXPECT_EQ(second[0]["method"], "console_ending");
  // Nothing is carried out from here on.
  EXPECT_TRUE(Ask(Call("version")).empty());
}

// ---------------------------------------------------------------- status text

// The status is written as text, once per tick, and shared: what a client
// reads must still be the console as it is, and read back as nlohmann's
// own dump of the same values would.
TEST_F(ControlCoreTest, SharedStatusFollowsChangesBetweenTicks) {
  TakeControl();
  const Json before = AskOne(Call("get_status", R"({"axis":0})"))["result"]["axes"][0];
  EXPECT_EQ(before["target"], nullptr);
  // A move accepted between two ticks shows in the next answer.
  AskOne(Call("move_absolute", R"({"axis":0,"position":2.5})"));
  const Json moved = AskOne(Call("get_status"))["result"]["axes"][0];
  EXPECT_EQ(moved["target"], 2.5);
  EXPECT_EQ(moved["target_counts"], 320.0);
  // So does what the operator did meanwhile (the fake's state changed).
  console.states[1].position = -7;
  EXPECT_EQ(AskOne(Call("get_status", R"({"axis":1})"))["result"]["axes"][0]["position_counts"], -7);
  // A renamed axis shows after the next tick; a subscriber reads the same.
  console.axes[1].name = "Z\"1";
  AskOne(Call("subscribe", R"({"rate_hz":100})"), kSecond);
  Tick();
  const std::vector<Json> notes = link.Take(kSecond);
  ASSERT_EQ(notes.size(), 1U);
  EXPECT_EQ(notes[0]["params"]["axes"][1]["name"], "Z\"1");
  EXPECT_EQ(notes[0]["params"]["axes"], AskOne(Call("get_status"))["result"]["axes"]);
  EXPECT_EQ(notes[0]["params"]["control"]["mine"], false);
}

TEST_F(ControlCoreTest, StatusAnswersKeepTheRequestsId) {
  for (const char* id : {"0", "-3", "18446744073709551615", "2.5", R"("abc\u0001")", "null"}) {
    const std::string line = std::string(R"({"jsonrpc":"2.0","id":)") + id + R"(,"method":"get_status"})";
    EXPECT_EQ(AskOne(line)["id"], Json::parse(id)) << id;
  }
}

class JsonTextNumbers : public ::testing::TestWithParam<double> {};

TEST_P(JsonTextNumbers, ReadAsNlohmannWritesThem) {
  std::string text;
  json_text::AppendDouble(text, GetParam());
  EXPECT_EQ(text, Dump(Json(GetParam())));
}

INSTANTIATE_TEST_SUITE_P(StatusText, JsonTextNumbers,
                         ::testing::Values(0.0, -0.0, 10.0, -2.5, 0.1, 10.078125, 1e-7, 123456.789, -8388607.0,
                                           1e21, std::nan(""), HUGE_VAL));

TEST(JsonText, StringsAreEscapedAsNlohmannEscapesThem) {
  for (const std::string& value : {std::string("X"), std::string("a\"b\\c/"), std::string("\x01\b\f\n\r\t\x1f\x7f"),
                                  std::string("\xc3\x9cml\xc3\xa4ut \xe2\x82\xac"), std::string("bad \xff\xc3 end"),
                                  std::string()}) {
    std::string text;
    json_text::AppendString(text, value);
    EXPECT_EQ(text, Dump(Json(value))) << value;
  }
  std::string number;
  json_text::AppendInteger(number, -2147483648LL);
  EXPECT_EQ(number, "-2147483648");
}

// ---------------------------------------------------------------- subscriptions

TEST_F(ControlCoreTest, SubscribersGetStatusAtTheirRateAtMostOncePerTick) {
  AskOne(Call("subscribe", R"({"rate_hz":100})"), kFirst);
  AskOne(Call("subscribe", R"({"rate_hz":25})"), kSecond);
  std::size_t first = 0;
  std::size_t second = 0;
  for (int tick = 0; tick < 100; ++tick) {
    // Ticks a little late or early, as the timer gives them.
    console.now = 100 + tick * 0.01 + ((tick % 3) - 1) * 0.0005;
    core.AfterTick();
    core.AfterTick();  // a second call in the same tick sends nothing more
    for (const Json& line : link.Take(kFirst)) {
      EXPECT_EQ(line["method"], "status");
      EXPECT_EQ(line["params"]["axes"].size(), 2U);
      ++first;
    }
    second += link.Take(kSecond).size();
  }
  EXPECT_EQ(first, 100U);
  EXPECT_EQ(second, 25U);
  AskOne(Call("unsubscribe"), kFirst);
  console.now += 1;
  core.AfterTick();
  EXPECT_TRUE(link.Take(kFirst).empty());
}

TEST_F(ControlCoreTest, StatusNotificationSaysWhoseControlItIs) {
  TakeControl(kSecond);
  AskOne(Call("subscribe", R"({"rate_hz":10})"), kFirst);
  core.AfterTick();
  const std::vector<Json> lines = link.Take(kFirst);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0]["params"]["control"], Json::parse(R"({"held":true,"mine":false,"holder_pid":4343})"));
}

// ---------------------------------------------------------------- framing

TEST_F(ControlCoreTest, LinesSplitAcrossReadsAndCarriageReturns) {
  const std::string line = Call("version") + "\r\n";
  for (char c : line) core.Received(kFirst, std::string_view(&c, 1));
  const std::vector<Json> answers = link.Take(kFirst);
  ASSERT_EQ(answers.size(), 1U);
  EXPECT_EQ(answers[0]["result"]["api"], 1);
}

TEST_F(ControlCoreTest, AnOverLongLineIsAnsweredOnceAndSkippedToItsEnd) {
  // 1 MiB without an end, in pieces, then its end and a good request.
  const std::string piece(std::size_t{64} * 1024, 'a');
  for (int i = 0; i < 16; ++i) core.Received(kFirst, piece);
  EXPECT_LE(core.Backlog(kFirst), LineFramer::kMaxLineBytes + 1);
  core.Received(kFirst, "tail\n" + Call("version") + "\n");
  const std::vector<Json> answers = link.Take(kFirst);
  ASSERT_EQ(answers.size(), 2U);
  EXPECT_EQ(answers[0]["error"]["code"], kInvalidRequest);
  EXPECT_TRUE(answers[0]["id"].is_null());
  EXPECT_EQ(answers[1]["result"]["api"], 1);
}

TEST_F(ControlCoreTest, ALineJustWithinTheBoundIsRead) {
  // Padding in the params' string keeps it one request.
  std::string line = R"({"jsonrpc":"2.0","id":1,"method":"version","pad":")";
  line += std::string(LineFramer::kMaxLineBytes - line.size() - 2, 'x') + "\"}";
  ASSERT_EQ(line.size(), LineFramer::kMaxLineBytes);
  EXPECT_EQ(AskOne(line)["result"]["api"], 1);
  EXPECT_EQ(AskOne(line + " ")["error"]["code"], kInvalidRequest);
}

TEST(LineFramer, CutsLinesAndBoundsWhatItHolds) {
  LineFramer framer;
  std::string_view line;
  framer.Append("one\ntwo\r\nthr");
  ASSERT_EQ(framer.TakeNext(line), LineFramer::Next::kLine);
  EXPECT_EQ(line, "one");
  ASSERT_EQ(framer.TakeNext(line), LineFramer::Next::kLine);
  EXPECT_EQ(line, "two");
  EXPECT_EQ(framer.TakeNext(line), LineFramer::Next::kNone);
  framer.Append("ee\n");
  ASSERT_EQ(framer.TakeNext(line), LineFramer::Next::kLine);
  EXPECT_EQ(line, "three");
  EXPECT_EQ(framer.Buffered(), 0U);
}

// ---------------------------------------------------------------- the log names clients

TEST_F(ControlCoreTest, EveryConnectionControlChangeAndCommandNamesTheClient) {
  TakeControl();
  AskOne(Call("move_absolute", R"({"axis":0,"position":1})"));
  AskOne(Call("stop_all"), kSecond);
  core.Disconnected(kSecond, "closed the connection");
  const std::vector<std::string> expected_starts = {
      "client pid 4242 uid 1000 (python3) connected",
      "client pid 4343 uid 1000 (stage-console-ct) connected",
      "client pid 4242 uid 1000 (python3) took control",
      "client pid 4242 uid 1000 (python3): acquire_control",
      "client pid 4242 uid 1000 (python3): move_absolute axis 0 position 128 counts: accepted",
      "client pid 4343 uid 1000 (stage-console-ct): stop_all",
      "client pid 4343 uid 1000 (stage-console-ct) disconnected: closed the connection",
  };
  ASSERT_EQ(events.size(), expected_starts.size());
  for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].rfind(expected_starts[i], 0), 0U) << events[i];
  ASSERT_FALSE(core.RecentCommands().empty());
  EXPECT_EQ(core.RecentCommands().back().pid, 4343);
  EXPECT_EQ(core.RecentCommands().back().text, "stop_all");
}

}  // namespace
}  // namespace stage::control
