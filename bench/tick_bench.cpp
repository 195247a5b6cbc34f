// The cost of one polling tick of the main window: 3 and 17 axes, every slider
// read, one exchange per axis, the replies shown. Three cases: replies that
// never change; new positions on every tick (every axis moving); and the
// worst case, where every lamp and indicator also switches on every tick.
// Also timed: the event processing after each tick, where the changed
// controls repaint (offscreen).
//
// Every case runs twice: on simulated controllers in this process, then on
// the same controllers behind the vendor's ABI in the timestamping device
// library, loaded as --device-library loads it, so that the real call path
// (dlsym'd calls, the library's handle lookup and time stamps) is in the
// figures. --device-library PATH names another build of that library.
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
#include "stage/usb/shared_library.h"
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

const char* MotionName(Replies replies) {
  switch (replies) {
    case Replies::kResting: return "rest";
    case Replies::kMoving: return "moving";
    case Replies::kFlickering: return "flicker";
    case Replies::kOneMoving: return "one-moving";
  }
  return "rest";
}

// The library reads its setup again when it counts its controllers while
// none is open.
void SetUpLibrary(stage::usb::DeviceLibrary& library, int axes, Replies replies) {
  setenv("STAMP_AXES", std::to_string(axes).c_str(), 1);
  setenv("STAMP_MOTION", MotionName(replies), 1);
  setenv("STAMP_SECONDS", std::to_string((kWarmUpTicks + kTicks) / 100 + 10).c_str(), 1);
  unsetenv("STAMP_READ_US");
  unsetenv("STAMP_LOG");
  std::uint32_t count = 0;
  if (library.GetNumDevices(count) != 0 || count != static_cast<std::uint32_t>(axes)) {
    std::fprintf(stderr, "tick_bench: the device library reports %u controllers, not %d\n", count, axes);
    std::exit(1);
  }
}

// `library`: null for the simulated controllers in this process.
void Run(const char* name, int axes, Replies replies, stage::usb::DeviceLibrary* library) {
  auto clock = std::make_shared<stage::sim::ManualClock>();
  if (library != nullptr) SetUpLibrary(*library, axes, replies);
  std::unique_ptr<BenchConsole> made = library != nullptr ? std::make_unique<BenchConsole>(axes, *library)
                                                          : std::make_unique<BenchConsole>(axes, replies, clock);
  BenchConsole& console = *made;
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
  std::printf("%s%s (%d axes, %d ticks)\n", library != nullptr ? "Device library: " : "", name, axes, kTicks);
  Print("  tick (exchanges and display updates)", Summarise(tick_us));
  Print("  event processing after the tick (repaints)", Summarise(events_us));
  std::printf("  heap allocations per tick: %.1f in the tick, %.1f in the event processing\n",
              static_cast<double>(tick_allocations) / kTicks, static_cast<double>(events_allocations) / kTicks);
}

}  // namespace

int main(int argc, char** argv) {
  std::string library_path = STAGE_TIMESTAMPING_LIBRARY;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--device-library") library_path = argv[i + 1];
  }
  const auto screen = stage::bench::LargeOffscreenScreen();
  QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  QApplication app(argc, argv);
  stage::ui::InstallFontSubstitutions();

  stage::usb::SharedLibraryLoad loaded = stage::usb::SharedLibrary::Load(library_path);
  if (!loaded.library) {
    std::fprintf(stderr, "tick_bench: %s\n", loaded.error.c_str());
    return 1;
  }
  for (stage::usb::DeviceLibrary* library : {static_cast<stage::usb::DeviceLibrary*>(nullptr),
                                             static_cast<stage::usb::DeviceLibrary*>(loaded.library.get())}) {
    for (const int axes : {3, 17}) {
      Run("Replies unchanged", axes, Replies::kResting, library);
      Run("Every axis moving: new positions on every tick", axes, Replies::kMoving, library);
      Run("Positions, lamps and indicators all changing on every tick", axes, Replies::kFlickering, library);
    }
  }
  return 0;
}
