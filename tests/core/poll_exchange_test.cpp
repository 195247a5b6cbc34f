// Why: the polling exchange is the only code that talks to a controller once it
// is open; these tests script a controller as a list of expected transfers and
// check the bytes that go out, the tables the exchange updates, and how every
// failing transfer is reported.
#include "stage/poll/poll_exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "stage/usb/native_usb.h"
#include "tests/core/forwarding_devices.h"
#include "tests/core/scripted_usb.h"

namespace stage::poll {
namespace {

using namespace stage::usb;  // NOLINT(google-build-using-namespace): the test speaks the device library's terms

// One scripted transfer: what the library answers to a write or a read.
struct ScriptedTransfer {
  bool is_write = true;
  int status = SI_SUCCESS;
  std::uint32_t count = kTransferLength;
  Packet reply{};  // for reads
};

// A device library that plays a script and records what was written.
class ScriptedDevices final : public DeviceLibrary {
 public:
  std::deque<ScriptedTransfer> script;
  std::vector<Packet> written;
  std::vector<Handle> handles_used;

  int GetNumDevices(std::uint32_t& count) override {
    count = 1;
    return SI_SUCCESS;
  }
  int GetProductString(std::uint32_t /*device*/, std::span<std::uint8_t, kProductStringBufferSize> /*buffer*/,
                       std::uint32_t /*option*/) override {
    return SI_SUCCESS;
  }
  int SetTimeouts(std::uint32_t /*read_ms*/, std::uint32_t /*write_ms*/) override { return SI_SUCCESS; }
  int Open(std::uint32_t device, Handle& handle) override {
    handle = device + 1;
    return SI_SUCCESS;
  }
  int Close(Handle /*handle*/) override { return SI_SUCCESS; }

  int Write(Handle handle, const std::uint8_t* buffer, std::uint32_t to_write, std::uint32_t& written_count) override {
    const ScriptedTransfer step = Next(true);
    EXPECT_EQ(to_write, kTransferLength);
    Packet packet{};
    std::copy_n(buffer, kPacketSize, packet.begin());
    written.push_back(packet);
    handles_used.push_back(handle);
    written_count = step.count;
    return step.status;
  }
  int Read(Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read_count) override {
    const ScriptedTransfer step = Next(false);
    EXPECT_EQ(to_read, kTransferLength);
    handles_used.push_back(handle);
    std::copy(step.reply.begin(), step.reply.end(), buffer);
    read_count = step.count;
    return step.status;
  }

 private:
  ScriptedTransfer Next(bool is_write) {
    if (script.empty()) throw std::logic_error("transfer beyond the script");
    ScriptedTransfer step = script.front();
    script.pop_front();
    if (step.is_write != is_write) throw std::logic_error("transfer out of order");
    return step;
  }
};

Packet Reply(std::initializer_list<std::uint8_t> bytes) {
  Packet p{};
  std::copy(bytes.begin(), bytes.end(), p.begin());
  return p;
}

const Packet kBusyAt10000 = Reply({0x10, 0x27, 0x00, 0x40, 0x10, 0, 0, 0, 0x10, 0x27, 0x00, 0x40});

ScriptedTransfer WriteOk() { return {true}; }
ScriptedTransfer ReadOk(const Packet& reply = kBusyAt10000) { return {false, SI_SUCCESS, kTransferLength, reply}; }

class PollExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tables.AllocateAxisTables(0);
    tables.DeviceHandle[0] = 0x1234;
    tables.ParamFrameMarker[0] = kFrameA;
    tables.ActiveBit[0] = kActiveBit;
  }
  ExchangeResult Exchange() { return ExchangeAxis(tables, 0, TuningValues{}, devices); }

  modKVT_USB tables;
  ScriptedDevices devices;
};

TEST_F(PollExchangeTest, FirstTwoPacketsAlternateFrameAndToggle) {
  devices.script = {WriteOk(), ReadOk(), WriteOk(), ReadOk(), WriteOk(), ReadOk()};
  for (int tick = 0; tick < 3; ++tick) {
    EXPECT_EQ(Exchange().outcome, ExchangeResult::Outcome::kOk);
  }
  const Packet first = Reply({0x50, 0x0F, 0x05, 0x88, 0xFF, 0x7F, 0x05, 0x90, 0x00, 0x00, 0x00, 0x40});
  const Packet second = Reply({0x32, 0xC8, 0x32, 0x08, 0xFF, 0x7F, 0x05, 0x60, 0x00, 0x00, 0x00, 0x40});
  ASSERT_EQ(devices.written.size(), 3U);
  EXPECT_EQ(devices.written[0], first);
  EXPECT_EQ(devices.written[1], second);
  EXPECT_EQ(devices.written[2], first);
  EXPECT_EQ(tables.ParamFrameMarker[0], kFrameB);
  EXPECT_EQ(tables.ToggleBit[0], kToggleBit);
  for (Handle h : devices.handles_used) EXPECT_EQ(h, 0x1234U);
}

