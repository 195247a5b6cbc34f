// Why: the scripted tests prove the backend's decisions, not that libusb
// carries them out. Here the real libusb adapter talks usbfs to emulated
// controllers (umockdev's preload answers the device files), so what the
// controller sees is what a real one would: the claim, the enable request
// before the first packet, the packets, the disable request at the end.
// Runs only under libumockdev-preload.so (see tests/CMakeLists.txt).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <tuple>

#include "stage/poll/poll_exchange.h"
#include "stage/usb/libusb_transport.h"
#include "stage/usb/native_usb.h"
#include "stage/usb/packet_codec.h"
#include "tests/core/forwarding_devices.h"
#include "tests/umockdev/emulated_bus.h"

namespace stage::usb {
namespace {

using stage::test::EmulatedBus;
using stage::test::EmulatedController;
using testing::Contains;
using testing::ElementsAre;
using testing::IsSupersetOf;

// What the backend sends for a 12-byte command; the controller answers it.
constexpr std::array<std::uint8_t, 12> kCommand{0x80, 0x90, 0, 0x08, 1, 2, 3, 4, 0, 0, 0, 0x40};

// Anything that waits on the emulated controllers (a read deadline, the
// cancel of a transfer under way) can wait for ever when the backend misses
// it. `call` runs here; should it still run after `bound`, the test fails
// and every controller is pulled out, which ends whatever it waits for, so
// the test ends on that assertion rather than on CTest's time-out.
template <typename Call>
void Bounded(EmulatedBus& bus, const char* what, Call&& call,
             std::chrono::milliseconds bound = std::chrono::seconds(10)) {
  std::mutex mutex;
  std::condition_variable returned;
  bool done = false;
  bool expired = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (returned.wait_for(lock, bound, [&] { return done; })) return;
    expired = true;
    lock.unlock();
    for (std::size_t i = 0; i < bus.Size(); ++i) bus.Unplug(i);
  });
  call();
  {
    const std::lock_guard lock(mutex);
    done = true;
  }
  returned.notify_one();
  watchdog.join();
  EXPECT_FALSE(expired) << what << " had not returned after " << bound.count()
                        << " ms: a deadline or a cancel was missed";
}

class EmulatedControllersTest : public testing::Test {
 protected:
  // The bus first: libusb starts on the first count and must see it.
  void Start(std::vector<EmulatedController> controllers) {
    bus_ = std::make_unique<EmulatedBus>(std::move(controllers));
    library_ = std::make_unique<NativeUsb>(std::make_unique<LibusbTransport>(), std::vector<UsbId>{},
                                           [this](const std::string& line) { diagnostics_.push_back(line); });
  }

  void TearDown() override {
    library_.reset();  // libusb ends before the emulated bus goes
    bus_.reset();
  }

  std::string String(std::uint32_t device, std::uint32_t option) {
    std::array<std::uint8_t, kProductStringBufferSize> buffer{};
    EXPECT_EQ(library_->GetProductString(device, buffer, option), SI_SUCCESS);
    return reinterpret_cast<const char*>(buffer.data());
  }

  Handle Open(std::uint32_t device) {
    Handle handle = 0;
    EXPECT_EQ(library_->Open(device, handle), SI_SUCCESS) << testing::PrintToString(diagnostics_);
    return handle;
  }

  // One polling exchange: the position the controller answered, or -1.
  std::int32_t Exchange(Handle handle) {
    std::uint32_t count = 0;
    if (library_->Write(handle, kCommand.data(), kPacketSize, count) != SI_SUCCESS || count != kPacketSize) return -1;
    std::array<std::uint8_t, kPacketSize> reply{};
    if (library_->Read(handle, reply.data(), kPacketSize, count) != SI_SUCCESS || count != kPacketSize) return -1;
    const auto reading = DecodeStatus(reply);
    return reading ? reading->position : -1;
  }

