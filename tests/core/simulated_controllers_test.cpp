// Why this exists: the console's own tests stand on the simulated controllers,
// so the simulator must honour the device library's contract exactly and play
// every configured fault exactly as configured, no sooner, no later, no other.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "stage/sim/simulated_controllers.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {
namespace {

using namespace std::chrono_literals;
using Call = CallRecord::Call;

constexpr std::uint32_t kTwelve = 12;

usb::Packet ActiveCommand() {
  usb::CommandFields fields;
  fields.control_byte = usb::kActiveBit | usb::kToggleBit;
  return *usb::EncodeCommand(fields).packet;
}

struct Transfer {
  int status;
  std::uint32_t count;
};

class SimulatorTest : public ::testing::Test {
 protected:
  void Make(SimulatorConfig config) {
    sim_ = std::make_unique<SimulatedControllers>(std::move(config), clock_);
  }

  usb::Handle OpenDevice(std::uint32_t device) {
    usb::Handle handle = 0;
    EXPECT_EQ(sim_->Open(device, handle), usb::SI_SUCCESS) << "device " << device;
    return handle;
  }

  Transfer Write(usb::Handle handle, const usb::Packet& packet = ActiveCommand()) {
    std::uint32_t written = 99;
    const int status = sim_->Write(handle, packet.data(), kTwelve, written);
    return {status, written};
  }

  Transfer Read(usb::Handle handle, usb::Packet& reply) {
    std::uint32_t read = 99;
    const int status = sim_->Read(handle, reply.data(), kTwelve, read);
    return {status, read};
  }

  Transfer Read(usb::Handle handle) {
    usb::Packet reply{};
    return Read(handle, reply);
  }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::unique_ptr<SimulatedControllers> sim_;
};

// --- The library contract -------------------------------------------------

TEST_F(SimulatorTest, CountsAndNumbersTheConfiguredControllers) {
  Make({.controller_count = 3});
  std::uint32_t count = 0;
  EXPECT_EQ(sim_->GetNumDevices(count), usb::SI_SUCCESS);
  EXPECT_EQ(count, 3u);

  std::array<std::uint8_t, usb::kProductStringBufferSize> buffer{};
  buffer.fill(0xAA);
  EXPECT_EQ(sim_->GetProductString(3, buffer, 0), usb::SI_DEVICE_NOT_FOUND);
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xAA; }));
  usb::Handle handle = 77;
  EXPECT_EQ(sim_->Open(3, handle), usb::SI_DEVICE_NOT_FOUND);
  EXPECT_EQ(handle, 0u);
}

TEST_F(SimulatorTest, HandlesAreValidFromOpenToClose) {
  Make({.controller_count = 2});
  const usb::Handle first = OpenDevice(0);
  const usb::Handle second = OpenDevice(1);
  EXPECT_NE(first, 0u);
  EXPECT_NE(second, 0u);
  EXPECT_NE(first, second);
  EXPECT_TRUE(sim_->IsOpen(0));

  // Opening an open device fails and leaves the first handle working.
  usb::Handle again = 77;
  EXPECT_EQ(sim_->Open(0, again), usb::SI_DEVICE_IO_FAILED);
  EXPECT_EQ(again, 0u);
  EXPECT_EQ(Write(first).status, usb::SI_SUCCESS);
  EXPECT_EQ(Read(first).status, usb::SI_SUCCESS);

  EXPECT_EQ(sim_->Close(first), usb::SI_SUCCESS);
  EXPECT_FALSE(sim_->IsOpen(0));
  EXPECT_TRUE(sim_->IsOpen(1));
  EXPECT_EQ(sim_->Close(first), usb::SI_INVALID_HANDLE);

  // A handle from before a close stays invalid after the device is reopened.
  const usb::Handle reopened = OpenDevice(0);
  EXPECT_NE(reopened, first);
  for (const usb::Handle stale : {first, usb::Handle{0}, usb::Handle{12345}}) {
    const Transfer write = Write(stale);
    EXPECT_EQ(write.status, usb::SI_INVALID_HANDLE);
    EXPECT_EQ(write.count, 0u);
    const Transfer read = Read(stale);
    EXPECT_EQ(read.status, usb::SI_INVALID_HANDLE);
    EXPECT_EQ(read.count, 0u);
  }
  EXPECT_EQ(Write(reopened).status, usb::SI_SUCCESS);
}

