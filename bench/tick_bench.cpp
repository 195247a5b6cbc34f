// The cost of one polling tick of the main window: 3 and 17 axes, every slider
// read, one exchange per axis with in-process simulated controllers, the
// replies shown. Three cases: replies that never change; new positions on
// every tick (every axis moving); and the worst case, where every lamp and
// indicator also switches on every tick. Also timed: the event processing
// after each tick, where the changed controls repaint (offscreen).
//
// Prints mean, median, p99 and maximum over 10000 ticks per case, and the
// heap allocations per tick in each part.
#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "bench/allocation_count.h"
#include "bench/bench_console.h"
#include "bench/bench_figures.h"
#include "ui/common/fonts.h"
#include "ui/tuning/frmXCtrl0.h"

namespace {

using Clock = std::chrono::steady_clock;
using stage::bench::BenchConsole;
using stage::bench::Replies;

constexpr int kWarmUpTicks = 200;
constexpr int kTicks = 10000;
constexpr std::chrono::milliseconds kTickPeriod{10};

using stage::bench::Figures;
using stage::bench::Summarise;

void Print(const char* what, const Figures& f) {
  std::printf("%-46s mean %8.2f us  median %8.2f us  p99 %8.2f us  max %9.2f us\n", what, f.mean_us, f.median_us,
              f.p99_us, f.max_us);
}

double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

void Run(const char* name, int axes, Replies replies) {
  auto clock = std::make_shared<stage::sim::ManualClock>();
  BenchConsole console(axes, replies, clock);
  stage::ui::frmMain& main = *console.main;
  main.Timer1().stop();  // the bench calls the tick itself
  main.TuningPanel().show();  // its lamps and indicators repaint too
  QApplication::processEvents();

  std::vector<double> tick_us, events_us;
  tick_us.reserve(kTicks);
  events_us.reserve(kTicks);
  std::uint64_t tick_allocations = 0;
  std::uint64_t events_allocations = 0;
  for (int t = 0; t < kWarmUpTicks + kTicks; ++t) {
    const std::uint64_t before = stage::bench::Allocations();
    const Clock::time_point start = Clock::now();
    main.Tick();
    const Clock::time_point ticked = Clock::now();
    const std::uint64_t after_tick = stage::bench::Allocations();
    QApplication::processEvents();
    const Clock::time_point painted = Clock::now();
    const std::uint64_t after_events = stage::bench::Allocations();
    clock->Advance(kTickPeriod);
    if (t >= kWarmUpTicks) {
      tick_us.push_back(Microseconds(ticked - start));
      events_us.push_back(Microseconds(painted - ticked));
      tick_allocations += after_tick - before;
      events_allocations += after_events - after_tick;
    }
  }
  console.CheckRunning("tick_bench");
  std::printf("%s (%d axes, %d ticks)\n", name, axes, kTicks);
  Print("  tick (exchanges and display updates)", Summarise(tick_us));
  Print("  event processing after the tick (repaints)", Summarise(events_us));
  std::printf("  heap allocations per tick: %.1f in the tick, %.1f in the event processing\n",
              static_cast<double>(tick_allocations) / kTicks, static_cast<double>(events_allocations) / kTicks);
}

}  // namespace

int main(int argc, char** argv) {
  const auto screen = stage::bench::LargeOffscreenScreen();
  QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  QApplication app(argc, argv);
  stage::ui::InstallFontSubstitutions();

  for (const int axes : {3, 17}) {
    Run("Replies unchanged", axes, Replies::kResting);
    Run("Every axis moving: new positions on every tick", axes, Replies::kMoving);
    Run("Positions, lamps and indicators all changing on every tick", axes, Replies::kFlickering);
  }
  return 0;
}