  std::unique_ptr<EmulatedBus> bus_;
  std::unique_ptr<NativeUsb> library_;
  std::vector<std::string> diagnostics_;
};

TEST_F(EmulatedControllersTest, OneControllerFromCountToClose) {
  Start({{.serial = "KVT-0001", .port_path = {4}}});
  std::uint32_t count = 0;
  ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS) << testing::PrintToString(diagnostics_);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(String(0, 0), "KVT-0001");
  EXPECT_EQ(String(0, 1), "USB servo controller");
  EXPECT_EQ(PortPathText(library_->Devices()[0]), "1-4");
  EXPECT_EQ(library_->Devices()[0].endpoint_in, 0x82);
  EXPECT_EQ(library_->Devices()[0].endpoint_out, 0x01);
  ASSERT_EQ(library_->SetTimeouts(10000, 10000), SI_SUCCESS);

  bus_->ClearEvents(0);
  const Handle handle = Open(0);
  EXPECT_EQ(Exchange(handle), 1);
  EXPECT_EQ(Exchange(handle), 2);
  EXPECT_EQ(library_->Close(handle), SI_SUCCESS);
  EXPECT_THAT(bus_->Events(0), ElementsAre("getdriver", "getdriver", "detach 0", "claim 0",          // open
                                           "control 40 02 0002",
                                           "out 12", "in", "out 12", "in",                           // two exchanges
                                           "control 40 02 0004", "release 0", "attach 0"));          // close
  EXPECT_FALSE(bus_->Claimed(0));
}

TEST_F(EmulatedControllersTest, ThreeControllersAreNumberedByBusThenPort) {
  Start({{.serial = "Z-2-1", .bus = 2, .port_path = {1}},
         {.serial = "Y-1-3", .port_path = {3}},
         {.serial = "X-1-1", .port_path = {1}, .kernel_driver_bound = false}});
  std::uint32_t count = 0;
  ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
  ASSERT_EQ(count, 3u);
  EXPECT_EQ(String(0, 0), "X-1-1");
  EXPECT_EQ(String(1, 0), "Y-1-3");
  EXPECT_EQ(String(2, 0), "Z-2-1");

  std::array<Handle, 3> handles{};
  for (std::uint32_t i = 0; i < 3; ++i) handles[i] = Open(i);
  for (int round = 1; round <= 3; ++round) {
    for (const Handle handle : handles) EXPECT_EQ(Exchange(handle), round);
  }
  for (const Handle handle : handles) EXPECT_EQ(library_->Close(handle), SI_SUCCESS);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_THAT(bus_->Events(i), IsSupersetOf({"claim 0", "control 40 02 0002", "control 40 02 0004", "release 0"}));
    EXPECT_FALSE(bus_->Claimed(i));
  }
  // No kernel driver was bound to X, so none is detached or re-attached.
  EXPECT_THAT(bus_->Events(2), testing::Not(Contains("detach 0")));
  EXPECT_THAT(bus_->Events(2), testing::Not(Contains("attach 0")));
}

TEST_F(EmulatedControllersTest, AReplyPacketWithMoreBytesThanAskedForFailsTheReadAndIsNotKept) {
  Start({{.serial = "A"}});
  std::uint32_t count = 0;
  ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
  const Handle handle = Open(0);
  bus_->SetAutoReply(0, false);
  std::vector<std::uint8_t> packet(24);
  for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(i);
  bus_->QueueInPacket(0, packet);
  bus_->ClearEvents(0);

  std::array<std::uint8_t, 12> reply{};
  ASSERT_EQ(library_->Read(handle, reply.data(), 12, count), SI_READ_ERROR);
  EXPECT_EQ(count, 24u);
  EXPECT_THAT(diagnostics_, ElementsAre("reading on USB: 24 bytes came for a reply of 12"));
  bus_->SetAutoReply(0, true);
  EXPECT_EQ(Exchange(handle), 1) << "the next read gets the next reply, not the surplus";
  EXPECT_THAT(bus_->Events(0), ElementsAre("in", "out 12", "in"));
}