TEST_F(SimulatorTest, WritesTakeExactlyTwelveBytes) {
  Make({.controller_count = 1});
  const usb::Handle handle = OpenDevice(0);
  const std::array<std::uint8_t, 16> bytes{};
  for (const std::uint32_t size : {0u, 1u, 11u, 13u, 16u}) {
    std::uint32_t written = 99;
    EXPECT_EQ(sim_->Write(handle, bytes.data(), size, written), usb::SI_INVALID_PARAMETER)
        << size;
    EXPECT_EQ(written, 0u) << size;
  }
  EXPECT_TRUE(sim_->CommandsReceived(0).empty());
  EXPECT_EQ(Read(handle).status, usb::SI_READ_TIMED_OUT);  // nothing reached the device

  std::array<std::uint8_t, 11> small{};
  std::uint32_t read = 99;
  EXPECT_EQ(Write(handle).status, usb::SI_SUCCESS);
  EXPECT_EQ(sim_->Read(handle, small.data(), 11, read), usb::SI_INVALID_PARAMETER);
  EXPECT_EQ(read, 0u);
}

TEST_F(SimulatorTest, EachCommandIsReceivedAndAnsweredOnce) {
  Make({.controller_count = 2});
  const usb::Handle handle = OpenDevice(1);
  const usb::Packet command = ActiveCommand();

  const Transfer write = Write(handle, command);
  EXPECT_EQ(write.status, usb::SI_SUCCESS);
  EXPECT_EQ(write.count, kTwelve);
  ASSERT_EQ(sim_->CommandsReceived(1).size(), 1u);
  EXPECT_EQ(sim_->CommandsReceived(1)[0], command);
  EXPECT_TRUE(sim_->CommandsReceived(0).empty());

  usb::Packet reply{};
  const Transfer read = Read(handle, reply);
  EXPECT_EQ(read.status, usb::SI_SUCCESS);
  EXPECT_EQ(read.count, kTwelve);
  ASSERT_TRUE(usb::DecodeStatus(reply).has_value());
  EXPECT_EQ(usb::DecodeStatus(reply)->position, 0);

  const Transfer second = Read(handle);
  EXPECT_EQ(second.status, usb::SI_READ_TIMED_OUT);
  EXPECT_EQ(second.count, 0u);
}

// The program runs for days: without history the simulator keeps no log,
// and still answers every command.
TEST_F(SimulatorTest, WithoutHistoryNothingIsKeptButEveryCommandIsAnswered) {
  SimulatorConfig config{.controller_count = 1};
  config.record_history = false;
  Make(std::move(config));
  const usb::Handle handle = OpenDevice(0);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(Write(handle).status, usb::SI_SUCCESS);
    EXPECT_EQ(Read(handle).count, kTwelve);
  }
  EXPECT_TRUE(sim_->Calls().empty());
  EXPECT_TRUE(sim_->CommandsReceived(0).empty());
}

TEST_F(SimulatorTest, AReadWithoutAReplyWaitsTheReadTimeoutAndNoMore) {
  Make({.controller_count = 1});
  EXPECT_EQ(sim_->ReadTimeoutMs(), SimulatedControllers::kDefaultTimeoutMs);
  const usb::Handle handle = OpenDevice(0);

  Nanoseconds before = clock_->Now();
  EXPECT_EQ(Read(handle).status, usb::SI_READ_TIMED_OUT);
  EXPECT_EQ(clock_->Now() - before, 1000ms);

  EXPECT_EQ(sim_->SetTimeouts(250, 400), usb::SI_SUCCESS);
  EXPECT_EQ(sim_->ReadTimeoutMs(), 250u);
  EXPECT_EQ(sim_->WriteTimeoutMs(), 400u);
  before = clock_->Now();
  EXPECT_EQ(Read(handle).status, usb::SI_READ_TIMED_OUT);
  EXPECT_EQ(clock_->Now() - before, 250ms);

  // A successful exchange does not wait at all.
  before = clock_->Now();
  Write(handle);
  Read(handle);
  EXPECT_EQ(clock_->Now(), before);
}

