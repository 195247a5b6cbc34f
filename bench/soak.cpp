// A long run of the real polling loop: the main window on simulated
// controllers, Timer1 driving the ticks at its own pace, the tuning panel
// shown or hidden. Every sample interval it prints the resident set size,
// the share of one core the process used since the last sample, and the
// schedule's counts and the spread of the tick periods (timed at the first
// controller's write), so that growth or a creeping cost shows as a trend.
//
//   soak [--replies moving|one-moving|flicker|rest] [--axes N] [--seconds S]
//        [--sample-seconds S] [--panel shown|hidden]
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_console.h"
#include "ui/common/fonts.h"
#include "ui/tuning/frmXCtrl0.h"

namespace {

using stage::bench::Replies;

struct Options {
  Replies replies = Replies::kFlickering;
  int axes = 17;
  int seconds = 60;
  int sample_seconds = 10;
  bool panel_shown = true;
};

[[noreturn]] void Usage() {
  std::fprintf(stderr,
               "usage: soak [--replies moving|one-moving|flicker|rest] [--axes N] [--seconds S] [--sample-seconds S] "
               "[--panel shown|hidden]\n");
  std::exit(2);
}

Options Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--replies") {
      if (value == "moving") o.replies = Replies::kMoving;
      else if (value == "one-moving") o.replies = Replies::kOneMoving;
      else if (value == "flicker") o.replies = Replies::kFlickering;
      else if (value == "rest") o.replies = Replies::kResting;
      else Usage();
    } else if (key == "--axes") {
      o.axes = std::stoi(value);
    } else if (key == "--seconds") {
      o.seconds = std::stoi(value);
    } else if (key == "--sample-seconds") {
      o.sample_seconds = std::stoi(value);
    } else if (key == "--panel") {
      o.panel_shown = value == "shown";
    } else {
      Usage();
    }
  }
  if (argc % 2 == 0 || o.axes < 1 || o.axes > 64 || o.seconds < 1 || o.sample_seconds < 1) Usage();
  return o;
}

long ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = Parse(argc, argv);
  const auto screen = stage::bench::LargeOffscreenScreen();
  QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  QApplication app(argc, argv);
  stage::ui::InstallFontSubstitutions();

  // Room for every tick of the run and a margin.
  const auto timed_ticks = static_cast<std::size_t>(options.seconds) * 110 + 1000;
  stage::bench::BenchConsole console(options.axes, options.replies, std::make_shared<stage::sim::SteadyClock>(),
                                     timed_ticks);
  if (options.panel_shown) console.main->TuningPanel().show();

  std::printf("# soak: %d axes, %s, tuning panel %s, %d s\n", options.axes,
              options.replies == Replies::kFlickering ? "every flag flickering"
              : options.replies == Replies::kMoving   ? "moving back and forth"
              : options.replies == Replies::kOneMoving ? "the first moving back and forth, the others at rest"
                                                      : "at rest",
              options.panel_shown ? "shown" : "hidden", options.seconds);
  std::printf("# %8s %10s %8s %10s %6s %8s  %s\n", "seconds", "RSS kB", "CPU %", "ticks", "late", "skipped",
              "tick periods since the last sample, ms: p1 median p99 max");
  const double wall_start = WallSeconds();
  double last_wall = wall_start;
  double last_cpu = CpuSeconds();
  std::size_t last_write = 0;
  std::vector<double> periods_ms;
  periods_ms.reserve(timed_ticks);
  const auto sample = [&] {
    const auto& writes = console.timed.Writes();
    periods_ms.clear();
    for (std::size_t w = std::max<std::size_t>(last_write, 1); w < writes.size(); ++w) {
      periods_ms.push_back(std::chrono::duration<double, std::milli>(writes[w] - writes[w - 1]).count());
    }
    last_write = writes.size();
    std::sort(periods_ms.begin(), periods_ms.end());
    const auto at = [&](double q) {
      return periods_ms.empty() ? 0.0 : periods_ms[static_cast<std::size_t>(q * static_cast<double>(periods_ms.size() - 1))];
    };
    const double wall = WallSeconds();
    const double cpu = CpuSeconds();
    const stage::tick::DeadlineScheduler& schedule = console.main->PollSchedule();
    std::printf("  %8.0f %10ld %8.2f %10llu %6llu %8llu  %6.2f %6.2f %6.2f %7.2f\n", wall - wall_start, ResidentKb(),
                100.0 * (cpu - last_cpu) / (wall - last_wall), static_cast<unsigned long long>(schedule.Ticks()),
                static_cast<unsigned long long>(schedule.Late()), static_cast<unsigned long long>(schedule.Skipped()),
                at(0.01), at(0.5), at(0.99), at(1.0));
    std::fflush(stdout);
    last_wall = wall;
    last_cpu = cpu;
    console.CheckRunning("soak");
  };
  sample();
  QTimer sampler;
  QObject::connect(&sampler, &QTimer::timeout, sample);
  sampler.start(options.sample_seconds * 1000);
  QTimer::singleShot(options.seconds * 1000, &app, [&] {
    sample();
    // quit() would first close every window, and the tuning panel refuses
    // (its close box only hides it): the run would go on.
    QCoreApplication::exit(0);
  });
  return QApplication::exec();
}