TEST_F(EmulatedControllersTest, ASilentControllerTimesOutAndStaysUsable) {
  Start({{.serial = "A"}});
  std::uint32_t count = 0;
  ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
  ASSERT_EQ(library_->SetTimeouts(50, 50), SI_SUCCESS);
  const Handle handle = Open(0);
  bus_->SetAutoReply(0, false);
  ASSERT_EQ(library_->Write(handle, kCommand.data(), kPacketSize, count), SI_SUCCESS);
  std::array<std::uint8_t, 12> reply{};
  int status = SI_SUCCESS;
  Bounded(*bus_, "the read of a silent controller", [&] { status = library_->Read(handle, reply.data(), 12, count); });
  EXPECT_EQ(status, SI_READ_TIMED_OUT);
  EXPECT_EQ(count, 0u);
  EXPECT_THAT(bus_->Events(0), Contains("discard"));  // libusb cancelled the pending transfer

  bus_->SetAutoReply(0, true);
  EXPECT_EQ(Exchange(handle), 1);
}

TEST_F(EmulatedControllersTest, AControllerUnpluggedWhilePollingFailsAndIsGivenBack) {
  Start({{.serial = "A", .port_path = {1}}, {.serial = "B", .port_path = {2}}, {.serial = "C", .port_path = {3}}});
  std::uint32_t count = 0;
  ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
  std::array<Handle, 3> handles{};
  for (std::uint32_t i = 0; i < 3; ++i) handles[i] = Open(i);
  for (const Handle handle : handles) ASSERT_EQ(Exchange(handle), 1);

  // B is pulled out while its read waits for the reply.
  bus_->SetAutoReply(1, false);
  ASSERT_EQ(library_->Write(handles[1], kCommand.data(), kPacketSize, count), SI_SUCCESS);
  std::thread unplug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bus_->Unplug(1);
  });
  std::array<std::uint8_t, 12> reply{};
  const int status = library_->Read(handles[1], reply.data(), 12, count);
  unplug.join();
  EXPECT_EQ(status, SI_DEVICE_IO_FAILED);
  EXPECT_THAT(diagnostics_, Contains(testing::HasSubstr("LIBUSB_ERROR_NO_DEVICE")));
  const std::vector<std::string> events = bus_->Events(1);
  ASSERT_GE(events.size(), 2u);
  EXPECT_THAT(std::vector(events.end() - 2, events.end()), ElementsAre("unplugged", "release 0"));  // given back
  EXPECT_EQ(library_->Write(handles[1], kCommand.data(), kPacketSize, count), SI_DEVICE_IO_FAILED);

  // The others go on, and close as usual.
  EXPECT_EQ(Exchange(handles[0]), 2);
  EXPECT_EQ(Exchange(handles[2]), 2);
  for (const Handle handle : handles) library_->Close(handle);
  EXPECT_THAT(bus_->Events(0), Contains("control 40 02 0004"));
  EXPECT_THAT(bus_->Events(2), Contains("control 40 02 0004"));
  for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(bus_->Claimed(i));
}

// The exchange with every axis, as the polling tick does it, on three
// emulated controllers that answer 1 ms after each command: the native
// backend's overlapped exchange must be judged exactly as the default's one
// after another, whatever happens to the second controller.
using poll::ExchangeResult;

struct EmulatedTickCase {
  const char* name;
  void (*fault)(EmulatedBus& bus);  // on the second controller, before the tick
  std::size_t results;              // judged, the failing one included
  ExchangeResult::Outcome last;
  int status;
};

// Three controllers opened into the axis tables, as OK leaves them.
class ThreeEmulatedControllers : public EmulatedControllersTest {
 protected:
  static constexpr std::size_t kAxes = 3;