TEST_F(SimulatorTest, TheCallLogKeepsTheOrderOfEveryCall) {
  Make({.controller_count = 2});
  std::uint32_t count = 0;
  sim_->GetNumDevices(count);
  std::array<std::uint8_t, usb::kProductStringBufferSize> buffer{};
  sim_->GetProductString(0, buffer, 0);
  sim_->GetProductString(1, buffer, 0);
  sim_->SetTimeouts(10000, 10000);
  const usb::Handle h0 = OpenDevice(0);
  const usb::Handle h1 = OpenDevice(1);
  Write(h0);
  Read(h0);
  Write(h1);
  Read(h1);
  Read(h1);
  sim_->Close(h0);
  sim_->Close(h1);
  Write(h1);

  struct Expected {
    Call call;
    std::uint32_t device;
    int status;
    std::uint32_t count;
  };
  const std::vector<Expected> expected = {
      {Call::kGetNumDevices, kNoDevice, 0, 2},
      {Call::kGetProductString, 0, 0, 0},
      {Call::kGetProductString, 1, 0, 0},
      {Call::kSetTimeouts, kNoDevice, 0, 0},
      {Call::kOpen, 0, 0, 0},
      {Call::kOpen, 1, 0, 0},
      {Call::kWrite, 0, 0, 12},
      {Call::kRead, 0, 0, 12},
      {Call::kWrite, 1, 0, 12},
      {Call::kRead, 1, 0, 12},
      {Call::kRead, 1, usb::SI_READ_TIMED_OUT, 0},
      {Call::kClose, 0, 0, 0},
      {Call::kClose, 1, 0, 0},
      {Call::kWrite, kNoDevice, usb::SI_INVALID_HANDLE, 0},
  };
  const std::vector<CallRecord>& calls = sim_->Calls();
  ASSERT_EQ(calls.size(), expected.size());
  for (std::size_t k = 0; k < calls.size(); ++k) {
    SCOPED_TRACE("call " + std::to_string(k));
    EXPECT_EQ(calls[k].call, expected[k].call);
    EXPECT_EQ(calls[k].device, expected[k].device);
    EXPECT_EQ(calls[k].status, expected[k].status);
    EXPECT_EQ(calls[k].count, expected[k].count);
  }
}

// --- Product strings ---------------------------------------------------------

struct ProductStringCase {
  const char* name;
  std::string configured;
  std::size_t copied;     // bytes expected at the start of the buffer
  bool terminated;        // a zero right after them
  friend void PrintTo(const ProductStringCase& c, std::ostream* out) { *out << c.name; }
};

class ProductStringTest : public SimulatorTest,
                          public ::testing::WithParamInterface<ProductStringCase> {};

