// The native USB backend's own cost per 12-byte exchange (one write, one
// read), two ways:
//
// 1. On an emulated controller (umockdev): the backend's Write and Read
//    against the bare libusb calls they stand for (one bulk OUT of 12 bytes,
//    one bulk IN of 64), in alternating blocks on the same device. The
//    emulation itself costs about half a millisecond per round trip, so only
//    the difference of the medians means anything.
// 2. On a transport that answers at once: everything the backend does
//    around libusb, without libusb.
// 3. One polling tick with 17 controllers that each answer 1 ms after their
//    command: the exchange with every axis one after another (the default)
//    against all at once (the backend's own), in alternating blocks, per
//    tick. Twice: on controllers modelled at the transport seam (the
//    backend and the controllers' latency alone, no USB stack), and on
//    emulated controllers under libusb and umockdev, where every usbfs
//    request is a round trip to the emulation (tens of microseconds) and
//    libusb, finding every device file always ready, asks each controller
//    for a finished transfer on every pass of its event loop.
//
// Run it under umockdev's preload:
//   umockdev-wrapper build/test/bench/native_usb_bench
#include <libusb.h>
#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "stage/usb/libusb_transport.h"
#include "stage/usb/native_usb.h"
#include "bench/bench_figures.h"
#include "stage/usb/packet_codec.h"
#include "tests/umockdev/emulated_bus.h"

namespace {

using Clock = std::chrono::steady_clock;
using stage::usb::Handle;
using stage::usb::NativeUsb;

constexpr int kBlocks = 20;
constexpr int kExchangesPerBlock = 100;
constexpr std::array<std::uint8_t, 12> kCommand{0x80, 0x90, 0, 0x08, 1, 2, 3, 4, 0, 0, 0, 0x40};

double MedianUs(std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

double Us(Clock::duration duration) { return std::chrono::duration<double, std::micro>(duration).count(); }

// The bare libusb calls of one exchange on an opened, claimed, enabled device.
bool BareExchange(libusb_device_handle* handle) {
  std::array<std::uint8_t, 12> out = kCommand;
  std::array<std::uint8_t, 64> in{};
  int moved = 0;
  if (libusb_bulk_transfer(handle, 0x01, out.data(), 12, &moved, 10000) != 0 || moved != 12) return false;
  return libusb_bulk_transfer(handle, 0x82, in.data(), 64, &moved, 10000) == 0 && moved == 12;
}

bool BackendExchange(NativeUsb& library, Handle handle) {
  std::uint32_t count = 0;
  if (library.Write(handle, kCommand.data(), 12, count) != 0 || count != 12) return false;
  std::array<std::uint8_t, 12> reply{};
  return library.Read(handle, reply.data(), 12, count) == 0 && count == 12;
}

libusb_device_handle* OpenBare(libusb_context* context) {
  libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x10C4, 0xEA61);
  if (handle == nullptr) return nullptr;
  if (libusb_claim_interface(handle, 0) != 0 ||
      libusb_control_transfer(handle, 0x40, 0x02, 0x0002, 0, nullptr, 0, 1000) < 0) {
    libusb_close(handle);
    return nullptr;
  }
  return handle;
}

int EmulatedComparison() {
  const stage::test::EmulatedBus bus({{.serial = "BENCH", .kernel_driver_bound = false}});
  libusb_context* context = nullptr;
  if (libusb_init(&context) != 0) return 1;
  libusb_device_handle* bare = OpenBare(context);
  NativeUsb library(std::make_unique<stage::usb::LibusbTransport>(), {});
  std::uint32_t devices = 0;
  Handle handle = 0;
  if (bare == nullptr || library.GetNumDevices(devices) != 0 || library.SetTimeouts(10000, 10000) != 0 ||
      library.Open(0, handle) != 0) {
    std::fputs("cannot open the emulated controller: run under umockdev-wrapper\n", stderr);
    return 1;
  }

  std::vector<double> bare_us;
  std::vector<double> backend_us;
  for (int block = 0; block < kBlocks; ++block) {
    for (int i = 0; i < kExchangesPerBlock; ++i) {
      const auto start = Clock::now();
      if (!BareExchange(bare)) return 1;
      bare_us.push_back(Us(Clock::now() - start));
    }
    for (int i = 0; i < kExchangesPerBlock; ++i) {
      const auto start = Clock::now();
      if (!BackendExchange(library, handle)) return 1;
      backend_us.push_back(Us(Clock::now() - start));
    }
  }
  library.Close(handle);
  libusb_release_interface(bare, 0);
  libusb_close(bare);
  libusb_exit(context);

  const double bare_median = MedianUs(bare_us);
  const double backend_median = MedianUs(backend_us);
  std::printf("emulated controller, %d exchanges each, alternating blocks of %d:\n", kBlocks * kExchangesPerBlock,
              kExchangesPerBlock);
  std::printf("  bare libusb (bulk OUT 12, bulk IN 64)   median %8.1f us\n", bare_median);
  std::printf("  backend Write + Read (12 bytes)         median %8.1f us\n", backend_median);
  std::printf("  difference                                     %+8.1f us\n", backend_median - bare_median);
  return 0;
}

// A controller that grants every claim, release and control request.
class AgreeableConnection : public stage::usb::UsbConnection {
 public:
  int ClaimInterface(std::uint8_t /*interface_number*/) override { return 0; }
  int ReleaseInterface(std::uint8_t /*interface_number*/) override { return 0; }
  int ControlOut(std::uint8_t /*request_type*/, std::uint8_t /*request*/, std::uint16_t /*value*/,
                 std::uint16_t /*index*/, std::uint32_t /*timeout_ms*/) override {
    return 0;
  }
};

// Answers every transfer at once: a status packet for every read.
class InstantConnection final : public AgreeableConnection {
 public:
  int BulkOut(std::uint8_t /*endpoint*/, const std::uint8_t* /*data*/, std::uint32_t length,
              std::uint32_t& transferred, std::uint32_t /*timeout_ms*/) override {
    transferred = length;
    return 0;
  }
  int BulkIn(std::uint8_t /*endpoint*/, std::uint8_t* data, std::uint32_t /*length*/, std::uint32_t& transferred,
             std::uint32_t /*timeout_ms*/) override {
    std::memcpy(data, reply_.data(), reply_.size());
    transferred = static_cast<std::uint32_t>(reply_.size());
    return 0;
  }

