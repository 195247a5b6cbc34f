// The control API's cost to the console, on 3 simulated controllers polled at
// the real 10 ms pace by the main window's own timer:
//   1. the tick period (p50, p99, max), the GUI thread's CPU and its
//      wake-ups and preemptions per second with no client connected, then
//      with 4 clients subscribed at 100 Hz, with one client sending 1000
//      get_status requests a second, and with both (the goal: p99 within
//      0.1 ms of the first, at most 1 % of a core more). The four phases
//      run in rounds, back to back, and the differences are taken within a
//      round: this machine's own load drifts more between rounds than the
//      API costs, so the summary is the median of the rounds' differences;
//   2. request -> packet: a client's move_absolute, from the moment its line
//      is written to the socket, and from the moment the console reads it,
//      to the first packet carrying the GO bit (median, p99), and how many
//      of the axis's ticks passed from the read to that packet (the goal:
//      the first tick after the request arrived, always).
// The clients are threads of this process on plain blocking sockets; the
// GUI thread's CPU is its own (CLOCK_THREAD_CPUTIME_ID), not theirs.
//   control_bench [--seconds N] [--rounds R]   (default 5 s per phase, 3 rounds)
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "bench/bench_console.h"
#include "bench/bench_figures.h"
#include "stage/control/event_log.h"
#include "stage/usb/packet_codec.h"
#include "ui/common/fonts.h"
#include "ui/remote/remote_console.h"

namespace {

using Clock = std::chrono::steady_clock;

// Forwards to the simulated controllers and keeps the time of every packet
// to the first controller whose GO bit is up after one without it.
class GoWatch final : public stage::usb::DeviceLibrary {
 public:
  explicit GoWatch(stage::usb::DeviceLibrary& inner) : inner_(inner) {
    go_packets_.reserve(100000);
    packets_.reserve(100000);
  }
  int GetNumDevices(std::uint32_t& count) override { return inner_.GetNumDevices(count); }
  int GetProductString(std::uint32_t device, std::span<std::uint8_t, stage::usb::kProductStringBufferSize> buffer,
                       std::uint32_t option) override {
    return inner_.GetProductString(device, buffer, option);
  }
  int SetTimeouts(std::uint32_t read_ms, std::uint32_t write_ms) override { return inner_.SetTimeouts(read_ms, write_ms); }
  int Open(std::uint32_t device, stage::usb::Handle& handle) override {
    const int status = inner_.Open(device, handle);
    if (device == 0) first_ = handle;
    return status;
  }
  int Close(stage::usb::Handle handle) override { return inner_.Close(handle); }
  int Write(stage::usb::Handle handle, const std::uint8_t* buffer, std::uint32_t to_write,
            std::uint32_t& written) override {
    if (handle == first_ && to_write > 3) {
      const bool go = (buffer[3] & stage::usb::kGoBit) != 0;
      const Clock::time_point now = Clock::now();
      const std::lock_guard lock(mutex_);
      if (go && !last_go_) go_packets_.push_back(now);
      if (packets_.size() < packets_.capacity()) packets_.push_back(now);
      last_go_ = go;
    }
    return inner_.Write(handle, buffer, to_write, written);
  }
  int Read(stage::usb::Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read) override {
    return inner_.Read(handle, buffer, to_read, read);
  }
  std::vector<Clock::time_point> GoPackets() {
    const std::lock_guard lock(mutex_);
    return go_packets_;
  }
  // Every packet to the first controller: one a tick.
  std::vector<Clock::time_point> Packets() {
    const std::lock_guard lock(mutex_);
    return packets_;
  }

 private:
  stage::usb::DeviceLibrary& inner_;
  stage::usb::Handle first_ = 0;
  bool last_go_ = false;
  std::mutex mutex_;
  std::vector<Clock::time_point> go_packets_;
  std::vector<Clock::time_point> packets_;
};

int Connect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("control_bench: connect");
    std::exit(1);
  }
  return fd;
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

// Reads one line (blocking); false at the end of the connection.
bool ReadLine(int fd, std::string& inbox, std::string& line) {
  for (;;) {
    const std::size_t end = inbox.find('\n');
    if (end != std::string::npos) {
      line.assign(inbox, 0, end);
      inbox.erase(0, end + 1);
      return true;
    }
    char chunk[65536];
    const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    inbox.append(chunk, static_cast<std::size_t>(got));
  }
}

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs the event loop (the ticks) for `seconds`.
void RunFor(double seconds) {
  QEventLoop loop;
  QTimer end;
  end.setSingleShot(true);
  QObject::connect(&end, &QTimer::timeout, &loop, &QEventLoop::quit);
  end.start(static_cast<int>(seconds * 1000));
  loop.exec();
}