  // Starts the three controllers, opens them into `tables`.
  void StartThree(modKVT_USB& tables) {
    Start({{.serial = "A", .port_path = {1}}, {.serial = "B", .port_path = {2}}, {.serial = "C", .port_path = {3}}});
    for (std::size_t i = 0; i < kAxes; ++i) bus_->SetReplyLatency(i, std::chrono::milliseconds(1));
    std::uint32_t count = 0;
    ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
    ASSERT_EQ(count, kAxes);
    ASSERT_EQ(library_->SetTimeouts(200, 200), SI_SUCCESS);
    tables.AxisCount = kAxes - 1;
    tables.AllocateAxisTables(kAxes - 1);
    for (std::size_t i = 0; i < kAxes; ++i) {
      tables.DeviceHandle[i] = Open(static_cast<std::uint32_t>(i));
      tables.ParamFrameMarker[i] = kFrameA;
      tables.ActiveBit[i] = kActiveBit;
    }
  }

  // One tick as the polling cycle makes it, overlapped or one exchange
  // after another; bounded in time.
  std::vector<ExchangeResult> OneTick(modKVT_USB& tables, poll::AllAxesExchange& exchange, bool overlapped,
                                      poll::ExchangeObserver* observer = nullptr) {
    test::ForwardingDevices one_after_another(*library_);
    DeviceLibrary& devices = overlapped ? static_cast<DeviceLibrary&>(*library_) : one_after_another;
    std::vector<ExchangeResult> results;
    Bounded(*bus_, "a tick", [&] {
      const std::span<const ExchangeResult> judged = poll::ExchangeAllAxes(tables, exchange, devices, observer);
      results.assign(judged.begin(), judged.end());
    });
    return results;
  }
};

class EmulatedTickTest : public ThreeEmulatedControllers, public testing::WithParamInterface<EmulatedTickCase> {
 protected:
  // One tick with the case's fault; the tables come back in `tables`.
  std::vector<ExchangeResult> Tick(bool overlapped, modKVT_USB& tables) {
    library_.reset();
    bus_.reset();
    diagnostics_.clear();
    StartThree(tables);
    GetParam().fault(*bus_);
    poll::AllAxesExchange exchange;
    seen_ = Rows{};
    return OneTick(tables, exchange, overlapped, &seen_);
  }

  // Each exchange the observer saw, per axis.
  struct Rows final : poll::ExchangeObserver {
    std::array<std::size_t, kAxes> per_axis{};
    void OnExchange(AxisIndex axis, const Packet&, const Packet&, const ExchangeResult& result) override {
      if (result.outcome != ExchangeResult::Outcome::kNotEncodable) ++per_axis.at(static_cast<std::size_t>(axis));
    }
  };
  Rows seen_;
};

