// Simulated controllers behind the vendor's ABI, for benchmarks of the real
// call path (--device-library): scripted replies (bench_models.h), an
// optional device latency on every read, and the time of every call kept in
// memory and written out only when the program gives its controllers back or
// ends, never while it polls. Set up from the environment:
//   STAMP_AXES     controllers reported (default 3)
//   STAMP_MOTION   rest, moving (every axis back and forth), one-moving (axis
//                  0 only) or flicker (moving, every flag switching on every
//                  read); default rest
//   STAMP_READ_US  every read first sleeps this many microseconds, as a USB
//                  exchange waits for its frames (default 0)
//   STAMP_SECONDS  room for this many seconds of calls at 100 ticks a second
//                  (default 120); calls beyond it are answered but not timed
//   STAMP_LOG      file the calls go to (none: they are only counted)
// The setup is read when the library is loaded, and again on every count of
// the controllers while none is open, so one process can run several setups.
//
// The log: a first line "# monotonic_ns realtime_ns buffer_bytes", the two
// clocks read at the same moment (for tying script times, date +%s%N, to call
// times) and the size of the call buffer, which is resident all along; then one line per call,
// "ns call device status", ns on CLOCK_MONOTONIC and call one of N (count),
// P (product string), T (time-outs), O (open), C (close), W (write), R (read).
// The device is -1 where a call concerns none or its handle is unknown.
#include <time.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "bench/bench_models.h"
#include "stage/sim/simulated_controllers.h"

#define STAMP_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using stage::bench::Replies;

constexpr std::size_t kMaxDevices = 64;
constexpr long kTicksPerSecond = 100;

std::int64_t Nanoseconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

long FromEnvironment(const char* name, long fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 0) {
    std::fprintf(stderr, "timestamping library: %s=%s is not a whole number; using %ld\n", name, text, fallback);
    return fallback;
  }
  return value;
}

Replies MotionFromEnvironment() {
  const char* text = std::getenv("STAMP_MOTION");
  const std::string motion = text != nullptr ? text : "rest";
  if (motion == "moving") return Replies::kMoving;
  if (motion == "one-moving") return Replies::kOneMoving;
  if (motion == "flicker") return Replies::kFlickering;
  if (motion != "rest") std::fprintf(stderr, "timestamping library: unknown STAMP_MOTION=%s; at rest\n", text);
  return Replies::kResting;
}

struct Call {
  std::int64_t ns = 0;
  std::int32_t status = 0;
  std::int16_t device = -1;
  char what = '?';
};

class TimestampingLibrary {
 public:
  TimestampingLibrary() { Configure(); }
  ~TimestampingLibrary() { WriteLog(); }  // at exit, if the controllers were never given back
  TimestampingLibrary(const TimestampingLibrary&) = delete;
  TimestampingLibrary& operator=(const TimestampingLibrary&) = delete;

  // Rebuilds the controllers and the call buffer from the environment.
  void Configure() {
    WriteLog();
    const long axes = FromEnvironment("STAMP_AXES", 3);
    read_latency_ = timespec{0, FromEnvironment("STAMP_READ_US", 0) * 1000};
    while (read_latency_.tv_nsec >= 1'000'000'000) {
      read_latency_.tv_nsec -= 1'000'000'000;
      ++read_latency_.tv_sec;
    }
    const char* log = std::getenv("STAMP_LOG");
    log_path_ = log != nullptr ? log : "";
    // Every tick writes and reads each controller; a margin for the rest.
    const auto capacity = static_cast<std::size_t>(FromEnvironment("STAMP_SECONDS", 120) * kTicksPerSecond *
                                                   (2 * axes + 1) + 1000);
    // Made (and so touched) here: the resident size does not grow as it fills.
    calls_.assign(capacity, Call{});
    used_ = 0;
    written_ = 0;
    devices_.reset();  // the old controllers go before the new ones are made
    devices_ = std::make_unique<stage::sim::SimulatedControllers>(
        stage::bench::ScriptedControllers(static_cast<int>(axes), MotionFromEnvironment()));
    handles_.fill(0);
    open_ = 0;
    monotonic_at_setup_ = Nanoseconds(CLOCK_MONOTONIC);
    realtime_at_setup_ = Nanoseconds(CLOCK_REALTIME);
  }

  // Times a call as it comes in; Done completes its record.
  void Stamp(char what) {
    if (used_ == calls_.size()) return;
    calls_[used_].ns = Nanoseconds(CLOCK_MONOTONIC);
    calls_[used_].what = what;
  }
  int Done(int status, stage::usb::Handle handle) { return Done(status, Device(handle)); }
  int Done(int status, int device) {
    if (used_ < calls_.size()) {
      calls_[used_].status = status;
      calls_[used_].device = static_cast<std::int16_t>(device);
      ++used_;
    }
    return status;
  }

