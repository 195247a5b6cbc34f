// The cost of the Scope and the trace. Tick side: what the observers add to
// one polling tick (the trace row handed to the writer thread, the Scope's
// sample and step-response update) with 3 and 17 axes, every axis moving,
// the trace writing to a real file meanwhile. Paint side: one refresh of the
// Scope with every axis traced, 3 new replies per axis between refreshes
// as at 30 refreshes a second against the 100 Hz polling: the GUI thread's
// part (the replies handed over, the finished picture shown with the axes)
// and the drawing thread's.
//
// Poll side: the 10 ms poll on the GUI thread (a precise timer against
// absolute deadlines, every axis moving, each tick handing its replies to the
// recorder) with the Scope hidden, with every one of 32 axes shown over a
// 60 s window, and with that window exported as CSV again and again: the
// spread of the tick periods and the longest gap.
//
// --paint measures the paint side only; --poll the poll side only (--rounds N:
// its three cases N times over, back to back; --shown, --exporting: that
// case alone;
// --detail: the GUI thread's events by kind, and those within each long gap
// between ticks). With --compare (built where Qt
// Charts is installed), also the library choice: the same N x 5 traces of 1000
// points redrawn by a bare QCustomPlot and by a Qt Charts view, both
// antialiased, into the same 1000 x 600 image.
//
// Prints mean, p99 and maximum CPU time per tick or per refresh, and the share of the
// time they take at their rates (100 Hz ticks, 30 Hz refreshes).
#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <time.h>
#include <QImage>
#include <QListWidget>
#include <QPainter>
#ifdef STAGE_BENCH_QT_CHARTS
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#endif
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <optional>
#include <qcustomplot.h>
#include <string>
#include <vector>

#include "bench/bench_figures.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/scope/scope_recorder.h"
#include "stage/scope/trace_writer.h"
#include "stage/usb/packet_codec.h"
#include "ui/common/fonts.h"
#include "ui/scope/frmScope.h"

namespace {

using Clock = std::chrono::steady_clock;

// The costs are this thread's CPU time, so that other programs on a busy
// machine do not count.
struct ThreadCpuClock {
  using duration = std::chrono::nanoseconds;
  using time_point = std::chrono::time_point<ThreadCpuClock>;
  static time_point now() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(duration(std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec));
  }
};
using Cost = ThreadCpuClock;

constexpr int kWarmUp = 100;
constexpr int kTicks = 3000;      // 30 s of polling
constexpr int kRefreshes = 150;   // 5 s of refreshes
constexpr int kTicksPerRefresh = 3;
constexpr double kTickHz = 100;
constexpr double kRefreshHz = 30;
constexpr int kPoints = 1000;     // a 10 s window at 100 Hz
constexpr int kTracesPerAxis = 5;

using stage::bench::Figures;
using stage::bench::Summarise;

// What the GUI thread spends its time on between ticks: every event it
// dispatches (not those sent from inside another), timed in wall and CPU
// time and named by its receiver's class and the event's type. The ticks'
// own timer events are kept apart from the Scope's work.
class TimedApplication final : public QApplication {
 public:
  TimedApplication(int& argc, char** argv) : QApplication(argc, argv) {}

