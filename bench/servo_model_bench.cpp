// What one simulated servo axis costs the console per 10 ms polling tick: the
// command packet in, 40 servo steps, the status packet out. share_of_10ms is
// that cost as a fraction of the tick period (1m = 0.1 %).
//
//   build/<dir>/bench/servo_model_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "stage/sim/axis_model.h"
#include "stage/sim/servo_axis_model.h"
#include "stage/sim/simulated_controllers.h"
#include "stage/usb/packet_codec.h"

namespace {

using namespace std::chrono_literals;
using stage::sim::Nanoseconds;
namespace usb = stage::usb;

constexpr Nanoseconds kTick = 10ms;

// The console's packets for one axis: toggle and frame alternating, GO
// pressed every 1.5 s between two targets 3 mm apart, so that the axis spends
// its time accelerating, cruising, braking and holding, like a busy operator's.
class ConsoleScript {
 public:
  usb::Packet Next() {
    toggle_ = !toggle_;
    const std::int64_t phase = tick_++ % 300;
    usb::CommandFields fields;
    fields.frame_marker = toggle_ ? usb::kFrameA : usb::kFrameB;
    fields.control_byte = static_cast<std::uint8_t>(usb::kActiveBit | (toggle_ ? usb::kToggleBit : 0) |
                                                    (phase % 150 < 3 ? usb::kGoBit : 0));
    fields.target_counts = phase < 150 ? 384000 : 0;
    return *usb::EncodeCommand(fields).packet;
  }

 private:
  std::int64_t tick_ = 0;
  bool toggle_ = false;
};

template <typename Model>
void AxisPerTick(benchmark::State& state) {
  Model model;
  ConsoleScript script;
  Nanoseconds now{0};
  for ([[maybe_unused]] auto _ : state) {
    model.OnCommand(script.Next(), now);
    benchmark::DoNotOptimize(model.Status(now));
    now += kTick;
  }
  state.counters["share_of_10ms"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * std::chrono::duration<double>(kTick).count(),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The worst single call: a second of catch-up after the host paused (a
// debugger stop, a stalled event loop), the most a model simulates at once.
void ServoCatchUpAfterAPause(benchmark::State& state) {
  stage::sim::ServoAxisModel model;
  ConsoleScript script;
  Nanoseconds now{0};
  for ([[maybe_unused]] auto _ : state) {
    model.OnCommand(script.Next(), now);
    benchmark::DoNotOptimize(model.Status(now));
    now += stage::sim::ServoAxisModel::kMaxCatchUp;
  }
}

// The whole exchange of one axis through the simulated library (write, read,
// the call log), the servo model included: what the polling cycle pays per
// axis before it touches a window.
void ExchangeThroughTheSimulator(benchmark::State& state) {
  auto clock = std::make_shared<stage::sim::ManualClock>();
  stage::sim::SimulatedControllers sim({.controller_count = 1}, clock);
  usb::Handle handle = 0;
  sim.Open(0, handle);
  ConsoleScript script;
  usb::Packet reply{};
  std::uint32_t count = 0;
  for ([[maybe_unused]] auto _ : state) {
    const usb::Packet command = script.Next();
    sim.Write(handle, command.data(), usb::kPacketSize, count);
    sim.Read(handle, reply.data(), usb::kPacketSize, count);
    benchmark::DoNotOptimize(reply);
    clock->Advance(kTick);
  }
}

BENCHMARK_TEMPLATE(AxisPerTick, stage::sim::ServoAxisModel)->Name("ServoAxisPerTick");
BENCHMARK_TEMPLATE(AxisPerTick, stage::sim::SimpleAxisModel)->Name("SimpleAxisPerTick");
BENCHMARK(ExchangeThroughTheSimulator);
BENCHMARK(ServoCatchUpAfterAPause)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