// The GUI thread's sleeps that ended (wake-ups) and the times it was
// preempted, so far.
std::pair<long, long> ThreadSwitches() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return {usage.ru_nvcsw, usage.ru_nivcsw};
}

struct Phase {
  stage::bench::Figures periods_ms;
  double gui_cpu_percent = 0;
  double wakeups_per_s = 0;
  double preempted_per_s = 0;
  std::size_t ticks = 0;
};

Phase Measure(stage::bench::BenchConsole& console, double seconds) {
  const std::size_t first = console.timed.Writes().size();
  const double cpu_start = ThreadCpuSeconds();
  const auto switches_start = ThreadSwitches();
  const auto wall_start = Clock::now();
  RunFor(seconds);
  const double cpu = ThreadCpuSeconds() - cpu_start;
  const auto switches = ThreadSwitches();
  const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
  const auto& writes = console.timed.Writes();
  std::vector<double> periods;
  for (std::size_t w = std::max<std::size_t>(first, 1) + 1; w < writes.size(); ++w) {
    periods.push_back(std::chrono::duration<double, std::micro>(writes[w] - writes[w - 1]).count() / 1000.0);
  }
  Phase phase;
  if (!periods.empty()) phase.periods_ms = stage::bench::Summarise(periods);
  phase.gui_cpu_percent = 100.0 * cpu / wall;
  phase.wakeups_per_s = static_cast<double>(switches.first - switches_start.first) / wall;
  phase.preempted_per_s = static_cast<double>(switches.second - switches_start.second) / wall;
  phase.ticks = periods.size();
  return phase;
}