TEST_F(PollExchangeTest, ConfigurationBitsAndTargetTravelInEveryFrame) {
  tables.LimitActiveHiBit[0] = kLimitActiveHiBit;
  tables.RevLimitBit[0] = kRevLimitBit;
  tables.RevPolarityBit[0] = kRevPolarityBit;
  tables.CancelOnErrorBit[0] = kCancelOnErrorBit;
  tables.TargetCounts[0] = 1600;  // 12.5 um at 128 counts per micron
  tables.GoBit[0] = kGoBit;
  devices.script = {WriteOk(), ReadOk(), WriteOk(), ReadOk()};
  Exchange();
  Exchange();
  ASSERT_EQ(devices.written.size(), 2U);
  EXPECT_EQ(devices.written[0][7], 0x9F);
  EXPECT_EQ(devices.written[1][7], 0x6F);
  for (const Packet& p : devices.written) {
    EXPECT_EQ(p[8], 0x40);  // 1600 + 2^30 = 0x40000640
    EXPECT_EQ(p[9], 0x06);
    EXPECT_EQ(p[10], 0x00);
    EXPECT_EQ(p[11], 0x40);
  }
  EXPECT_EQ(devices.written[0][3], 128 + 8 + 1);
  EXPECT_EQ(devices.written[1][3], 8 + 1);
}

TEST_F(PollExchangeTest, DecodesTheReplyInTheSharedBuffer) {
  devices.script = {WriteOk(), ReadOk()};
  const ExchangeResult result = Exchange();
  ASSERT_EQ(result.outcome, ExchangeResult::Outcome::kOk);
  EXPECT_EQ(result.reading.position, 10000);
  EXPECT_EQ(result.reading.ideal_position, 10000);
  EXPECT_EQ(result.reading.flags, kFlagBusy);
  EXPECT_EQ(tables.UsbBuffer[4], 0x10);
  EXPECT_EQ(tables.LastUsbStatus, 0);
}

struct FailureCase {
  const char* name;
  std::vector<ScriptedTransfer> script;
  ExchangeResult::Outcome outcome;
  int status;
  std::uint32_t count;
  std::int16_t last_usb_status;
};

class PollExchangeFailureTest : public PollExchangeTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PollExchangeFailureTest, ReportsTheFailingTransfer) {
  const FailureCase& c = GetParam();
  devices.script.assign(c.script.begin(), c.script.end());
  const ExchangeResult result = Exchange();
  EXPECT_EQ(result.outcome, c.outcome);
  EXPECT_EQ(result.status, c.status);
  EXPECT_EQ(result.count, c.count);
  EXPECT_EQ(tables.LastUsbStatus, c.last_usb_status);
  EXPECT_TRUE(devices.script.empty()) << "no transfer may follow a failed one";
}