TEST_P(ProductStringTest, CopiesAtMost256BytesAndTerminatesOnlyBelowThat) {
  const ProductStringCase& param = GetParam();
  Make({.controller_count = 1, .product_strings = {param.configured}});
  std::array<std::uint8_t, usb::kProductStringBufferSize> buffer{};
  buffer.fill(0xAA);
  ASSERT_EQ(sim_->GetProductString(0, buffer, 0), usb::SI_SUCCESS);

  const std::string got(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(param.copied));
  EXPECT_EQ(got, param.configured.substr(0, param.copied));
  std::size_t untouched_from = param.copied;
  if (param.terminated) {
    EXPECT_EQ(buffer[param.copied], 0);
    ++untouched_from;
  }
  for (std::size_t k = untouched_from; k < buffer.size(); ++k) {
    ASSERT_EQ(buffer[k], 0xAA) << "byte " << k << " was written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, ProductStringTest,
    ::testing::Values(ProductStringCase{"Empty", "", 0, true},
                      ProductStringCase{"Short", "Stage X2", 8, true},
                      ProductStringCase{"AnyBytes", std::string("\x01\xFF\x80z", 4), 4, true},
                      ProductStringCase{"Bytes255", std::string(255, 'q'), 255, true},
                      ProductStringCase{"Bytes256NoTerminator", std::string(256, 'r'), 256, false},
                      ProductStringCase{"Bytes300CutTo256", std::string(150, 's') + std::string(150, 't'),
                                        256, false}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST_F(SimulatorTest, DefaultProductStringsNameTheAxes) {
  Make({.controller_count = 9, .product_strings = {"Custom"}});
  const std::vector<std::string> expected = {"Custom", "SimY", "SimZ", "SimU", "SimV",
                                             "SimW",   "SimA", "SimB", "SimC"};
  for (std::uint32_t device = 0; device < 9; ++device) {
    std::array<std::uint8_t, usb::kProductStringBufferSize> buffer{};
    ASSERT_EQ(sim_->GetProductString(device, buffer, 0), usb::SI_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.data())), expected[device]);
  }
  EXPECT_EQ(DefaultProductString(0), "SimX");
}

// --- Start-up faults -----------------------------------------------------

TEST_F(SimulatorTest, CountFaultsArePlayed) {
  Make({.controller_count = 3, .count_status = usb::SI_DEVICE_IO_FAILED});
  std::uint32_t count = 99;
  EXPECT_EQ(sim_->GetNumDevices(count), usb::SI_DEVICE_IO_FAILED);
  EXPECT_EQ(count, 0u);

  Make({.controller_count = 3, .reported_count = 0});
  count = 99;
  EXPECT_EQ(sim_->GetNumDevices(count), usb::SI_SUCCESS);
  EXPECT_EQ(count, 0u);
}

TEST_F(SimulatorTest, OnlyTheConfiguredOpenFails) {
  Make({.controller_count = 3, .open_failures = {{.device = 1, .status = usb::SI_DEVICE_IO_FAILED}}});
  OpenDevice(0);
  usb::Handle handle = 77;
  EXPECT_EQ(sim_->Open(1, handle), usb::SI_DEVICE_IO_FAILED);
  EXPECT_EQ(handle, 0u);
  EXPECT_EQ(sim_->Open(1, handle), usb::SI_DEVICE_IO_FAILED);  // every attempt
  OpenDevice(2);
  EXPECT_TRUE(sim_->IsOpen(0));
  EXPECT_FALSE(sim_->IsOpen(1));
  EXPECT_TRUE(sim_->IsOpen(2));
}

TEST_F(SimulatorTest, AFailingProductStringLeavesTheBufferUntouched) {
  Make({.controller_count = 2, .product_string_status = usb::SI_DEVICE_IO_FAILED});
  for (std::uint32_t device = 0; device < 2; ++device) {
    std::array<std::uint8_t, usb::kProductStringBufferSize> buffer{};
    buffer.fill(0xAA);
    EXPECT_EQ(sim_->GetProductString(device, buffer, 0), usb::SI_DEVICE_IO_FAILED);
    EXPECT_TRUE(
        std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xAA; }));
  }
}

// --- Transfer faults ---------------------------------------------------------

// One transfer that did not end with status 0 and 12 bytes.
struct Outcome {
  int round;
  std::uint32_t device;
  TransferOp op;
  int status;
  std::uint32_t count;
  friend bool operator==(const Outcome&, const Outcome&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Outcome& o) {
    return out << "{round " << o.round << ", device " << o.device << ", "
               << (o.op == TransferOp::kWrite ? "write" : "read") << ", status " << o.status
               << ", count " << o.count << "}";
  }
};

struct TransferFaultCase {
  const char* name;
  std::vector<TransferFault> faults;
  std::vector<Outcome> unusual;  // every other transfer succeeds with 12 bytes
  friend void PrintTo(const TransferFaultCase& c, std::ostream* out) { *out << c.name; }
};

// Counts the commands that reach it.
class CountingModel final : public AxisModel {
 public:
  explicit CountingModel(int& commands) : commands_(commands) {}
  void OnCommand(const usb::Packet&, Nanoseconds) override { ++commands_; }
  usb::Packet Status(Nanoseconds) override { return usb::EncodeStatus({}); }