  struct Event {
    Clock::time_point start;
    Clock::time_point end;
    std::int64_t cpu_us = 0;
    const char* receiver = "";
    int type = 0;
  };
  void Record(bool on, const QObject* tick_timer = nullptr) {
    recording_ = on;
    tick_timer_ = tick_timer;
    if (on) {
      events_.clear();
      events_.reserve(200'000);
    }
  }
  const std::vector<Event>& Events() const { return events_; }

  bool notify(QObject* receiver, QEvent* event) override {
    if (!recording_ || depth_ > 0 || receiver == tick_timer_) return QApplication::notify(receiver, event);
    ++depth_;
    Event e;
    e.start = Clock::now();
    const Cost::time_point cpu = Cost::now();
    e.receiver = receiver->metaObject()->className();
    e.type = static_cast<int>(event->type());
    const bool done = QApplication::notify(receiver, event);
    e.cpu_us = std::chrono::duration_cast<std::chrono::microseconds>(Cost::now() - cpu).count();
    e.end = Clock::now();
    --depth_;
    if (events_.size() < events_.capacity()) events_.push_back(e);
    return done;
  }

 private:
  bool recording_ = false;
  const QObject* tick_timer_ = nullptr;
  int depth_ = 0;
  std::vector<Event> events_;
};

TimedApplication* Timed() { return static_cast<TimedApplication*>(QCoreApplication::instance()); }

// The GUI thread's events other than the ticks: per receiver and type, how
// many, their CPU time (mean, p99, max) and the share of the time; then the
// events that ran within each gap over `late_ms` between two ticks.
void PrintGuiThreadCosts(const std::vector<Clock::time_point>& starts, double seconds, double late_ms) {
  const std::vector<TimedApplication::Event>& events = Timed()->Events();
  struct Kind {
    std::string name;
    std::vector<double> cpu_us;
  };
  std::vector<Kind> kinds;
  for (const TimedApplication::Event& e : events) {
    const std::string name = std::string(e.receiver) + " #" + std::to_string(e.type);
    auto it = std::find_if(kinds.begin(), kinds.end(), [&](const Kind& k) { return k.name == name; });
    if (it == kinds.end()) it = kinds.insert(kinds.end(), Kind{name, {}});
    it->cpu_us.push_back(static_cast<double>(e.cpu_us));
  }
  std::sort(kinds.begin(), kinds.end(), [](const Kind& a, const Kind& b) {
    return std::accumulate(a.cpu_us.begin(), a.cpu_us.end(), 0.0) > std::accumulate(b.cpu_us.begin(), b.cpu_us.end(), 0.0);
  });
  std::printf("    GUI thread events (CPU time):\n");
  for (std::size_t k = 0; k < kinds.size() && k < 8; ++k) {
    const Figures f = Summarise(kinds[k].cpu_us);
    std::printf("      %-34s %6zu  mean %7.0f us  p99 %7.0f us  max %7.0f us  %5.2f %% of the time\n", kinds[k].name.c_str(),
                kinds[k].cpu_us.size(), f.mean_us, f.p99_us, f.max_us,
                f.mean_us * static_cast<double>(kinds[k].cpu_us.size()) / (seconds * 1e4));
  }
  std::size_t e = 0;
  int shown = 0;
  for (std::size_t i = 1; i < starts.size() && shown < 6; ++i) {
    const double gap_ms = std::chrono::duration<double, std::milli>(starts[i] - starts[i - 1]).count();
    if (gap_ms <= late_ms) continue;
    ++shown;
    std::printf("      gap %.1f ms after tick %zu:", gap_ms, i - 1);
    while (e < events.size() && events[e].end <= starts[i - 1]) ++e;
    for (std::size_t j = e; j < events.size() && events[j].start < starts[i]; ++j) {
      const double wall_ms = std::chrono::duration<double, std::milli>(events[j].end - events[j].start).count();
      if (wall_ms >= 0.5) std::printf(" %s#%d %.1f/%.1f ms", events[j].receiver, events[j].type, wall_ms, static_cast<double>(events[j].cpu_us) / 1000);
    }
    std::printf("\n");
  }
}

void Print(const char* what, int axes, const Figures& f, double hz) {
  std::printf("  %-44s %2d axes: mean %8.2f us  p99 %8.2f us  max %9.2f us  = %5.2f %% of the time\n", what, axes,
              f.mean_us, f.p99_us, f.max_us, f.mean_us * hz / 1e6 * 100);
}

double Microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// The console's tables for `axes` axes, named and with 128 counts per micron.
void Allocate(stage::modKVT_USB& tables, int axes) {
  tables.AxisCount = axes - 1;
  tables.AllocateAxisTables(tables.AxisCount);
  for (int i = 0; i < axes; ++i) {
    const auto k = static_cast<std::size_t>(i);
    tables.AxisName[k] = std::string(1, static_cast<char>('A' + i)) + "   ";
    tables.CountsPerMicron[k] = 128;
    tables.UnitSuffix[k] = " um";
  }
}

// One exchange of a moving axis as the observers see it.
class Exchanges {
 public:
  void Feed(stage::poll::ExchangeObserver& observer, int axes) {
    ++tick_;
    for (int axis = 0; axis < axes; ++axis) {
      // A GO every 2 s on each axis, so moves start and finish all along.
      stage::usb::CommandFields fields;
      fields.control_byte = stage::usb::kActiveBit | ((tick_ % 200) < 3 ? stage::usb::kGoBit : 0);
      fields.target_counts = (tick_ / 200) % 2 == 0 ? 100000 : 0;
      const stage::usb::Packet command = *stage::usb::EncodeCommand(fields).packet;
      stage::poll::ExchangeResult result;
      const double phase = static_cast<double>(tick_ % 200) / 100;
      const double to = fields.target_counts;
      const double from = 100000 - to;
      result.reading.position = static_cast<std::int32_t>(from + (to - from) * std::min(1.0, phase));
      result.reading.ideal_position = result.reading.position + axis;
      result.reading.flags = phase < 1 ? stage::usb::kFlagBusy : 0;
      const stage::usb::Packet reply = stage::usb::EncodeStatus(result.reading);
      observer.OnExchange(axis, command, reply, result);
    }
  }