INSTANTIATE_TEST_SUITE_P(
    Transfers, PollExchangeFailureTest,
    ::testing::Values(
        FailureCase{"WriteStatus", {{true, SI_WRITE_ERROR, 12}}, ExchangeResult::Outcome::kWriteFailed, SI_WRITE_ERROR, 12, SI_WRITE_ERROR},
        FailureCase{"ShortWrite", {{true, SI_SUCCESS, 11}}, ExchangeResult::Outcome::kWriteFailed, 0, 11, 0},
        // Only the low 16 bits are kept, but the whole status decides.
        FailureCase{"WriteStatusBeyond16Bits", {{true, 0x10000, 12}}, ExchangeResult::Outcome::kWriteFailed, 0x10000, 12, 0},
        FailureCase{"ReadStatusWithFullCount", {WriteOk(), {false, SI_READ_ERROR, 12}}, ExchangeResult::Outcome::kReadFailed, SI_READ_ERROR, 12, SI_READ_ERROR},
        FailureCase{"ReadTimeout", {WriteOk(), {false, SI_READ_TIMED_OUT, 0}}, ExchangeResult::Outcome::kReadFailed, SI_READ_TIMED_OUT, 0, SI_READ_TIMED_OUT},
        FailureCase{"ShortRead", {WriteOk(), {false, SI_SUCCESS, 5}}, ExchangeResult::Outcome::kReadFailed, 0, 5, 0},
        FailureCase{"ReplyByte3Invalid", {WriteOk(), ReadOk(Reply({0, 0, 0, 0x80}))}, ExchangeResult::Outcome::kInvalidReply, 0, 12, 0},
        FailureCase{"ReplyByte11Invalid", {WriteOk(), ReadOk(Reply({0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xFF}))}, ExchangeResult::Outcome::kInvalidReply, 0, 12, 0}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(PollExchangeTest, TargetBeyondThePacketIsNeverWritten) {
  tables.TargetCounts[0] = 2e9;
  const ExchangeResult result = Exchange();
  EXPECT_EQ(result.outcome, ExchangeResult::Outcome::kNotEncodable);
  EXPECT_TRUE(devices.written.empty());
}

TEST_F(PollExchangeTest, ObserverSeesCommandAndReply) {
  struct Recorder final : ExchangeObserver {
    std::vector<std::pair<Packet, Packet>> seen;
    void OnExchange(AxisIndex /*axis*/, const Packet& command, const Packet& reply, const ExchangeResult& /*result*/) override {
      seen.emplace_back(command, reply);
    }
  } recorder;
  devices.script = {WriteOk(), ReadOk()};
  ExchangeAxis(tables, 0, TuningValues{}, devices, &recorder);
  ASSERT_EQ(recorder.seen.size(), 1U);
  EXPECT_EQ(recorder.seen[0].first, devices.written[0]);
  EXPECT_EQ(recorder.seen[0].second, kBusyAt10000);
}

// The exchange with every axis in one call. Whatever the backend does with the
// transfers, the console must see what one exchange after another gives:
// the same packets, the same tables, the results in axis order, and nothing
// after the first failure.
struct AllAxesCase {
  const char* name;
  std::vector<ScriptedTransfer> script;  // in the one-by-one order
  std::size_t results;                   // judged, the failing one included
  ExchangeResult::Outcome last;
  bool axis1_not_encodable = false;
};

// Each axis's own part of a one-by-one script: what it would play whatever
// the others do.
std::vector<std::deque<ScriptedTransfer>> ScriptByAxis(const std::deque<ScriptedTransfer>& script, std::size_t axes) {
  std::vector<std::deque<ScriptedTransfer>> parts(axes);
  std::size_t axis = 0;
  for (const ScriptedTransfer& step : script) {
    if (axis < parts.size()) parts[axis].push_back(step);
    if (!step.is_write || step.status != SI_SUCCESS || step.count != kTransferLength) ++axis;
  }
  return parts;
}

// Overlaps nothing, but behaves as a pipelined backend may: every entry is
// exchanged whatever failed before it, last axis first.
class EveryAxisAtOnce final : public test::ForwardingDevices {
 public:
  explicit EveryAxisAtOnce(ScriptedDevices& scripted) : ForwardingDevices(scripted), scripted_(scripted) {}
  int Write(Handle, const std::uint8_t*, std::uint32_t, std::uint32_t&) override { throw std::logic_error("one by one"); }
  int Read(Handle, std::uint8_t*, std::uint32_t, std::uint32_t&) override { throw std::logic_error("one by one"); }

  std::size_t ExchangeAll(std::span<AxisTransfer> transfers, std::uint32_t /*length*/, ReplyCheck /*accept*/) override {
    std::vector<std::deque<ScriptedTransfer>> parts = ScriptByAxis(scripted_.script, transfers.size());
    scripted_.script.clear();
    for (std::size_t i = transfers.size(); i-- > 0;) {
      AxisTransfer& t = transfers[i];
      std::deque<ScriptedTransfer>& part = parts[i];
      const ScriptedTransfer write = part.empty() ? WriteOkStep() : part.front();
      if (!part.empty()) part.pop_front();
      t.write_status = write.status;
      t.written = write.count;
      t.read_done = true;
      const ScriptedTransfer read = part.empty() ? ReadOkStep() : part.front();
      t.read_status = read.status;
      t.read = read.count;
      std::copy(read.reply.begin(), read.reply.end(), t.reply);
      ++exchanged;
    }
    return transfers.size();
  }
  std::size_t exchanged = 0;

 private:
  static ScriptedTransfer WriteOkStep() { return {true}; }
  static ScriptedTransfer ReadOkStep() { return {false, SI_SUCCESS, kTransferLength, kBusyAt10000}; }
  ScriptedDevices& scripted_;
};

class ExchangeAllAxesTest : public ::testing::TestWithParam<AllAxesCase> {
 protected:
  static constexpr AxisIndex kLastAxis = 2;

  // The case's tables and script, and what one exchange after another makes
  // of them.
  void SetUp() override {
    Open(tables, GetParam().axis1_not_encodable);
    scripted.script.assign(GetParam().script.begin(), GetParam().script.end());
  }

  static void Open(modKVT_USB& tables, bool axis1_not_encodable) {
    tables.AxisCount = kLastAxis;
    tables.AllocateAxisTables(kLastAxis);
    for (std::size_t i = 0; i <= kLastAxis; ++i) {
      tables.DeviceHandle[i] = 0x100 + i;
      tables.ParamFrameMarker[i] = kFrameA;
      tables.ActiveBit[i] = kActiveBit;
      tables.TargetCounts[i] = 1000.0 * static_cast<double>(i);
    }
    if (axis1_not_encodable) tables.TargetCounts[1] = 2e9;
  }

  // The reference: one exchange after another, stopping at the first failure.
  struct OneByOne {
    modKVT_USB tables;
    ScriptedDevices devices;
    std::vector<ExchangeResult> results;
  };
  static OneByOne RunOneByOne(const AllAxesCase& c) {
    OneByOne r;
    Open(r.tables, c.axis1_not_encodable);
    r.devices.script.assign(c.script.begin(), c.script.end());
    for (AxisIndex i = 0; i <= kLastAxis; ++i) {
      r.results.push_back(ExchangeAxis(r.tables, i, TuningValues{}, r.devices));
      if (r.results.back().outcome != ExchangeResult::Outcome::kOk) break;
    }
    return r;
  }

  static void ExpectSameTables(const modKVT_USB& got, const modKVT_USB& want) {
    EXPECT_EQ(got.ToggleBit, want.ToggleBit);
    EXPECT_EQ(got.ParamFrameMarker, want.ParamFrameMarker);
    EXPECT_EQ(got.LastUsbStatus, want.LastUsbStatus);
    EXPECT_TRUE(std::equal(got.UsbBuffer.begin(), got.UsbBuffer.begin() + kPacketSize, want.UsbBuffer.begin()));
  }

  static void ExpectSameResults(std::span<const ExchangeResult> got, const std::vector<ExchangeResult>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].outcome, want[i].outcome) << "axis " << i;
      EXPECT_EQ(got[i].status, want[i].status) << "axis " << i;
      EXPECT_EQ(got[i].count, want[i].count) << "axis " << i;
      EXPECT_EQ(got[i].reading.position, want[i].reading.position) << "axis " << i;
      EXPECT_EQ(got[i].reading.flags, want[i].reading.flags) << "axis " << i;
    }
  }

  modKVT_USB tables;
  ScriptedDevices scripted;
  AllAxesExchange exchange;
  const OneByOne want = RunOneByOne(GetParam());
};

