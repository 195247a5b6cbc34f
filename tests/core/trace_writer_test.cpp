// Why: the trace is what is left to read after a controller misbehaved, so
// the row of the failing exchange must be in the file, complete, before the
// program ends; and a slow or failing disk must cost rows, never the polling.
#include "stage/scope/trace_writer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace stage::scope {
namespace {

using Outcome = poll::ExchangeResult::Outcome;

const usb::Packet kSent = {0x50, 0x0F, 0x05, 0x89, 0xFF, 0x7F, 0x05, 0x90, 0x40, 0x06, 0x00, 0x40};
const usb::Packet kReceived = {0x10, 0x27, 0x00, 0x40, 0x10, 0, 0, 0, 0x0C, 0x27, 0x00, 0x40};
constexpr const char* kSentHex = "50 0F 05 89 FF 7F 05 90 40 06 00 40";
constexpr const char* kReceivedHex = "10 27 00 40 10 00 00 00 0C 27 00 40";
constexpr const char* kZeroHex = "00 00 00 00 00 00 00 00 00 00 00 00";

poll::ExchangeResult Result(Outcome outcome, int status, std::uint32_t count) {
  poll::ExchangeResult result;
  result.outcome = outcome;
  result.status = status;
  result.count = count;
  if (outcome == Outcome::kOk) result.reading = {10000, 9996, usb::kFlagBusy};
  return result;
}

struct RowCase {
  std::string name;
  Outcome outcome;
  usb::Packet sent;
  usb::Packet received;
  int status;
  std::uint32_t count;
  std::string expected;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

class TraceRowTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(TraceRowTest, EachOutcomeHasItsRow) {
  const RowCase& c = GetParam();
  TraceRow row;
  row.time_us = 1234567;
  row.axis = 2;
  row.name = {'Z'};
  row.sent = c.sent;
  row.received = c.received;
  row.result = Result(c.outcome, c.status, c.count);
  EXPECT_EQ(FormatTraceRow(row), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, TraceRowTest,
    ::testing::Values(
        RowCase{"Ok", Outcome::kOk, kSent, kReceived, 0, 12,
                std::string("1234567,2,\"Z\",ok,") + kSentHex + "," + kReceivedHex + ",10000,9996,16,0,12\n"},
        RowCase{"WriteFailed", Outcome::kWriteFailed, kSent, {}, usb::SI_WRITE_ERROR, 0,
                std::string("1234567,2,\"Z\",write-failed,") + kSentHex + "," + kZeroHex + ",,,,4,0\n"},
        RowCase{"ReadFailed", Outcome::kReadFailed, kSent, {}, 0, 11,
                std::string("1234567,2,\"Z\",read-failed,") + kSentHex + "," + kZeroHex + ",,,,0,11\n"},
        RowCase{"InvalidReply", Outcome::kInvalidReply, kSent, kReceived, 0, 12,
                std::string("1234567,2,\"Z\",invalid-reply,") + kSentHex + "," + kReceivedHex + ",,,,0,12\n"},
        RowCase{"NotEncodable", Outcome::kNotEncodable, {}, {}, 0, 0,
                std::string("1234567,2,\"Z\",not-encodable,") + kZeroHex + "," + kZeroHex + ",,,,0,0\n"}),
    [](const ::testing::TestParamInfo<RowCase>& row) { return row.param.name; });

TEST(TraceRow, ANameIsQuotedAndDroppedRowsCountTheLoss) {
  TraceRow named;
  named.name = {'a', '"', 'b'};
  EXPECT_NE(FormatTraceRow(named).find(",\"a\"\"b\","), std::string::npos);
  TraceRow dropped;
  dropped.kind = TraceRow::Kind::kDropped;
  dropped.time_us = 50;
  dropped.dropped = 7;
  EXPECT_EQ(FormatTraceRow(dropped), "50,,,dropped,,,,,,,7\n");
}

std::vector<std::string> Lines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A console of three axes whose clock the test moves.
class TraceFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tables.AllocateAxisTables(2);
    tables.AxisName = {"X   ", "Y   ", "    "};
    path = std::filesystem::path(::testing::TempDir()) /
           (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".csv");
    std::string error;
    auto sink = OpenTraceFile(path.string(), error);
    ASSERT_TRUE(sink) << error;
    writer = std::make_unique<TraceWriter>(std::move(sink), [this](const std::string& m) { reports.push_back(m); });
    observer = std::make_unique<TraceObserver>(*writer, tables, [this] { return now; });
  }
  void Exchange(AxisIndex axis, Outcome outcome) {
    observer->OnExchange(axis, kSent, outcome == Outcome::kOk ? kReceived : usb::Packet{},
                         Result(outcome, outcome == Outcome::kOk ? 0 : usb::SI_READ_ERROR, 0));
    now += std::chrono::microseconds(3333);
  }
  // A tick whose axis `failing` fails; the axes after it went on the wire too.
  void FailingTick(AxisIndex failing) {
    for (AxisIndex axis = 0; axis <= 2; ++axis) Exchange(axis, axis == failing ? Outcome::kReadFailed : Outcome::kOk);
    observer->OnTickFailed();
  }