 private:
  stage::usb::Packet reply_ = stage::usb::EncodeStatus({});
};

class InstantTransport final : public stage::usb::UsbTransport {
 public:
  int ListDevices(std::span<const stage::usb::UsbId> /*ids*/,
                  std::vector<stage::usb::UsbDeviceEntry>& devices) override {
    devices.assign(1, {});
    devices[0].endpoint_out = 0x01;
    devices[0].endpoint_in = 0x82;
    return 0;
  }
  int Open(const stage::usb::UsbDeviceEntry& /*device*/,
           std::unique_ptr<stage::usb::UsbConnection>& connection) override {
    connection = std::make_unique<InstantConnection>();
    return 0;
  }
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
  }
};

int BackendAlone() {
  constexpr int kExchanges = 1'000'000;
  NativeUsb library(std::make_unique<InstantTransport>(), {});
  std::uint32_t devices = 0;
  Handle handle = 0;
  if (library.GetNumDevices(devices) != 0 || library.Open(0, handle) != 0) return 1;
  const auto start = Clock::now();
  for (int i = 0; i < kExchanges; ++i) {
    if (!BackendExchange(library, handle)) return 1;
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kExchanges;
  std::printf("backend alone on a transport that answers at once: %.0f ns per exchange (%d exchanges)\n", ns,
              kExchanges);
  return 0;
}

constexpr std::size_t kTickAxes = 17;
constexpr auto kReplyLatency = std::chrono::microseconds(1000);
constexpr int kTickBlocks = 10;
constexpr int kTicksPerBlock = 20;

// Controllers at the transport seam that answer kReplyLatency after each
// command, on the real clock: a synchronous read sleeps until the reply is
// due, and the wait for asynchronous transfers sleeps until the first is.
class LatentTransport;

class LatentTransfer final : public stage::usb::UsbBulkTransfer {
 public:
  LatentTransfer(LatentTransport& transport, Clock::time_point& reply_due, bool in)
      : transport_(transport), reply_due_(reply_due), in_(in) {}
  int Submit(std::uint8_t* data, std::uint32_t length) override;
  void Cancel() override { cancelled_ = true; }
  // Ends the transfer when its time has come; when it is due.
  Clock::time_point Due() const { return cancelled_ || !in_ ? Clock::time_point{} : reply_due_; }
  void End() {
    if (in_ && !cancelled_) std::memcpy(data_, reply_.data(), reply_.size());
    const std::uint32_t moved = in_ ? static_cast<std::uint32_t>(reply_.size()) : length_;
    Ended(cancelled_ ? stage::usb::kTransportInterrupted : 0, cancelled_ ? 0 : moved);
  }

 private:
  LatentTransport& transport_;
  Clock::time_point& reply_due_;
  bool in_;
  bool cancelled_ = false;
  std::uint8_t* data_ = nullptr;
  std::uint32_t length_ = 0;
  stage::usb::Packet reply_ = stage::usb::EncodeStatus({});
};

class LatentConnection final : public AgreeableConnection {
 public:
  explicit LatentConnection(LatentTransport& transport) : transport_(transport) {}
  int BulkOut(std::uint8_t /*endpoint*/, const std::uint8_t* /*data*/, std::uint32_t length,
              std::uint32_t& transferred, std::uint32_t /*timeout_ms*/) override {
    reply_due_ = Clock::now() + kReplyLatency;
    transferred = length;
    return 0;
  }
  int BulkIn(std::uint8_t /*endpoint*/, std::uint8_t* data, std::uint32_t /*length*/, std::uint32_t& transferred,
             std::uint32_t /*timeout_ms*/) override {
    std::this_thread::sleep_until(reply_due_);
    std::memcpy(data, reply_.data(), reply_.size());
    transferred = static_cast<std::uint32_t>(reply_.size());
    return 0;
  }
  std::unique_ptr<stage::usb::UsbBulkTransfer> NewBulkTransfer(std::uint8_t endpoint) override {
    return std::make_unique<LatentTransfer>(transport_, reply_due_, (endpoint & 0x80U) != 0);
  }

 private:
  LatentTransport& transport_;
  Clock::time_point reply_due_;
  stage::usb::Packet reply_ = stage::usb::EncodeStatus({});
};

class LatentTransport final : public stage::usb::UsbTransport {
 public:
  int ListDevices(std::span<const stage::usb::UsbId> /*ids*/,
                  std::vector<stage::usb::UsbDeviceEntry>& devices) override {
    devices.assign(kTickAxes, {});
    for (std::size_t i = 0; i < kTickAxes; ++i) {
      devices[i].port_path = {static_cast<std::uint8_t>(i + 1)};
      devices[i].endpoint_out = 0x01;
      devices[i].endpoint_in = 0x82;
    }
    return 0;
  }
  int Open(const stage::usb::UsbDeviceEntry& /*device*/,
           std::unique_ptr<stage::usb::UsbConnection>& connection) override {
    connection = std::make_unique<LatentConnection>(*this);
    return 0;
  }
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
  }
  int WaitForTransfers(std::uint32_t timeout_ms) override {
    Clock::time_point first = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (LatentTransfer* t : under_way_) first = std::min(first, t->Due());
    std::this_thread::sleep_until(first);
    const Clock::time_point now = Clock::now();
    std::erase_if(under_way_, [now](LatentTransfer* t) {
      if (t->Due() > now) return false;
      t->End();
      return true;
    });
    return 0;
  }
  void Add(LatentTransfer* transfer) { under_way_.push_back(transfer); }

 private:
  std::vector<LatentTransfer*> under_way_;
};