// What an observer (the trace, say) is shown: every exchange as "axis
// outcome", and "tick failed" where the program would end.
struct SeenExchanges final : ExchangeObserver {
  std::vector<std::string> seen;
  void OnExchange(AxisIndex axis, const Packet&, const Packet&, const ExchangeResult& result) override {
    seen.push_back(std::to_string(axis) + " " + std::to_string(static_cast<int>(result.outcome)));
  }
  void OnTickFailed() override { seen.emplace_back("tick failed"); }
  // Rows of `axis` for packets that went on the wire (a packet that could
  // not be built never did).
  std::size_t WireRows(AxisIndex axis) const {
    const std::string not_encodable = " " + std::to_string(static_cast<int>(ExchangeResult::Outcome::kNotEncodable));
    return static_cast<std::size_t>(std::count_if(seen.begin(), seen.end(), [&](const std::string& line) {
      return line.starts_with(std::to_string(axis) + " ") && !line.ends_with(not_encodable);
    }));
  }
};

std::string Seen(std::size_t axis, ExchangeResult::Outcome outcome) {
  return std::to_string(axis) + " " + std::to_string(static_cast<int>(outcome));
}

TEST_P(ExchangeAllAxesTest, TheSequentialDefaultTalksAsOneExchangeAfterAnother) {
  const AllAxesCase& c = GetParam();
  SeenExchanges observer;

  const std::span<const ExchangeResult> results = ExchangeAllAxes(tables, exchange, scripted, &observer);

  ASSERT_EQ(results.size(), c.results);
  EXPECT_EQ(results.back().outcome, c.last);
  ExpectSameResults(results, want.results);
  EXPECT_EQ(scripted.written, want.devices.written);
  EXPECT_EQ(scripted.handles_used, want.devices.handles_used);
  EXPECT_TRUE(scripted.script.empty()) << "no transfer may follow a failed one";
  ExpectSameTables(tables, want.tables);
  std::vector<std::string> want_seen;
  for (std::size_t i = 0; i < c.results; ++i) want_seen.push_back(Seen(i, results[i].outcome));
  if (c.last != ExchangeResult::Outcome::kOk) want_seen.emplace_back("tick failed");
  EXPECT_EQ(observer.seen, want_seen);
}