 private:
  int& commands_;
};

class TransferFaultTest : public SimulatorTest,
                          public ::testing::WithParamInterface<TransferFaultCase> {};

constexpr auto W = TransferOp::kWrite;
constexpr auto R = TransferOp::kRead;

TransferFault Fault(TransferOp op, TransferFault::Kind kind) {
  TransferFault fault;
  fault.op = op;
  fault.kind = kind;
  return fault;
}

// Two controllers polled like the console does, four rounds 10 ms apart: per
// round, write and read device 0, then write and read device 1.
TEST_P(TransferFaultTest, IsPlayedOnExactlyTheConfiguredTransfers) {
  const TransferFaultCase& param = GetParam();
  std::array<int, 2> model_commands{};
  SimulatorConfig config;
  config.controller_count = 2;
  config.transfer_faults = param.faults;
  config.model_factory = [&](std::uint32_t device) {
    return std::make_unique<CountingModel>(model_commands[device]);
  };
  Make(std::move(config));
  sim_->SetTimeouts(50, 60);
  const std::array<usb::Handle, 2> handles = {OpenDevice(0), OpenDevice(1)};

  std::vector<Outcome> unusual;
  std::array<std::size_t, 2> delivered{};
  for (int round = 0; round < 4; ++round) {
    for (std::uint32_t device = 0; device < 2; ++device) {
      const Transfer write = Write(handles[device]);
      if (write.status != 0 || write.count != kTwelve) {
        unusual.push_back({round, device, W, write.status, write.count});
      } else {
        ++delivered[device];
      }
      const Transfer read = Read(handles[device]);
      if (read.status != 0 || read.count != kTwelve) {
        unusual.push_back({round, device, R, read.status, read.count});
      }
    }
    clock_->Advance(10ms);
  }

  EXPECT_EQ(unusual, param.unusual);
  // A write that failed never reached the controller.
  for (std::uint32_t device = 0; device < 2; ++device) {
    EXPECT_EQ(sim_->CommandsReceived(device).size(), delivered[device]) << device;
    EXPECT_EQ(static_cast<std::size_t>(model_commands[device]), delivered[device]) << device;
  }
}

TransferFaultCase Case(const char* name, TransferFault fault, std::vector<Outcome> unusual) {
  return {name, {fault}, std::move(unusual)};
}

TransferFault With(TransferFault fault, auto&& edit) {
  edit(fault);
  return fault;
}

using K = TransferFault::Kind;
constexpr int kTimedOut = usb::SI_READ_TIMED_OUT;