  modKVT_USB tables;
  std::filesystem::path path;
  std::vector<std::string> reports;
  std::chrono::nanoseconds now{std::chrono::seconds(1000)};
  std::unique_ptr<TraceWriter> writer;
  std::unique_ptr<TraceObserver> observer;
};

TEST_F(TraceFileTest, AFailedExchangeIsTheLastRowAndTheFileIsCompleteAtOnce) {
  for (AxisIndex axis = 0; axis <= 2; ++axis) Exchange(axis, Outcome::kOk);
  Exchange(0, Outcome::kOk);
  Exchange(1, Outcome::kReadFailed);
  observer->OnTickFailed();
  // No destructor has run: the file is complete as the program would leave it.
  EXPECT_TRUE(writer->Finished());
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 6U);
  EXPECT_EQ(lines[0] + "\n", kTraceHeader);
  EXPECT_EQ(lines[1].substr(0, 13), "0,0,\"X\",ok,50");
  EXPECT_EQ(lines[3].substr(0, 13), "6666,2,\"\",ok,");  // a blank name, and µs since the first exchange
  EXPECT_EQ(lines[5], std::string("13332,1,\"Y\",read-failed,") + kSentHex + "," + kZeroHex + ",,,,2,0");

  // Whatever happens after the failure stays out of the file.
  Exchange(0, Outcome::kOk);
  EXPECT_EQ(Lines(path).size(), 6U);
  EXPECT_TRUE(reports.empty());
}

TEST_F(TraceFileTest, EveryExchangeOfTheFailedTickIsARowBeforeTheFileEnds) {
  for (AxisIndex axis = 0; axis <= 2; ++axis) Exchange(axis, Outcome::kOk);
  FailingTick(1);
  EXPECT_TRUE(writer->Finished());
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 7U);
  EXPECT_TRUE(lines[5].starts_with("13332,1,\"Y\",read-failed,")) << lines[5];
  EXPECT_TRUE(lines[6].starts_with("16665,2,\"\",ok,")) << lines[6];  // axis 2 was on the wire with it
  for (const std::string& line : lines) EXPECT_EQ(line.find("dropped"), std::string::npos) << line;
}

TEST(TraceFile, AFileThatCannotBeWrittenIsSaidSo) {
  std::string error;
  const auto sink = OpenTraceFile("/nonexistent-folder/trace.csv", error);
  EXPECT_FALSE(sink);
  EXPECT_EQ(error, "cannot write the trace file /nonexistent-folder/trace.csv: No such file or directory");
}

// A disk that takes rows only when the test lets it, or fails.
class GatedSink final : public TraceSink {
 public:
  bool Write(const char* data, std::size_t size) override {
    std::unique_lock lock(mutex);
    open_.wait(lock, [this] { return is_open; });
    if (failing) {
      errno = ENOSPC;
      return false;
    }
    text.append(data, size);
    return true;
  }
  bool Flush(bool durable) override {
    if (durable) durable_flushes++;
    return true;
  }
  void Open() {
    {
      const std::lock_guard lock(mutex);
      is_open = true;
    }
    open_.notify_all();
  }

  std::mutex mutex;
  bool is_open = false;
  bool failing = false;
  std::string text;
  int durable_flushes = 0;

 private:
  std::condition_variable open_;
};

TEST(TraceWriter, ASlowDiskCostsRowsNotTheTickAndTheLossIsWritten) {
  auto owned = std::make_unique<GatedSink>();
  GatedSink& sink = *owned;
  std::vector<std::string> reports;
  TraceWriter writer(std::move(owned), [&](const std::string& m) { reports.push_back(m); }, 8);
  TraceRow row;
  int kept = 0;
  // The writer is stuck on the header: the ring holds 8 rows, the rest are
  // dropped without waiting.
  for (int i = 0; i < 20; ++i) {
    row.time_us = i;
    if (writer.Push(row)) ++kept;
  }
  EXPECT_EQ(kept, 8);
  EXPECT_EQ(writer.Dropped(), 12U);
  sink.Open();
  writer.Finish();
  std::istringstream lines(sink.text);
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 10U);  // header, 8 rows, the loss
  EXPECT_EQ(all.back(), "7,,,dropped,,,,,,,12");
  EXPECT_EQ(sink.durable_flushes, 1);
  EXPECT_TRUE(reports.empty());
}

TEST(TraceWriter, AFailingDiskIsReportedOnceAndRowsAreStillTaken) {
  auto owned = std::make_unique<GatedSink>();
  GatedSink& sink = *owned;
  sink.failing = true;
  sink.Open();
  std::vector<std::string> reports;
  std::mutex reports_mutex;
  TraceWriter writer(std::move(owned), [&](const std::string& m) {
    const std::lock_guard lock(reports_mutex);
    reports.push_back(m);
  }, 8);
  for (int i = 0; i < 100; ++i) {
    TraceRow row;
    row.time_us = i;
    writer.Push(row);
  }
  writer.Finish();
  ASSERT_EQ(reports.size(), 1U);
  EXPECT_EQ(reports[0], "cannot write the trace: No space left on device; the console goes on without it");
}

}  // namespace
}  // namespace stage::scope