TEST_P(EmulatedTickTest, TheOverlappedExchangeIsJudgedAsOneAfterAnother) {
  const EmulatedTickCase& c = GetParam();
  modKVT_USB want_tables;
  const std::vector<ExchangeResult> want = Tick(false, want_tables);
  const std::vector<std::string> want_diagnostics = diagnostics_;
  modKVT_USB tables;
  const std::vector<ExchangeResult> got = Tick(true, tables);

  ASSERT_EQ(got.size(), c.results);
  EXPECT_EQ(got.back().outcome, c.last);
  EXPECT_EQ(got.back().status, c.status);
  ASSERT_EQ(want.size(), got.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].outcome, want[i].outcome) << i;
    EXPECT_EQ(got[i].status, want[i].status) << i;
    EXPECT_EQ(got[i].count, want[i].count) << i;
    EXPECT_EQ(got[i].reading.position, want[i].reading.position) << i;
  }
  EXPECT_EQ(tables.ToggleBit, want_tables.ToggleBit);
  EXPECT_EQ(tables.ParamFrameMarker, want_tables.ParamFrameMarker);
  EXPECT_EQ(tables.LastUsbStatus, want_tables.LastUsbStatus);
  EXPECT_EQ(diagnostics_, want_diagnostics);
  // The third controller heard its command although its reply is not judged.
  EXPECT_THAT(bus_->Events(2), Contains("out 12"));
  // And the observer (the trace) saw every command that was on the bus (and
  // the failed write of one that never got there).
  for (std::size_t i = 0; i < kAxes; ++i) {
    const std::vector<std::string> events = bus_->Events(i);
    EXPECT_GE(seen_.per_axis[i], static_cast<std::size_t>(std::count(events.begin(), events.end(), "out 12")))
        << "axis " << i;
    EXPECT_EQ(seen_.per_axis[i], 1u) << "axis " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    SecondController, EmulatedTickTest,
    testing::Values(
        EmulatedTickCase{"Answers", [](EmulatedBus&) {}, 3, ExchangeResult::Outcome::kOk, 0},
        EmulatedTickCase{"Silent", [](EmulatedBus& bus) { bus.SetAutoReply(1, false); }, 2,
                         ExchangeResult::Outcome::kReadFailed, SI_READ_TIMED_OUT},
        EmulatedTickCase{"ReplyThatDoesNotDecode",
                         [](EmulatedBus& bus) {
                           bus.SetAutoReply(1, false);
                           bus.QueueInPacket(1, {0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xFF});
                         },
                         2, ExchangeResult::Outcome::kInvalidReply, 0},
        EmulatedTickCase{"Unplugged", [](EmulatedBus& bus) { bus.Unplug(1); }, 2,
                         ExchangeResult::Outcome::kWriteFailed, SI_DEVICE_IO_FAILED}),
    [](const testing::TestParamInfo<EmulatedTickCase>& row) { return std::string(row.param.name); });

// The second controller's replies turn malformed after a few good ticks:
// sent twice in one packet, padded to a full packet, or in a packet longer
// than the endpoint's. Every tick before shows each axis the reply to that
// tick's own command; the first malformed reply ends the ticks as a read
// failure, so no stale or shifted position is ever shown.
struct MalformedCase {
  const char* name;
  EmulatedBus::ReplyForm form;
  std::uint32_t count;
  const char* diagnostic;
};

class MalformedReplyTest : public ThreeEmulatedControllers,
                           public testing::WithParamInterface<std::tuple<MalformedCase, bool>> {};

TEST_P(MalformedReplyTest, EndsTheTicksAsAReadFailureAndNoPositionIsStale) {
  const auto& [c, overlapped] = GetParam();
  modKVT_USB tables;
  StartThree(tables);
  poll::AllAxesExchange exchange;
  constexpr int kGoodTicks = 5;
  for (int tick = 1; tick <= kGoodTicks; ++tick) {
    const std::vector<ExchangeResult> results = OneTick(tables, exchange, overlapped);
    ASSERT_EQ(results.size(), kAxes) << "tick " << tick;
    for (const ExchangeResult& result : results) {
      ASSERT_EQ(result.outcome, ExchangeResult::Outcome::kOk) << "tick " << tick;
      EXPECT_EQ(result.reading.position, tick) << "the reply to this tick's command";
    }
  }
  bus_->SetReplyForm(1, c.form);
  for (int tick = kGoodTicks + 1; tick <= kGoodTicks + 3; ++tick) {
    const std::vector<ExchangeResult> results = OneTick(tables, exchange, overlapped);
    ASSERT_FALSE(results.empty());
    EXPECT_EQ(results[0].outcome, ExchangeResult::Outcome::kOk);
    EXPECT_EQ(results[0].reading.position, tick);
    ASSERT_EQ(results.size(), 2u) << "tick " << tick << ": axis 1 must fail";
    EXPECT_EQ(results[1].outcome, ExchangeResult::Outcome::kReadFailed);
    EXPECT_EQ(results[1].status, SI_READ_ERROR);
    EXPECT_EQ(results[1].count, c.count);
  }
  EXPECT_THAT(diagnostics_, Contains(c.diagnostic));
}