void PrintPhase(int round, const char* name, const Phase& phase) {
  std::printf("| %d | %-52s | %6zu | %6.3f | %6.3f | %6.3f | %6.2f | %6.0f | %6.0f |\n", round, name, phase.ticks,
              phase.periods_ms.median_us, phase.periods_ms.p99_us, phase.periods_ms.max_us, phase.gui_cpu_percent,
              phase.wakeups_per_s, phase.preempted_per_s);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Clients of the API on threads of their own: `subscribers` at 100 Hz and,
// with `asker`, one client sending get_status every millisecond.
class Load {
 public:
  // Each client's socket comes from `connect`: the console's, or the bare
  // loop's below.
  Load(const std::function<int()>& connect, int subscribers, bool asker)
      : subscribers_(subscribers), start_(Clock::now()) {
    for (int c = 0; c < subscribers; ++c) {
      const int fd = connect();
      fds_.push_back(fd);
      threads_.emplace_back([this, fd] {
        std::string inbox;
        std::string line;
        WriteAll(fd, R"({"jsonrpc":"2.0","id":1,"method":"subscribe","params":{"rate_hz":100}})" "\n");
        while (ReadLine(fd, inbox, line)) {
          ++notifications_;
        }
      });
    }
    if (!asker) return;
    const int fd = connect();
    fds_.push_back(fd);
    threads_.emplace_back([this, fd] {
      std::string inbox;
      std::string line;
      while (ReadLine(fd, inbox, line)) {
        ++answers_;
      }
    });
    threads_.emplace_back([this, fd] {
      auto next = Clock::now();
      int id = 0;
      while (!stop_) {
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
        WriteAll(fd, R"({"jsonrpc":"2.0","id":)" + std::to_string(++id) + R"(,"method":"get_status"})" "\n");
      }
    });
  }
  ~Load() { Stop(); }
  Load(const Load&) = delete;
  Load& operator=(const Load&) = delete;

  // Ends the clients; returns the notifications per second each subscriber
  // got and the answers per second the asker got, over their whole run.
  std::pair<double, double> Stop() {
    if (threads_.empty()) return {0, 0};
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    stop_ = true;
    for (const int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    for (std::thread& thread : threads_) thread.join();
    for (const int fd : fds_) ::close(fd);
    threads_.clear();
    const double per_subscriber =
        subscribers_ == 0 ? 0 : static_cast<double>(notifications_) / seconds / subscribers_;
    return {per_subscriber, static_cast<double>(answers_) / seconds};
  }

 private:
  int subscribers_;
  Clock::time_point start_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> notifications_{0};
  std::atomic<std::size_t> answers_{0};
  std::vector<std::thread> threads_;
  std::vector<int> fds_;
};

// The floor: what the load alone costs a thread on this machine, with
// nothing of the console's. A bare loop, on a thread of its own, serves
// socket pairs the way the console does, with no Qt, no JSON and canned
// lines: shortly before each 10 ms tick it reads what the asker sent and
// answers every request in one write, and on the tick it writes a status
// line to each subscriber. Its CPU with the clients against its CPU without
// them is the least any server could add.
class BareLoop {
 public:
  explicit BareLoop(std::string line) : line_(std::move(line)) {}
  ~BareLoop() { Stop(); }
  BareLoop(const BareLoop&) = delete;
  BareLoop& operator=(const BareLoop&) = delete;

  // A client's end; the first `subscribers` get status lines, the next one
  // is the asker.
  int Connect() {
    int pair[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::exit(1);
    served_.push_back(pair[0]);
    return pair[1];
  }
  void Start(int subscribers) {
    thread_ = std::thread([this, subscribers] { Run(subscribers); });
  }
  // The loop's CPU over `seconds`, % of a core.
  double Measure(double seconds) {
    const double cpu_start = cpu_seconds_.load();
    const auto wall_start = Clock::now();
    RunFor(seconds);  // the console goes on ticking meanwhile
    const double wall = std::chrono::duration<double>(Clock::now() - wall_start).count();
    return 100.0 * (cpu_seconds_.load() - cpu_start) / wall;
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    for (const int fd : served_) ::close(fd);
    served_.clear();
  }

 private:
  void Run(int subscribers) {
    std::vector<char> chunk(std::size_t{16} * 1024);
    std::string answers;
    auto tick = Clock::now();
    while (!stop_) {
      tick += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(tick - std::chrono::milliseconds(1));
      for (std::size_t c = static_cast<std::size_t>(subscribers); c < served_.size(); ++c) {
        answers.clear();
        for (;;) {
          const ssize_t got = ::recv(served_[c], chunk.data(), chunk.size(), MSG_DONTWAIT);
          if (got <= 0) break;
          for (ssize_t b = 0; b < got; ++b) {
            if (chunk[static_cast<std::size_t>(b)] == '\n') answers.append(line_);
          }
          if (static_cast<std::size_t>(got) < chunk.size()) break;
        }
        if (!answers.empty()) WriteAll(served_[c], answers);
      }
      std::this_thread::sleep_until(tick);
      for (int c = 0; c < subscribers && c < static_cast<int>(served_.size()); ++c) {
        WriteAll(served_[static_cast<std::size_t>(c)], line_);
      }
      cpu_seconds_ = ThreadCpuSeconds();
    }
  }

  std::string line_;
  std::vector<int> served_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<double> cpu_seconds_{0};
};

// Moves from one client, one every 53 ms between two targets: from the
// moment the line is written, and from the moment the console reads it, to
// the first packet with the GO bit; and how many of the axis's packets went
// out from the read to that one. With `busy` the client sends get_status
// every millisecond besides, without waiting for answers.
bool MeasureMoves(stage::control::LocalControlServer& server, GoWatch& watch, const std::string& path, double seconds,
                  bool busy) {
  std::vector<Clock::time_point> reads;
  reads.reserve(200000);
  server.SetReadObserver([&reads] {
    if (reads.size() < reads.capacity()) reads.push_back(Clock::now());
  });
  const int mover = Connect(path);
  std::vector<Clock::time_point> sent;
  std::atomic<bool> done{false};
  std::thread reading;
  std::thread moving([&] {
    std::string inbox;
    std::string line;
    WriteAll(mover, R"({"jsonrpc":"2.0","id":0,"method":"acquire_control"})" "\n");
    ReadLine(mover, inbox, line);
    if (busy) {
      reading = std::thread([mover] {
        std::string in;
        std::string answer;
        while (ReadLine(mover, in, answer)) {
        }
      });
    }
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    auto next = start;
    auto next_move = start + std::chrono::milliseconds(53);
    for (int id = 1; Clock::now() < end; ++id) {
      if (busy) {
        next += std::chrono::milliseconds(1);
        std::this_thread::sleep_until(next);
        if (next < next_move) {
          WriteAll(mover, R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"get_status"})" "\n");
          continue;
        }
        next_move += std::chrono::milliseconds(53);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(53));
      }
      const std::string request = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                                  R"(,"method":"move_absolute","params":{"axis":0,"position":)" +
                                  std::to_string(sent.size() % 2 == 0 ? 10 : 20) + "}}\n";
      sent.push_back(Clock::now());
      WriteAll(mover, request);
      if (!busy && !ReadLine(mover, inbox, line)) break;
    }
    done = true;
  });
  while (!done) RunFor(0.1);
  moving.join();
  RunFor(0.1);
  ::shutdown(mover, SHUT_RDWR);
  if (reading.joinable()) reading.join();
  ::close(mover);
  RunFor(0.1);
  server.SetReadObserver({});
  const std::vector<Clock::time_point> go_packets = watch.GoPackets();
  const std::vector<Clock::time_point> packets = watch.Packets();
  std::vector<double> from_write;
  std::vector<double> from_arrival;
  std::vector<std::size_t> ticks_passed;
  for (const Clock::time_point at : sent) {
    const auto read = std::lower_bound(reads.begin(), reads.end(), at);
    if (read == reads.end()) continue;
    const auto go = std::lower_bound(go_packets.begin(), go_packets.end(), *read);
    if (go == go_packets.end()) continue;
    from_write.push_back(std::chrono::duration<double, std::micro>(*go - at).count());
    from_arrival.push_back(std::chrono::duration<double, std::micro>(*go - *read).count());
    // The axis's packets after the arrival, up to the one carrying the move.
    ticks_passed.push_back(static_cast<std::size_t>(std::upper_bound(packets.begin(), packets.end(), *go) -
                                                    std::upper_bound(packets.begin(), packets.end(), *read)));
  }
  if (from_write.empty()) {
    std::fprintf(stderr, "control_bench: no move reached the controller\n");
    return false;
  }
  const char* who = busy ? "also asking 1000/s" : "alone";
  const stage::bench::Figures written = stage::bench::Summarise(from_write);
  const stage::bench::Figures arrived = stage::bench::Summarise(from_arrival);
  std::printf("| %s: line written -> packet on the wire | %zu | %.2f | %.2f | %.2f |\n", who, from_write.size(),
              written.median_us / 1000, written.p99_us / 1000, written.max_us / 1000);
  std::printf("| %s: read by the console -> packet on the wire | %zu | %.2f | %.2f | %.2f |\n", who,
              from_arrival.size(), arrived.median_us / 1000, arrived.p99_us / 1000, arrived.max_us / 1000);
  std::size_t on_first = 0;
  for (const std::size_t ticks : ticks_passed) on_first += ticks == 1 ? 1 : 0;
  std::printf("|   %s: moves on the first tick after the console read them: %zu of %zu, most %zu ticks | | | | |\n", who,
              on_first, ticks_passed.size(), *std::max_element(ticks_passed.begin(), ticks_passed.end()));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 5;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::max(1.0, std::atof(argv[i + 1]));
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  const auto screen = stage::bench::LargeOffscreenScreen();
  QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  QApplication app(argc, argv);
  stage::ui::InstallFontSubstitutions();

  constexpr int kAxes = 3;
  stage::sim::SimulatedControllers simulated(stage::bench::ScriptedControllers(kAxes, stage::bench::Replies::kResting),
                                             std::make_shared<stage::sim::SteadyClock>());
  GoWatch watch(simulated);
  // The event log's lines are counted, not printed.
  std::atomic<std::size_t> logged{0};
  stage::control::EventLog events([&logged](const std::string&) { ++logged; });
  stage::bench::BenchConsole* bench = nullptr;
  stage::ui::RemoteConsole remote([&bench] { return bench == nullptr ? nullptr : bench->main.get(); }, &events,
                                  "bench");
  QTemporaryDir folder;
  const std::string path = folder.filePath(QStringLiteral("control.sock")).toStdString();
  std::string message;
  if (!remote.Start(path, message)) {
    std::fprintf(stderr, "control_bench: %s\n", message.c_str());
    return 1;
  }
  // Every phase of every round (the console ticks through the floor's too),
  // the moves, and room for the settling between phases.
  const auto timed_ticks = static_cast<std::size_t>((rounds * (6 * seconds + 4) + 3 * seconds + 10) * 110 + 2000);
  stage::bench::BenchConsole console(kAxes, watch, timed_ticks, &remote);
  bench = &console;
  RunFor(1);  // settled
  console.CheckRunning("control_bench");

  std::printf("# control_bench: %d simulated axes at the real 10 ms pace, %.0f s per phase, %d rounds\n", kAxes,
              seconds, rounds);
  std::printf("| round | %-52s | %6s | %6s | %6s | %6s | %6s | %6s | %6s |\n",
              "tick periods, ms; GUI thread CPU, % of a core; per s", "ticks", "median", "p99", "max", "CPU %",
              "wakes", "preempt");
  std::printf("|---|%s|--------|--------|--------|--------|--------|--------|--------|\n", std::string(54, '-').c_str());
  const std::function<int()> to_console = [&path] { return Connect(path); };
  // The floor, with one of the console's own status lines as the canned line.
  std::string status_line;
  {
    const int fd = Connect(path);
    std::string inbox;
    WriteAll(fd, R"({"jsonrpc":"2.0","id":1,"method":"get_status"})" "\n");
    std::thread reader([fd, &inbox, &status_line] { ReadLine(fd, inbox, status_line); });
    while (status_line.empty()) RunFor(0.02);
    reader.join();
    ::close(fd);
    status_line += '\n';
  }
  std::vector<double> floor_cpu;
  std::vector<double> above_floor;
  std::vector<double> subscribers_cpu;
  std::vector<double> asker_cpu;
  std::vector<double> both_cpu;
  std::vector<double> both_p99;
  std::vector<double> both_wakes;
  double per_subscriber = 0;
  double got_notifications = 0;
  double got_answers = 0;
  for (int round = 1; round <= rounds; ++round) {
    const Phase idle = Measure(console, seconds);
    PrintPhase(round, "no client", idle);

    // Subscribers at 100 Hz and a client at 1000 get_status a second, alone
    // and together: where the API's CPU goes.
    Load subscribers_only(to_console, 4, false);
    RunFor(0.5);
    const Phase subscribed = Measure(console, seconds);
    per_subscriber = subscribers_only.Stop().first;
    PrintPhase(round, "4 clients subscribed at 100 Hz", subscribed);
    RunFor(0.2);
    Load asker_only(to_console, 0, true);
    RunFor(0.5);
    const Phase asked = Measure(console, seconds);
    asker_only.Stop();
    PrintPhase(round, "1 client at 1000 get_status/s", asked);
    RunFor(0.2);
    Load both(to_console, 4, true);
    RunFor(0.5);
    const Phase loaded = Measure(console, seconds);
    std::tie(got_notifications, got_answers) = both.Stop();
    PrintPhase(round, "4 clients subscribed at 100 Hz, 1 at 1000 requests/s", loaded);
    RunFor(0.2);
    subscribers_cpu.push_back(subscribed.gui_cpu_percent - idle.gui_cpu_percent);
    asker_cpu.push_back(asked.gui_cpu_percent - idle.gui_cpu_percent);
    both_cpu.push_back(loaded.gui_cpu_percent - idle.gui_cpu_percent);
    both_p99.push_back(loaded.periods_ms.p99_us - idle.periods_ms.p99_us);
    both_wakes.push_back(loaded.wakeups_per_s - idle.wakeups_per_s);
    // The floor, in the same round.
    {
      BareLoop alone(status_line);
      alone.Start(0);
      const double floor_idle = alone.Measure(seconds);
      alone.Stop();
      BareLoop serving(status_line);
      Load load([&serving] { return serving.Connect(); }, 4, true);
      serving.Start(4);
      RunFor(0.5);
      const double floor_loaded = serving.Measure(seconds);
      load.Stop();
      serving.Stop();
      floor_cpu.push_back(floor_loaded - floor_idle);
      above_floor.push_back(both_cpu.back() - floor_cpu.back());
    }
  }
  std::printf("\n  last round: each subscriber got %.1f status/s alone, %.1f together; the asker %.0f answers/s\n",
              per_subscriber, got_notifications, got_answers);
  std::printf("  GUI thread CPU against no client, median of %d rounds: subscribers %+.2f, asker %+.2f, "
              "both %+.2f %% of a core (rounds: %+.2f to %+.2f)\n",
              rounds, Median(subscribers_cpu), Median(asker_cpu), Median(both_cpu),
              *std::min_element(both_cpu.begin(), both_cpu.end()), *std::max_element(both_cpu.begin(), both_cpu.end()));
  std::printf("  both against no client, median of %d rounds: p99 period %+.3f ms, wake-ups %+.0f/s\n", rounds,
              Median(both_p99), Median(both_wakes));

  std::printf("  the floor: a bare loop serving the same clients with canned %zu-byte lines costs %+.2f %% of a core "
              "(median of %d rounds, %+.2f to %+.2f)\n",
              status_line.size(), Median(floor_cpu), rounds, *std::min_element(floor_cpu.begin(), floor_cpu.end()),
              *std::max_element(floor_cpu.begin(), floor_cpu.end()));
  std::printf("  the console's own share, both less the floor in each round: %+.2f %% of a core (median)\n\n",
              Median(above_floor));

  // Request -> packet: from a client that sends nothing else, and from one
  // that also asks get_status every millisecond (its requests are read
  // once a tick).
  std::printf("| move_absolute, one every 53 ms | moves | median ms | p99 ms | max ms |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const bool busy : {false, true}) {
    if (!MeasureMoves(remote.Server(), watch, path, seconds, busy)) return 1;
  }
  std::printf("  (%zu event-log lines)\n", logged.load());
  remote.Close();
  return 0;
}