INSTANTIATE_TEST_SUITE_P(
    Faults, TransferFaultTest,
    ::testing::Values(
        Case("WriteFailsOnTheThirdWriteOfAnyDevice",
             With(Fault(W, K::kStatus), [](auto& f) { f.nth = 3; f.status = usb::SI_WRITE_ERROR; }),
             {{1, 0, W, usb::SI_WRITE_ERROR, 0}, {1, 0, R, kTimedOut, 0}}),
        Case("WriteFailsOnTheSecondWriteOfDevice1",
             With(Fault(W, K::kStatus), [](auto& f) { f.device = 1; f.nth = 2; }),
             {{1, 1, W, usb::SI_DEVICE_IO_FAILED, 0}, {1, 1, R, kTimedOut, 0}}),
        Case("WriteFailsReportingAllTwelveBytes",
             With(Fault(W, K::kStatus), [](auto& f) { f.status = usb::SI_WRITE_ERROR; f.count = 12; }),
             {{0, 0, W, usb::SI_WRITE_ERROR, 12}, {0, 0, R, kTimedOut, 0}}),
        Case("ShortWrite",
             With(Fault(W, K::kShortCount), [](auto& f) { f.device = 0; f.count = 5; }),
             {{0, 0, W, 0, 5}, {0, 0, R, kTimedOut, 0}}),
        Case("WriteTimesOut", With(Fault(W, K::kTimeout), [](auto& f) { f.device = 1; }),
             {{0, 1, W, usb::SI_WRITE_TIMED_OUT, 0}, {0, 1, R, kTimedOut, 0}}),
        Case("ReadFailsOnTheSecondReadOfAnyDevice",
             With(Fault(R, K::kStatus), [](auto& f) { f.nth = 2; f.status = usb::SI_READ_ERROR; }),
             {{0, 1, R, usb::SI_READ_ERROR, 0}}),
        Case("ReadFailsWithSomeBytes",
             With(Fault(R, K::kStatus),
                  [](auto& f) { f.device = 0; f.nth = 2; f.status = usb::SI_READ_ERROR; f.count = 4; }),
             {{1, 0, R, usb::SI_READ_ERROR, 4}}),
        Case("ShortRead",
             With(Fault(R, K::kShortCount), [](auto& f) { f.device = 0; f.nth = 2; f.count = 7; }),
             {{1, 0, R, 0, 7}}),
        Case("ReadTimesOut", With(Fault(R, K::kTimeout), [](auto& f) { f.device = 1; }),
             {{0, 1, R, kTimedOut, 0}}),
        Case("RepeatingReadFaultFromTheSixthRead",
             With(Fault(R, K::kStatus), [](auto& f) { f.nth = 6; f.repeat = true; f.status = 2; }),
             {{2, 1, R, 2, 0}, {3, 0, R, 2, 0}, {3, 1, R, 2, 0}}),
        Case("ReadFaultOnceAfter25ms",
             With(Fault(R, K::kStatus), [](auto& f) { f.after = 25ms; f.status = 2; }),
             {{3, 0, R, 2, 0}}),
        Case("RepeatingWriteFaultOnDevice1After15ms",
             With(Fault(W, K::kStatus), [](auto& f) { f.device = 1; f.after = 15ms; f.repeat = true; }),
             {{2, 1, W, usb::SI_DEVICE_IO_FAILED, 0}, {2, 1, R, kTimedOut, 0},
              {3, 1, W, usb::SI_DEVICE_IO_FAILED, 0}, {3, 1, R, kTimedOut, 0}}),
        TransferFaultCase{
            "OfTwoFaultsOnOneTransferTheFirstIsPlayed",
            {With(Fault(R, K::kStatus), [](auto& f) { f.nth = 2; f.status = 2; }),
             With(Fault(R, K::kShortCount), [](auto& f) { f.nth = 2; f.count = 3; })},
            {{0, 1, R, 2, 0}}}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

std::string KindName(const ::testing::TestParamInfo<K>& info) {
  switch (info.param) {
    case K::kStatus: return "Status";
    case K::kShortCount: return "ShortCount";
    case K::kTimeout: return "Timeout";
    case K::kVerbatimReply: return "VerbatimReply";
  }
  return "Unknown";
}

class ReadFaultKindTest : public SimulatorTest, public ::testing::WithParamInterface<K> {};

TEST_P(ReadFaultKindTest, AFaultedReadConsumesThePendingReply) {
  Make({.controller_count = 1, .transfer_faults = {Fault(R, GetParam())}});
  const usb::Handle handle = OpenDevice(0);
  Write(handle);
  Read(handle);  // faulted
  const Transfer next = Read(handle);
  EXPECT_EQ(next.status, usb::SI_READ_TIMED_OUT);
  EXPECT_EQ(next.count, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReadFaultKindTest,
                         ::testing::Values(K::kStatus, K::kShortCount, K::kTimeout,
                                           K::kVerbatimReply),
                         KindName);

TEST_F(SimulatorTest, FaultTimeoutsWaitTheirOwnTimeout) {
  Make({.controller_count = 1,
        .transfer_faults = {Fault(W, K::kTimeout), With(Fault(R, K::kTimeout), [](auto& f) {
                              f.nth = 2;
                            })}});
  sim_->SetTimeouts(300, 700);
  const usb::Handle handle = OpenDevice(0);
  Nanoseconds before = clock_->Now();
  EXPECT_EQ(Write(handle).status, usb::SI_WRITE_TIMED_OUT);
  EXPECT_EQ(clock_->Now() - before, 700ms);

  EXPECT_EQ(Read(handle).status, usb::SI_READ_TIMED_OUT);  // no reply pending
  Write(handle);
  before = clock_->Now();
  EXPECT_EQ(Read(handle).status, usb::SI_READ_TIMED_OUT);  // the fault, reply pending
  EXPECT_EQ(clock_->Now() - before, 300ms);
}

TEST_F(SimulatorTest, AVerbatimReadReplyArrivesByteForByte) {
  // Bytes 3 and 11 of 128 or more: no valid decoding, delivered all the same.
  const usb::Packet bytes = {1, 2, 3, 0x80, 5, 6, 7, 8, 9, 10, 11, 0xFF};
  Make({.controller_count = 2,
        .transfer_faults = {With(Fault(R, K::kVerbatimReply), [&](auto& f) {
          f.device = 1;
          f.reply = bytes;
        })}});
  const usb::Handle h0 = OpenDevice(0);
  const usb::Handle h1 = OpenDevice(1);
  Write(h0);
  usb::Packet reply{};
  Read(h0, reply);
  EXPECT_NE(reply, bytes);

  Write(h1);
  const Transfer read = Read(h1, reply);
  EXPECT_EQ(read.status, usb::SI_SUCCESS);
  EXPECT_EQ(read.count, kTwelve);
  EXPECT_EQ(reply, bytes);
}

TEST_F(SimulatorTest, AVerbatimReplyOnAWriteAnswersThatCommand) {
  const usb::Packet bytes = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  Make({.controller_count = 1,
        .transfer_faults = {With(Fault(W, K::kVerbatimReply), [&](auto& f) {
          f.nth = 2;
          f.reply = bytes;
        })}});
  const usb::Handle handle = OpenDevice(0);
  usb::Packet reply{};
  for (int exchange = 1; exchange <= 3; ++exchange) {
    EXPECT_EQ(Write(handle).status, usb::SI_SUCCESS);
    EXPECT_EQ(Read(handle, reply).status, usb::SI_SUCCESS);
    EXPECT_EQ(reply == bytes, exchange == 2) << exchange;
  }
  EXPECT_EQ(sim_->CommandsReceived(0).size(), 3u);
}

// --- A move through the library --------------------------------------------

// The console's polling: alternate frames with the toggle bit, GO held for a
// few ticks, 10 ms apart; the axis moves, is busy, arrives and is idle. The
// simple model lands exactly; the servo model has its own tests.
TEST_F(SimulatorTest, APolledGoMovesTheAxisToItsTarget) {
  Make({.controller_count = 1,
        .model_factory = [](std::uint32_t) { return std::make_unique<SimpleAxisModel>(); }});
  const usb::Handle handle = OpenDevice(0);
  constexpr double kTarget = 64000;  // 0.2 s at Max Speed 80

  bool toggle = false;
  bool was_busy = false;
  usb::StatusReading last;
  for (int tick = 0; tick < 40; ++tick) {
    toggle = !toggle;
    usb::CommandFields fields;
    fields.frame_marker = toggle ? usb::kFrameA : usb::kFrameB;
    fields.control_byte = static_cast<std::uint8_t>(usb::kActiveBit | (toggle ? usb::kToggleBit : 0) |
                                                    (tick < 3 ? usb::kGoBit : 0) |
                                                    (tick >= 3 ? usb::kPositionModeBit : 0));
    fields.target_counts = kTarget;
    ASSERT_EQ(Write(handle, *usb::EncodeCommand(fields).packet).status, usb::SI_SUCCESS);
    usb::Packet reply{};
    ASSERT_EQ(Read(handle, reply).status, usb::SI_SUCCESS);
    last = *usb::DecodeStatus(reply);
    if (last.flags & usb::kFlagBusy) {
      was_busy = true;
      EXPECT_LT(last.position, kTarget) << tick;
    }
    clock_->Advance(10ms);
  }
  EXPECT_TRUE(was_busy);
  EXPECT_EQ(last.flags & usb::kFlagBusy, 0);
  EXPECT_EQ(last.position, kTarget);
}

}  // namespace
}  // namespace stage::sim