INSTANTIATE_TEST_SUITE_P(
    SecondController, MalformedReplyTest,
    testing::Combine(
        testing::Values(MalformedCase{"ReplyTwiceInOnePacket", EmulatedBus::ReplyForm::kTwice, 24,
                                      "reading on USB: 24 bytes came for a reply of 12"},
                        MalformedCase{"ReplyPaddedTo64Bytes", EmulatedBus::ReplyForm::kPaddedTo64, 64,
                                      "reading on USB: 64 bytes came for a reply of 12"},
                        MalformedCase{"OverflowingPacket", EmulatedBus::ReplyForm::kOverflow, 64,
                                      "reading on USB: LIBUSB_ERROR_OVERFLOW"}),
        testing::Bool()),
    [](const testing::TestParamInfo<std::tuple<MalformedCase, bool>>& row) {
      return std::string(std::get<0>(row.param).name) + (std::get<1>(row.param) ? "Overlapped" : "OneAfterAnother");
    });

TEST_F(EmulatedControllersTest, AControllerUnpluggedDuringTheOverlappedExchangeIsGivenBack) {
  Start({{.serial = "A", .port_path = {1}}, {.serial = "B", .port_path = {2}}, {.serial = "C", .port_path = {3}}});
  std::uint32_t count = 0;
  ASSERT_EQ(library_->GetNumDevices(count), SI_SUCCESS);
  ASSERT_EQ(library_->SetTimeouts(2000, 2000), SI_SUCCESS);
  std::array<AxisTransfer, 3> transfers{};
  std::array<std::array<std::uint8_t, 12>, 3> replies{};
  for (std::uint32_t i = 0; i < 3; ++i) {
    transfers[i].handle = Open(i);
    transfers[i].command = kCommand.data();
    transfers[i].reply = replies[i].data();
  }
  bus_->SetAutoReply(1, false);  // B's read waits until B is pulled out
  std::thread unplug([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bus_->Unplug(1);
  });
  std::size_t exchanged = 0;
  Bounded(*bus_, "the exchange", [&] { exchanged = library_->ExchangeAll(transfers, kPacketSize); });
  unplug.join();
  ASSERT_EQ(exchanged, 3u);
  EXPECT_EQ(transfers[0].read_status, SI_SUCCESS);
  EXPECT_EQ(transfers[1].write_status, SI_SUCCESS);
  EXPECT_EQ(transfers[1].read_status, SI_DEVICE_IO_FAILED);
  EXPECT_EQ(transfers[2].read_status, SI_SUCCESS);
  EXPECT_THAT(diagnostics_, ElementsAre("reading on USB: LIBUSB_ERROR_NO_DEVICE"));
  const std::vector<std::string> events = bus_->Events(1);
  ASSERT_GE(events.size(), 2u);
  EXPECT_THAT(std::vector(events.end() - 2, events.end()), ElementsAre("unplugged", "release 0"));  // given back
  ASSERT_EQ(library_->ExchangeAll(transfers, kPacketSize), 3u);  // the others go on
  EXPECT_EQ(transfers[1].write_status, SI_DEVICE_IO_FAILED);
  EXPECT_EQ(transfers[2].read_status, SI_SUCCESS);
  for (const AxisTransfer& t : transfers) library_->Close(t.handle);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(bus_->Claimed(i));
}

TEST_F(EmulatedControllersTest, NoControllerIsAFailedCount) {
  Start({{.serial = "other", .vendor_id = 0x1234}});
  std::uint32_t count = 9;
  EXPECT_EQ(library_->GetNumDevices(count), SI_DEVICE_NOT_FOUND);
  EXPECT_EQ(count, 0u);
}

}  // namespace
}  // namespace stage::usb