  int Device(stage::usb::Handle handle) const {
    if (handle == 0) return -1;
    for (std::size_t d = 0; d < handles_.size(); ++d) {
      if (handles_[d] == handle) return static_cast<int>(d);
    }
    return -1;
  }
  void Opened(std::uint32_t device, stage::usb::Handle handle) {
    if (device >= handles_.size()) return;
    handles_[device] = handle;
    ++open_;
  }
  // After the last controller is given back, the log is written.
  void Closed(int device) {
    if (device < 0) return;
    handles_[static_cast<std::size_t>(device)] = 0;
    if (--open_ == 0) WriteLog();
  }
  bool AnyOpen() const { return open_ > 0; }
  void ReadLatency() const {
    if (read_latency_.tv_sec == 0 && read_latency_.tv_nsec == 0) return;
    timespec left = read_latency_;
    while (nanosleep(&left, &left) != 0) {
    }
  }

  stage::sim::SimulatedControllers& Devices() { return *devices_; }

 private:
  void WriteLog() {
    if (log_path_.empty() || used_ == written_) return;
    std::FILE* log = std::fopen(log_path_.c_str(), "w");
    if (log == nullptr) {
      std::fprintf(stderr, "timestamping library: cannot write %s\n", log_path_.c_str());
      return;
    }
    std::fprintf(log, "# %lld %lld %zu\n", static_cast<long long>(monotonic_at_setup_),
                 static_cast<long long>(realtime_at_setup_), calls_.size() * sizeof(Call));
    for (std::size_t i = 0; i < used_; ++i) {
      const Call& call = calls_[i];
      std::fprintf(log, "%lld %c %d %d\n", static_cast<long long>(call.ns), call.what, call.device, call.status);
    }
    if (used_ == calls_.size()) std::fprintf(log, "# full: later calls were not timed\n");
    std::fclose(log);
    written_ = used_;
  }

  std::unique_ptr<stage::sim::SimulatedControllers> devices_;
  std::array<stage::usb::Handle, kMaxDevices> handles_{};
  int open_ = 0;
  timespec read_latency_{};
  std::string log_path_;
  std::vector<Call> calls_;
  std::size_t used_ = 0;
  std::size_t written_ = 0;
  std::int64_t monotonic_at_setup_ = 0;
  std::int64_t realtime_at_setup_ = 0;
};

// Made when the library is loaded, like a vendor library's own state.
TimestampingLibrary g_library;

// NOLINTNEXTLINE(performance-no-int-to-ptr): the vendor's HANDLE travels as an integer
stage::usb::Handle FromVendor(void* handle) { return reinterpret_cast<stage::usb::Handle>(handle); }

}  // namespace

STAMP_EXPORT int SI_GetNumDevices(unsigned int* count) {
  if (!g_library.AnyOpen()) g_library.Configure();
  g_library.Stamp('N');
  return g_library.Done(g_library.Devices().GetNumDevices(*count), -1);
}

STAMP_EXPORT int SI_GetProductString(unsigned int device, void* buffer, unsigned int options) {
  g_library.Stamp('P');
  const int status = g_library.Devices().GetProductString(
      device, std::span<std::uint8_t, stage::usb::kProductStringBufferSize>(static_cast<std::uint8_t*>(buffer),
                                                                            stage::usb::kProductStringBufferSize),
      options);
  return g_library.Done(status, static_cast<int>(device));
}

STAMP_EXPORT int SI_SetTimeouts(unsigned int read_ms, unsigned int write_ms) {
  g_library.Stamp('T');
  return g_library.Done(g_library.Devices().SetTimeouts(read_ms, write_ms), -1);
}

STAMP_EXPORT int SI_Open(unsigned int device, void** handle) {
  g_library.Stamp('O');
  stage::usb::Handle opened = 0;
  const int status = g_library.Devices().Open(device, opened);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the vendor's HANDLE travels as an integer
  *handle = reinterpret_cast<void*>(opened);
  if (status == stage::usb::SI_SUCCESS) g_library.Opened(device, opened);
  return g_library.Done(status, static_cast<int>(device));
}

STAMP_EXPORT int SI_Close(void* handle) {
  g_library.Stamp('C');
  const int device = g_library.Device(FromVendor(handle));
  const int status = g_library.Done(g_library.Devices().Close(FromVendor(handle)), device);
  if (status == stage::usb::SI_SUCCESS) g_library.Closed(device);
  return status;
}

STAMP_EXPORT int SI_Read(void* handle, void* buffer, unsigned int to_read, unsigned int* read, void* /*overlapped*/) {
  g_library.Stamp('R');
  g_library.ReadLatency();
  const int status =
      g_library.Devices().Read(FromVendor(handle), static_cast<std::uint8_t*>(buffer), to_read, *read);
  return g_library.Done(status, FromVendor(handle));
}

STAMP_EXPORT int SI_Write(void* handle, void* buffer, unsigned int to_write, unsigned int* written,
                          void* /*overlapped*/) {
  g_library.Stamp('W');
  const int status = g_library.Devices().Write(FromVendor(handle), static_cast<const std::uint8_t*>(buffer),
                                               to_write, *written);
  return g_library.Done(status, FromVendor(handle));
}
