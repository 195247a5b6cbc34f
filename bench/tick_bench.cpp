// The cost of one polling tick of the main window: three axes, every slider
// read, one exchange per axis with in-process simulated controllers, the
// replies shown. Three cases: replies that never change; new positions on
// every tick (every axis moving); and the worst case, where every lamp and
// indicator also switches on every tick. Also timed: the event processing
// after each tick, where the changed controls repaint (offscreen).
//
// Prints mean, median, p99 and maximum over 10000 ticks per case.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "stage/axis/mechanics.h"
#include "bench/bench_figures.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/sim/axis_model.h"
#include "stage/sim/sim_clock.h"
#include "stage/sim/simulated_controllers.h"
#include "ui/common/console_context.h"
#include "ui/common/fonts.h"
#include "ui/common/program_exit.h"
#include "ui/common/offscreen_screen.h"
#include "ui/main/frmMain.h"
#include "ui/tuning/frmXCtrl0.h"

namespace {

using Clock = std::chrono::steady_clock;
using stage::sim::Nanoseconds;

constexpr int kAxes = 3;
constexpr int kWarmUpTicks = 200;
constexpr int kTicks = 10000;
constexpr std::chrono::milliseconds kTickPeriod{10};

// Answers every read with the same status: nothing on screen changes.
class RestingModel final : public stage::sim::AxisModel {
 public:
  void OnCommand(const stage::usb::Packet& /*command*/, Nanoseconds /*now*/) override {}
  stage::usb::Packet Status(Nanoseconds /*now*/) override { return stage::usb::EncodeStatus({1000, 1000, 0}); }
};

// A new position and ideal position on every read, as during a move (busy
// lit); with `flicker`, also every flag that has a lamp or an indicator
// switching on and off on every read.
class MovingModel final : public stage::sim::AxisModel {
 public:
  explicit MovingModel(bool flicker) : flicker_(flicker) {}
  void OnCommand(const stage::usb::Packet& /*command*/, Nanoseconds /*now*/) override {}
  stage::usb::Packet Status(Nanoseconds /*now*/) override {
    ++reads_;
    std::uint8_t flags = stage::usb::kFlagBusy;
    if (flicker_) flags = static_cast<std::uint8_t>((reads_ % 2 == 0) ? 0x3F : 0x00);
    return stage::usb::EncodeStatus({1000 + 7 * reads_, 1000 + 5 * reads_, flags});
  }

 private:
  bool flicker_;
  std::int32_t reads_ = 0;
};

enum class Replies { kResting, kMoving, kFlickering };

using stage::bench::Figures;
using stage::bench::Summarise;

void Print(const char* what, const Figures& f) {
  std::printf("%-46s mean %8.2f us  median %8.2f us  p99 %8.2f us  max %9.2f us\n", what, f.mean_us, f.median_us,
              f.p99_us, f.max_us);
}

double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Run(const char* name, Replies replies) {
  auto clock = std::make_shared<stage::sim::ManualClock>();
  stage::sim::SimulatorConfig config;
  config.controller_count = kAxes;
  config.model_factory = [replies](std::uint32_t) -> std::unique_ptr<stage::sim::AxisModel> {
    if (replies == Replies::kResting) return std::make_unique<RestingModel>();
    return std::make_unique<MovingModel>(replies == Replies::kFlickering);
  };
  stage::sim::SimulatedControllers devices(std::move(config), clock);

  // The tables as the opening step leaves them.
  stage::modKVT_USB tables;
  tables.DeviceCount = kAxes;
  tables.AxisCount = kAxes - 1;
  tables.AllocateAxisTables(tables.AxisCount);
  devices.SetTimeouts(10000, 10000);
  for (int i = 0; i < kAxes; ++i) {
    const auto k = static_cast<std::size_t>(i);
    tables.AxisName[k] = std::string(1, static_cast<char>('X' + i)) + "   ";
    tables.CountsPerMicron[k] = stage::ComputeCountsPerMicron(256, 250, 500);
    if (devices.Open(static_cast<std::uint32_t>(i), tables.DeviceHandle[k]) != 0) {
      std::fprintf(stderr, "tick_bench: cannot open simulated controller %d\n", i);
      std::exit(1);
    }
  }
  stage::ui::RecordingExit exit;
  stage::ui::frmMain main(stage::ui::ConsoleContext{tables, devices, exit});
  main.show();
  main.Timer1().stop();  // the bench calls the tick itself
  main.TuningPanel().show();  // its lamps and indicators repaint too
  QApplication::processEvents();

  std::vector<double> tick_us, events_us;
  tick_us.reserve(kTicks);
  events_us.reserve(kTicks);
  for (int t = 0; t < kWarmUpTicks + kTicks; ++t) {
    const Clock::time_point start = Clock::now();
    main.Tick();
    const Clock::time_point ticked = Clock::now();
    QApplication::processEvents();
    const Clock::time_point painted = Clock::now();
    clock->Advance(kTickPeriod);
    if (t >= kWarmUpTicks) {
      tick_us.push_back(Microseconds(ticked - start));
      events_us.push_back(Microseconds(painted - ticked));
    }
  }
  if (exit.Ended()) {
    std::fprintf(stderr, "tick_bench: the console ended: %s\n",
                 exit.FatalMessages().isEmpty() ? "" : qPrintable(exit.FatalMessages().front()));
    std::exit(1);
  }
  std::printf("%s (%d axes, %d ticks)\n", name, kAxes, kTicks);
  Print("  tick (exchanges and display updates)", Summarise(tick_us));
  Print("  event processing after the tick (repaints)", Summarise(events_us));
}

}  // namespace

int main(int argc, char** argv) {
  // Offscreen on a screen that holds both windows at their designed size.
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  std::unique_ptr<stage::ui::OffscreenScreen> screen;
  if (platform.isEmpty() || platform == "offscreen") {
    screen = std::make_unique<stage::ui::OffscreenScreen>(stage::ui::kLargeScreenPx, stage::ui::kLargeScreenPx);
  }
  QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  QApplication app(argc, argv);
  stage::ui::InstallFontSubstitutions();

  Run("Replies unchanged", Replies::kResting);
  Run("Every axis moving: new positions on every tick", Replies::kMoving);
  Run("Positions, lamps and indicators all changing on every tick", Replies::kFlickering);
  return 0;
}
