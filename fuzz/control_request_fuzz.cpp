// What a script sends on the control socket, as bytes: cut into lines, read
// as requests and carried out against a fake console of two axes, by two
// clients, with ticks between pieces. Checks that nothing crashes, that every
// line the console sends is one JSON object ending in "\n", that every
// answer carries "jsonrpc": "2.0" and either a result or an error with a
// code from the written-down list, and that what the core holds of a client
// stays within one line's bound plus one piece.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "stage/control/control_core.h"
#include "stage/control/request.h"

namespace {

using stage::control::ClientId;
using stage::control::Json;

[[noreturn]] void Fail(const char* what, std::string_view line) {
  std::fprintf(stderr, "%s\n  line: %.*s\n", what, static_cast<int>(line.size() > 300 ? 300 : line.size()),
               line.data());
  std::abort();
}

class Console final : public stage::control::ConsolePort {
 public:
  int AxisCount() const override { return 2; }
  stage::control::AxisInfo Axis(int axis) const override {
    stage::control::AxisInfo info;
    info.name = axis == 0 ? "X" : "Y\xE9";  // a Latin-1 byte the core must not choke on
    info.counts_per_unit = axis == 0 ? 128 : 1;
    info.limits = stage::TravelLimits{-1000000, 1000000};
    return info;
  }
  stage::control::AxisState State(int axis) const override {
    stage::control::AxisState state;
    state.valid = true;
    state.flags = static_cast<std::uint8_t>(ticks_ * (axis + 3));
    state.command_waiting = waiting_[axis];
    return state;
  }
  stage::control::CommandResult Move(int axis, stage::MoveKind, double counts) override {
    if (waiting_[axis]) return {stage::control::CommandOutcome::kNotNow, "", 0};
    if (counts > 1e9 || counts < -1e9) return {stage::control::CommandOutcome::kOutOfRange, "range", 0};
    waiting_[axis] = true;
    return {stage::control::CommandOutcome::kAccepted, "", counts};
  }
  void Stop(int) override {}
  void StopAll() override {}
  stage::control::CommandResult Zero(int axis) override {
    waiting_[axis] = true;
    return {};
  }
  stage::usb::TuningValues Tuning(int) const override { return {}; }
  void SetTuning(int, const stage::usb::TuningValues&) override {}
  double Now() const override { return ticks_ * 0.01; }
  void Tick() {
    ++ticks_;
    waiting_[0] = waiting_[1] = false;
  }

 private:
  int ticks_ = 0;
  bool waiting_[2] = {false, false};
};

class Link final : public stage::control::ClientLink {
 public:
  void Send(ClientId, std::string_view line) override {
    if (line.empty() || line.back() != '\n') Fail("a line without its end", line);
    const std::string_view body = line.substr(0, line.size() - 1);
    if (body.find('\n') != std::string_view::npos) Fail("a line break inside a line", line);
    const Json value = Json::parse(body, nullptr, false);
    if (value.is_discarded() || !value.is_object()) Fail("not a JSON object", line);
    if (value.value("jsonrpc", "") != "2.0") Fail("no jsonrpc 2.0", line);
    if (value.contains("error")) {
      static const std::set<int> kCodes = {-32700, -32600, -32601, -32602, -32603, -32001,
                                           -32002, -32003, -32004, -32005, -32006};
      const Json& error = value["error"];
      if (!error.contains("code") || !error["code"].is_number_integer() ||
          kCodes.count(error["code"].get<int>()) == 0 || !error.contains("message")) {
        Fail("an error without a known code", line);
      }
    } else if (!value.contains("result") && !value.contains("method")) {
      Fail("neither result, error nor notification", line);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Console console;
  Link link;
  stage::control::ControlCore core(console, link, "0.0.0");
  core.Connected(1, {1, 1, "a"});
  core.Connected(2, {2, 1, "b"});
  // The input in pieces: a 0xFF byte ends a piece, the byte after it picks
  // the client and whether a tick comes first.
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  ClientId client = 1;
  while (start <= bytes.size()) {
    std::size_t end = bytes.find('\xFF', start);
    if (end == std::string_view::npos) end = bytes.size();
    core.Received(client, bytes.substr(start, end - start));
    if (core.Backlog(client) > stage::control::LineFramer::kMaxLineBytes + (end - start) + 1) {
      Fail("the core holds more than a line and a piece", bytes.substr(start, end - start));
    }
    if (end + 1 < bytes.size()) {
      const auto control = static_cast<unsigned char>(bytes[end + 1]);
      client = (control & 1U) != 0 ? 2 : 1;
      if ((control & 2U) != 0) {
        console.Tick();
        core.AfterTick();
      }
      if ((control & 4U) != 0) core.RevokeControl("fuzz");
      if ((control & 8U) != 0) core.SetRemoteMovesAllowed((control & 16U) != 0);
      start = end + 2;
    } else {
      break;
    }
  }
  console.Tick();
  core.AfterTick();
  core.Ending();
  return 0;
}