 private:
  std::int64_t tick_ = 0;
};

stage::scope::ExchangeClock TickClock(const std::int64_t& tick) {
  return [&tick] { return std::chrono::nanoseconds(tick * 10'000'000); };
}

void TickSide(int axes, bool trace_on) {
  stage::modKVT_USB tables;
  Allocate(tables, axes);
  std::int64_t tick = 0;
  stage::scope::ExchangeFanOut fan_out;
  stage::scope::ScopeRecorder recorder(static_cast<std::size_t>(axes), TickClock(tick));
  fan_out.Add(recorder);
  const std::string path = (std::filesystem::temp_directory_path() / "scope_bench_trace.csv").string();
  std::unique_ptr<stage::scope::TraceWriter> writer;
  std::unique_ptr<stage::scope::TraceObserver> tracer;
  if (trace_on) {
    stage::scope::TraceOpen opened = stage::scope::OpenTraceFile(path);
    if (!opened.sink) {
      std::fprintf(stderr, "scope_bench: %s\n", opened.message.c_str());
      std::exit(1);
    }
    writer = std::make_unique<stage::scope::TraceWriter>(std::move(opened.sink), [](const std::string& m) {
      std::fprintf(stderr, "scope_bench: %s\n", m.c_str());
    });
    tracer = std::make_unique<stage::scope::TraceObserver>(*writer, tables, TickClock(tick));
    fan_out.Add(*tracer);
  }
  Exchanges exchanges;
  std::vector<double> us;
  us.reserve(kTicks);
  Clock::time_point next = Clock::now();
  for (int t = 0; t < kWarmUp + kTicks; ++t) {
    const Cost::time_point start = Cost::now();
    exchanges.Feed(fan_out, axes);
    const Cost::time_point end = Cost::now();
    if (t >= kWarmUp) us.push_back(Microseconds(end - start));
    ++tick;
    // Ticks 1 ms apart: ten times the real rate, so the writer thread works
    // as hard as it would, in a tenth of the time.
    next += std::chrono::milliseconds(1);
    while (Clock::now() < next) {
    }
  }
  if (writer) {
    writer->Finish();
    if (writer->Dropped() != 0) std::printf("  (trace rows dropped: %llu)\n", static_cast<unsigned long long>(writer->Dropped()));
    std::filesystem::remove(path);
  }
  Print(trace_on ? "tick: Scope recorder and trace" : "tick: Scope recorder only", axes, Summarise(us), kTickHz);
}

void PaintSide(int axes, int window_s) {
  stage::modKVT_USB tables;
  Allocate(tables, axes);
  std::int64_t tick = 0;
  stage::scope::ScopeRecorder recorder(static_cast<std::size_t>(axes), TickClock(tick));
  Exchanges exchanges;
  for (int t = 0; t < window_s * 100; ++t, ++tick) exchanges.Feed(recorder, axes);

  stage::ui::frmScope scope(tables, recorder);
  scope.spnWindow()->setValue(window_s);
  for (int row = 0; row < scope.lstAxes()->count(); ++row) scope.lstAxes()->item(row)->setCheckState(Qt::Checked);
  scope.show();
  scope.RefreshTimer().stop();  // the bench refreshes itself
  QApplication::processEvents();

  std::vector<double> us;
  std::vector<double> render_us;
  us.reserve(kRefreshes);
  for (int r = 0; r < kWarmUp / 10 + kRefreshes; ++r) {
    for (int t = 0; t < kTicksPerRefresh; ++t, ++tick) exchanges.Feed(recorder, axes);
    const Cost::time_point start = Cost::now();
    scope.Refresh();
    QApplication::processEvents();  // the plot's paint event
    const Cost::time_point end = Cost::now();
    if (r >= kWarmUp / 10) {
      us.push_back(Microseconds(end - start));
      render_us.push_back(static_cast<double>(scope.RenderCostUs()));
    }
  }
  char what[64];
  std::snprintf(what, sizeof what, "Scope refresh and show, %d s window", window_s);
  Print(what, axes, Summarise(us), kRefreshHz);
  std::snprintf(what, sizeof what, "  its drawing thread, %d s window", window_s);
  Print(what, axes, Summarise(render_us), kRefreshHz);
}

enum class PollCase { kScopeHidden, kScopeShown, kExporting };

// Ticks on the GUI thread for `seconds`, as the console's timer makes them,
// with the Scope as `what` says; prints the periods between tick starts.
void PollSide(int axes, int window_s, PollCase what, int seconds, bool detail) {
  stage::modKVT_USB tables;
  Allocate(tables, axes);
  std::int64_t tick = 0;
  const Clock::time_point origin = Clock::now();
  // The recorder times the replies by the wall clock, as in the program,
  // after a window's worth recorded beforehand.
  bool live = false;
  stage::scope::ScopeRecorder recorder(static_cast<std::size_t>(axes), [&] {
    return live ? std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - origin) +
                      std::chrono::nanoseconds(std::int64_t{window_s} * 1'000'000'000)
                : std::chrono::nanoseconds(tick * 10'000'000);
  });
  Exchanges exchanges;
  for (; tick < std::int64_t{window_s} * 100; ++tick) exchanges.Feed(recorder, axes);
  live = true;

  stage::ui::frmScope scope(tables, recorder);
  scope.spnWindow()->setValue(window_s);
  for (int row = 0; row < scope.lstAxes()->count(); ++row) scope.lstAxes()->item(row)->setCheckState(Qt::Checked);
  if (what != PollCase::kScopeHidden) scope.show();
  QApplication::processEvents();
  QTemporaryDir dir;
  const QString csv = dir.filePath(QStringLiteral("scope.csv"));
  int exports = 0;
  if (what == PollCase::kExporting) {
    scope.cmdPause()->click();  // as an operator exports: paused on what to keep
    QObject::connect(&scope, &stage::ui::frmScope::ExportFinished, [&](bool ok, const QString& message) {
      if (!ok) std::fprintf(stderr, "scope_bench: %s\n", qPrintable(message));
      ++exports;
      scope.StartExportCsv(csv);
    });
    scope.StartExportCsv(csv);
  }

  std::vector<Clock::time_point> starts;
  starts.reserve(static_cast<std::size_t>(seconds) * 110);
  QTimer timer;
  timer.setTimerType(Qt::PreciseTimer);
  timer.setSingleShot(true);
  const Clock::time_point first = Clock::now() + std::chrono::milliseconds(10);
  std::int64_t k = 0;
  auto arm = [&] {
    // The next deadline still ahead on the 10 ms grid.
    const Clock::time_point now = Clock::now();
    while (first + std::chrono::milliseconds(10 * k) <= now) ++k;
    timer.start(static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(first + std::chrono::milliseconds(10 * k) - now).count()));
  };
  QObject::connect(&timer, &QTimer::timeout, [&] {
    starts.push_back(Clock::now());
    exchanges.Feed(recorder, axes);
    ++tick;
    if (starts.back() - first < std::chrono::seconds(seconds)) {
      arm();
    } else {
      QApplication::exit(0);
    }
  });
  arm();
  Timed()->Record(true, &timer);
  QApplication::exec();
  Timed()->Record(false);
  if (what == PollCase::kExporting) {
    QObject::disconnect(&scope, &stage::ui::frmScope::ExportFinished, nullptr, nullptr);
    while (scope.Exporting()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }

  std::vector<double> periods_us;
  for (std::size_t i = 1; i < starts.size(); ++i) periods_us.push_back(Microseconds(starts[i] - starts[i - 1]));
  const Figures f = Summarise(periods_us);
  const char* name = what == PollCase::kScopeHidden  ? "Scope hidden"
                     : what == PollCase::kScopeShown ? "Scope shown, every axis"
                                                     : "Scope paused, exporting CSV";
  std::printf("  %-30s %2d axes, %2d s window: %5zu ticks in %d s  period median %6.2f ms  p99 %6.2f ms  longest %6.2f ms",
              name, axes, window_s, starts.size(), seconds, f.median_us / 1000, f.p99_us / 1000, f.max_us / 1000);
  if (what == PollCase::kScopeShown) {
    std::printf("  (a frame every %d ms: %.2f ms drawing-thread CPU, %.2f ms to show)", scope.RefreshTimer().interval(),
                static_cast<double>(scope.RenderCostUs()) / 1000, static_cast<double>(scope.ShowCostUs()) / 1000);
  }
  if (what == PollCase::kExporting) std::printf("  (%d exports of %d x %d lines)", exports, axes, window_s * 100);
  std::printf("\n");
  if (detail) PrintGuiThreadCosts(starts, seconds, 15);
}

#ifdef STAGE_BENCH_QT_CHARTS
// The library choice: the same traces, redrawn by each library on its own.
std::vector<std::vector<QPointF>> Traces(int axes, int shift) {
  std::vector<std::vector<QPointF>> traces(static_cast<std::size_t>(axes * kTracesPerAxis));
  for (std::size_t g = 0; g < traces.size(); ++g) {
    traces[g].reserve(kPoints);
    for (int i = 0; i < kPoints; ++i) {
      const double t = (i + shift) / 100.0;
      traces[g].emplace_back(t, std::sin(t + static_cast<double>(g)) * 100 + static_cast<double>(g));
    }
  }
  return traces;
}

void CompareLibraries(int axes) {
  QImage image(1000, 600, QImage::Format_ARGB32_Premultiplied);
  std::vector<double> qcp_us;
  std::vector<double> charts_us;
  {
    QCustomPlot plot;
    plot.resize(image.size());
    for (int g = 0; g < axes * kTracesPerAxis; ++g) plot.addGraph();
    for (int r = 0; r < kRefreshes / 2; ++r) {
      const auto traces = Traces(axes, r * kTicksPerRefresh);
      const Cost::time_point start = Cost::now();
      for (std::size_t g = 0; g < traces.size(); ++g) {
        QCPGraph* graph = plot.graph(static_cast<int>(g));
        graph->data()->clear();
        for (const QPointF& p : traces[g]) graph->addData(p.x(), p.y());
      }
      plot.xAxis->setRange(traces[0].front().x(), traces[0].back().x());
      plot.yAxis->setRange(-120, 120 + axes * kTracesPerAxis);
      plot.replot(QCustomPlot::rpQueuedRefresh);
      plot.render(&image);
      qcp_us.push_back(Microseconds(Cost::now() - start));
    }
  }
  {
    auto* chart = new QChart;
    chart->legend()->hide();
    auto* x = new QValueAxis;
    auto* y = new QValueAxis;
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    std::vector<QLineSeries*> series;
    for (int g = 0; g < axes * kTracesPerAxis; ++g) {
      auto* s = new QLineSeries;
      chart->addSeries(s);
      s->attachAxis(x);
      s->attachAxis(y);
      series.push_back(s);
    }
    QChartView view(chart);
    view.setRenderHint(QPainter::Antialiasing);
    view.resize(image.size());
    for (int r = 0; r < kRefreshes / 2; ++r) {
      const auto traces = Traces(axes, r * kTicksPerRefresh);
      const Cost::time_point start = Cost::now();
      for (std::size_t g = 0; g < traces.size(); ++g) {
        series[g]->replace(QList<QPointF>(traces[g].begin(), traces[g].end()));
      }
      x->setRange(traces[0].front().x(), traces[0].back().x());
      y->setRange(-120, 120 + axes * kTracesPerAxis);
      static_cast<QWidget&>(view).render(&image);  // the widget as it paints, not the scene
      charts_us.push_back(Microseconds(Cost::now() - start));
    }
  }
  char what[80];
  std::snprintf(what, sizeof what, "QCustomPlot, %d traces of %d points", axes * kTracesPerAxis, kPoints);
  Print(what, axes, Summarise(qcp_us), kRefreshHz);
  std::snprintf(what, sizeof what, "Qt Charts,   %d traces of %d points", axes * kTracesPerAxis, kPoints);
  Print(what, axes, Summarise(charts_us), kRefreshHz);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  TimedApplication app(argc, argv);
  stage::ui::InstallFontSubstitutions();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures as they come, also into a pipe
  auto flag = [&](const char* name) {
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], name) == 0) return true;
    }
    return false;
  };
  const bool compare = flag("--compare");
  const bool paint_only = flag("--paint");
  const bool poll_only = flag("--poll");
  // --detail: where the GUI thread's time went in each poll case, and what
  // ran within its long gaps. --rounds N: the three poll cases N times over,
  // back to back, so that a shared machine's load falls on all of them.
  const bool detail = flag("--detail");
  // --shown, --exporting: that case alone (for a profiler).
  std::optional<PollCase> only;
  if (flag("--shown")) only = PollCase::kScopeShown;
  if (flag("--exporting")) only = PollCase::kExporting;
  int rounds = 1;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::clamp(std::atoi(argv[i + 1]), 1, 20);
  }
  if (!paint_only) {
    std::printf("Poll side (ticks on the GUI thread, every axis moving)\n");
    for (int round = 0; round < rounds; ++round) {
      double load = 0;
      if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(f, "%lf", &load) != 1) load = 0;
        std::fclose(f);
      }
      std::printf(" round %d, load average %.1f\n", round + 1, load);
      for (PollCase what : {PollCase::kScopeHidden, PollCase::kScopeShown, PollCase::kExporting}) {
        if (only && what != *only) continue;
        PollSide(32, 60, what, 20, detail);
      }
    }
  }
  if (poll_only) return 0;
  if (!paint_only) {
    std::printf("Tick side (%d ticks)\n", kTicks);
    for (int axes : {3, 17}) {
      TickSide(axes, false);
      TickSide(axes, true);
    }
  }
  std::printf("Paint side (%d refreshes, every axis traced)\n", kRefreshes);
  for (int axes : {3, 17}) PaintSide(axes, 10);
  PaintSide(17, 60);
  PaintSide(32, 60);
  if (compare) {
#ifdef STAGE_BENCH_QT_CHARTS
    std::printf("Plotting libraries (%d redraws each, 1000 x 600, antialiased)\n", kRefreshes / 2);
    for (int axes : {3, 17}) CompareLibraries(axes);
#else
    std::printf("--compare: built without Qt Charts (qt6-charts-dev)\n");
#endif
  }
  return 0;
}