int LatentTransfer::Submit(std::uint8_t* data, std::uint32_t length) {
  data_ = data;
  length_ = length;
  cancelled_ = false;
  if (!in_) reply_due_ = Clock::now() + kReplyLatency;  // the command is there at once
  Started();
  transport_.Add(this);
  return 0;
}

void PrintTicks(const char* what, const std::vector<double>& samples_us) {
  const stage::bench::Figures f = stage::bench::Summarise(samples_us);
  std::printf("  %-34s median %7.2f ms  p99 %7.2f ms  max %7.2f ms\n", what, f.median_us / 1000, f.p99_us / 1000,
              f.max_us / 1000);
}

// Opens every controller `library` counts and times ticks both ways.
int CompareTicks(NativeUsb& library, const char* title) {
  std::uint32_t devices = 0;
  if (library.GetNumDevices(devices) != 0 || devices != kTickAxes || library.SetTimeouts(10000, 10000) != 0) {
    std::fputs("cannot count the controllers (the emulated ones need umockdev-wrapper)\n", stderr);
    return 1;
  }
  std::array<stage::usb::AxisTransfer, kTickAxes> transfers{};
  std::array<std::array<std::uint8_t, 16>, kTickAxes> replies{};
  for (std::size_t i = 0; i < kTickAxes; ++i) {
    if (library.Open(static_cast<std::uint32_t>(i), transfers[i].handle) != 0) return 1;
    transfers[i].command = kCommand.data();
    transfers[i].reply = replies[i].data();
  }
  const auto tick = [&](bool overlapped) {
    const std::size_t done = overlapped ? library.ExchangeAll(transfers, 12)
                                        : library.DeviceLibrary::ExchangeAll(transfers, 12);
    if (done != kTickAxes) return false;
    return std::all_of(transfers.begin(), transfers.end(), [](const stage::usb::AxisTransfer& t) {
      return t.write_status == 0 && t.written == 12 && t.read_status == 0 && t.read == 12;
    });
  };
  std::vector<double> one_by_one_us;
  std::vector<double> overlapped_us;
  for (int block = 0; block < kTickBlocks; ++block) {
    for (const bool overlapped : {false, true}) {
      for (int i = 0; i < kTicksPerBlock; ++i) {
        const auto start = Clock::now();
        if (!tick(overlapped)) {
          std::fputs("an exchange failed\n", stderr);
          return 1;
        }
        (overlapped ? overlapped_us : one_by_one_us).push_back(Us(Clock::now() - start));
      }
    }
  }
  for (const stage::usb::AxisTransfer& t : transfers) library.Close(t.handle);
  std::printf("one tick, %zu controllers answering %lld us after each command, %s;\n"
              "%d ticks each way, alternating blocks of %d:\n",
              kTickAxes, static_cast<long long>(kReplyLatency.count()), title, kTickBlocks * kTicksPerBlock,
              kTicksPerBlock);
  PrintTicks("one after another (default)", one_by_one_us);
  PrintTicks("all at once (native backend)", overlapped_us);
  return 0;
}