TEST_P(ExchangeAllAxesTest, AnOverlappingBackendIsJudgedInAxisOrderUpToTheFirstFailure) {
  const AllAxesCase& c = GetParam();
  EveryAxisAtOnce devices(scripted);
  SeenExchanges observer;

  const std::span<const ExchangeResult> results = ExchangeAllAxes(tables, exchange, devices, &observer);

  ASSERT_EQ(results.size(), c.results);
  EXPECT_EQ(results.back().outcome, c.last);
  ExpectSameResults(results, want.results);
  // Later axes may have been exchanged, but nothing of theirs is judged.
  EXPECT_EQ(devices.exchanged, c.axis1_not_encodable ? 1U : 3U);
  ExpectSameTables(tables, want.tables);
  // Yet every exchange the backend made is seen, in axis order, each with
  // its own outcome, before the failed tick ends the program.
  std::vector<std::string> want_seen;
  for (std::size_t i = 0; i < c.results; ++i) want_seen.push_back(Seen(i, results[i].outcome));
  for (std::size_t i = c.results; i < devices.exchanged; ++i) want_seen.push_back(Seen(i, ExchangeResult::Outcome::kOk));
  if (c.last != ExchangeResult::Outcome::kOk) want_seen.emplace_back("tick failed");
  EXPECT_EQ(observer.seen, want_seen);
}

// The native USB backend on a scripted bus that plays the case: one
// controller per axis, each answering its own part of the script. Without
// asynchronous transfers it exchanges one after another (the default).
struct NativeBackend {
  NativeBackend(const AllAxesCase& c, modKVT_USB& tables, bool asynchronous) {
    bus.asynchronous = asynchronous;
    const std::size_t axes = static_cast<std::size_t>(tables.AxisCount) + 1;
    std::deque<ScriptedTransfer> script(c.script.begin(), c.script.end());
    const std::vector<std::deque<ScriptedTransfer>> parts = ScriptByAxis(script, axes);
    for (std::size_t i = 0; i < axes; ++i) {
      const std::string name = std::to_string(i);
      bus.devices.push_back(test::Controller(1, {static_cast<std::uint8_t>(i + 1)}, std::u16string(1, static_cast<char16_t>(u'0' + i))));
      Play(name, parts[i]);
    }
    library = std::make_unique<NativeUsb>(std::make_unique<test::ScriptedTransport>(bus), std::vector<UsbId>{});
    std::uint32_t count = 0;
    EXPECT_EQ(library->GetNumDevices(count), SI_SUCCESS);
    EXPECT_EQ(library->SetTimeouts(20, 20), SI_SUCCESS);
    for (std::size_t i = 0; i < axes; ++i) {
      Handle handle = 0;
      EXPECT_EQ(library->Open(static_cast<std::uint32_t>(i), handle), SI_SUCCESS);
      tables.DeviceHandle[i] = handle;
    }
    bus.log.clear();
  }

  // A vendor status as the bus event that makes it.
  void Play(const std::string& name, std::deque<ScriptedTransfer> part) {
    const ScriptedTransfer write = part.empty() ? ScriptedTransfer{} : part.front();
    if (write.status == SI_DEVICE_IO_FAILED) {  // unplugged
      bus.errors["out " + name] = kTransportNoDevice;
      bus.errors["in " + name] = kTransportNoDevice;
    } else if (write.status != SI_SUCCESS) {
      bus.errors["out " + name] = kTransportPipe;
    } else if (write.count != kTransferLength) {
      bus.out_counts[name] = write.count;
    }
    if (part.size() < 2) {
      if (part.empty()) bus.in_packets_of[name].push_back({{kBusyAt10000.begin(), kBusyAt10000.end()}});
      return;
    }
    const ScriptedTransfer& read = part[1];
    if (read.status == SI_READ_TIMED_OUT) return;  // a silent controller
    if (read.status != SI_SUCCESS) {
      bus.in_packets_of[name].push_back({{}, kTransportPipe});
      return;
    }
    bus.in_packets_of[name].push_back({{read.reply.begin(), read.reply.begin() + read.count}});
  }