int TickComparison() {
  {
    NativeUsb library(std::make_unique<LatentTransport>(), {});
    if (const int status = CompareTicks(library, "modelled at the transport seam"); status != 0) return status;
  }
  std::vector<stage::test::EmulatedController> controllers(kTickAxes);
  for (std::size_t i = 0; i < kTickAxes; ++i) {
    controllers[i].serial = "AXIS-" + std::to_string(i);
    controllers[i].port_path = {static_cast<std::uint8_t>(i + 1)};
    controllers[i].kernel_driver_bound = false;
  }
  stage::test::EmulatedBus bus(controllers);
  for (std::size_t i = 0; i < kTickAxes; ++i) bus.SetReplyLatency(i, kReplyLatency);
  NativeUsb library(std::make_unique<stage::usb::LibusbTransport>(), {});
  return CompareTicks(library, "emulated under libusb and umockdev");
}

}  // namespace

int main(int argc, char** argv) {
  // The preload sleeps after each emulated request; the default timer slack
  // would double that sleep.
  prctl(PR_SET_TIMERSLACK, 1);
  // --ticks: only the 17-controller tick comparison.
  if (argc > 1 && std::string(argv[1]) == "--ticks") return TickComparison();
  int status = EmulatedComparison();
  if (status == 0) status = BackendAlone();
  return status != 0 ? status : TickComparison();
}