  test::ScriptedBus bus;
  std::unique_ptr<NativeUsb> library;
};

TEST_P(ExchangeAllAxesTest, TheNativeBackendOverlapsAndIsJudgedAsItsOwnOneByOneExchange) {
  const AllAxesCase& c = GetParam();
  modKVT_USB one_by_one_tables;
  Open(one_by_one_tables, c.axis1_not_encodable);
  NativeBackend one_by_one(c, one_by_one_tables, false);
  AllAxesExchange one_by_one_exchange;
  const std::span<const ExchangeResult> reference =
      ExchangeAllAxes(one_by_one_tables, one_by_one_exchange, *one_by_one.library);
  NativeBackend overlapping(c, tables, true);
  SeenExchanges observer;

  const std::span<const ExchangeResult> results = ExchangeAllAxes(tables, exchange, *overlapping.library, &observer);

  ASSERT_EQ(results.size(), c.results);
  EXPECT_EQ(results.back().outcome, c.last);
  ExpectSameResults(results, {reference.begin(), reference.end()});
  ExpectSameTables(tables, one_by_one_tables);
  // Every command that could be built went out before the backend waited.
  const auto wait = std::find(overlapping.bus.log.begin(), overlapping.bus.log.end(), "wait");
  const auto submitted = std::count_if(overlapping.bus.log.begin(), wait,
                                       [](const std::string& line) { return line.ends_with("submit out 1 12 bytes"); });
  EXPECT_EQ(static_cast<std::size_t>(submitted), c.axis1_not_encodable ? 1U : 3U);
  // Each command that went on the wire is one row for the observer.
  for (AxisIndex axis = 0; axis <= kLastAxis; ++axis) {
    const std::string name = std::to_string(axis);
    const auto commands = std::count_if(overlapping.bus.log.begin(), overlapping.bus.log.end(), [&](const std::string& line) {
      return line == name + " submit out 1 12 bytes";
    });
    EXPECT_EQ(observer.WireRows(axis), static_cast<std::size_t>(commands)) << "axis " << axis;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, ExchangeAllAxesTest,
    ::testing::Values(
        AllAxesCase{"EveryAxisAnswers", {WriteOk(), ReadOk(), WriteOk(), ReadOk(), WriteOk(), ReadOk()}, 3, ExchangeResult::Outcome::kOk},
        AllAxesCase{"FirstWriteFails", {{true, SI_WRITE_ERROR, 0}}, 1, ExchangeResult::Outcome::kWriteFailed},
        AllAxesCase{"SecondAxisReadTimesOut", {WriteOk(), ReadOk(), WriteOk(), {false, SI_READ_TIMED_OUT, 0}}, 2, ExchangeResult::Outcome::kReadFailed},
        AllAxesCase{"SecondAxisUnplugged", {WriteOk(), ReadOk(), {true, SI_DEVICE_IO_FAILED, 0}}, 2, ExchangeResult::Outcome::kWriteFailed},
        AllAxesCase{"SecondAxisShortWrite", {WriteOk(), ReadOk(), {true, SI_SUCCESS, 11}}, 2, ExchangeResult::Outcome::kWriteFailed},
        AllAxesCase{"SecondAxisInvalidReply", {WriteOk(), ReadOk(), WriteOk(), ReadOk(Reply({0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0xFF}))}, 2, ExchangeResult::Outcome::kInvalidReply},
        AllAxesCase{"LastAxisInvalidReply", {WriteOk(), ReadOk(), WriteOk(), ReadOk(), WriteOk(), ReadOk(Reply({0, 0, 0, 0x80}))}, 3, ExchangeResult::Outcome::kInvalidReply},
        AllAxesCase{"SecondAxisCannotBeEncoded", {WriteOk(), ReadOk()}, 2, ExchangeResult::Outcome::kNotEncodable, true}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

}  // namespace
}  // namespace stage::poll
