// Why: the trace is what is left to read after a controller misbehaved, so
// the row of the failing exchange must be in the file, complete, before the
// program ends; and a slow or failing disk must cost rows, never the polling.
#include "stage/scope/trace_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
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

// What kSent and kReceived say, worked out by hand from their bytes:
//   sent 50 0F 05 | 89 | FF 7F | 05 | 90 | 40 06 00 40
//     frame 144 (0x90, no configuration bit): Max Speed 0x50 = 80, P 15, I 5;
//     control 0x89 = toggle 128 + active 8 + go 1; speed 0x7FFF - 32767 = 0;
//     D 5; target 0x40000640 - 2^30 = 1600 counts.
//   received 10 27 00 40 | 10 | .. | 0C 27 00 40
//     position 0x2710 = 10000, flags 0x10 = busy, ideal 0x270C = 9996.
constexpr const char* kSentSays = "go|active|toggle,1600,144,80,15,5,,,,5,0,";
constexpr const char* kReceivedSays = "10000,9996,16,busy,0,12";
constexpr const char* kNothingSent = ",,,,,,,,,,,";  // control .. config
constexpr const char* kNothingRead = ",,,,";          // position .. flag_names

INSTANTIATE_TEST_SUITE_P(
    Outcomes, TraceRowTest,
    ::testing::Values(
        RowCase{"Ok", Outcome::kOk, kSent, kReceived, 0, 12,
                std::string("1234567,2,\"Z\",ok,") + kSentHex + "," + kSentSays + "," + kReceivedHex + "," +
                    kReceivedSays + "\n"},
        RowCase{"WriteFailed", Outcome::kWriteFailed, kSent, {}, usb::SI_WRITE_ERROR, 0,
                std::string("1234567,2,\"Z\",write-failed,") + kSentHex + "," + kSentSays + "," + kZeroHex + "," +
                    kNothingRead + "4,0\n"},
        RowCase{"ReadFailed", Outcome::kReadFailed, kSent, {}, 0, 11,
                std::string("1234567,2,\"Z\",read-failed,") + kSentHex + "," + kSentSays + "," + kZeroHex + "," +
                    kNothingRead + "0,11\n"},
        RowCase{"InvalidReply", Outcome::kInvalidReply, kSent, kReceived, 0, 12,
                std::string("1234567,2,\"Z\",invalid-reply,") + kSentHex + "," + kSentSays + "," + kReceivedHex +
                    "," + kNothingRead + "0,12\n"},
        RowCase{"NotEncodable", Outcome::kNotEncodable, {}, {}, 0, 0,
                std::string("1234567,2,\"Z\",not-encodable,") + kZeroHex + "," + kNothingSent + "," + kZeroHex +
                    "," + kNothingRead + "0,0\n"}),
    [](const ::testing::TestParamInfo<RowCase>& row) { return row.param.name; });

// The other frame, a Rel back with a negative speed, every configuration bit
// and every flag, by hand:
//   sent 32 C8 32 | 68 | 0B 7E | 05 | 6F | 9C FF FF 3F
//     frame 96 (0x60) with configuration 15: Acc 0x32 = 50, Torque 0xC8 =
//     200, F Error 50; control 0x68 = rel 64 + position-mode 32 + active 8;
//     speed 0x7E0B = 32267 - 32767 = -500; D 5; target 0x3FFFFF9C - 2^30 =
//     -100 counts (a Rel's distance).
//   received flags 0xFF: the seven named flags and the uninterpreted 128.
TEST(TraceRow, TheOtherFrameEveryBitAndANegativeDistanceAreDecoded) {
  TraceRow row;
  row.time_us = 20;
  row.axis = 0;
  row.name = {'X'};
  row.sent = {0x32, 0xC8, 0x32, 0x68, 0x0B, 0x7E, 0x05, 0x6F, 0x9C, 0xFF, 0xFF, 0x3F};
  row.received = {0x00, 0x00, 0x00, 0x40, 0xFF, 0, 0, 0, 0x00, 0x00, 0x00, 0x40};
  row.result = Result(Outcome::kOk, 0, 12);
  row.result.reading = {0, 0, 0xFF};
  const std::string text = FormatTraceRow(row);
  EXPECT_EQ(text,
            "20,0,\"X\",ok,32 C8 32 68 0B 7E 05 6F 9C FF FF 3F,active|position-mode|rel,-100,96,,,,50,200,50,5,-500,"
            "limit-active-high|reverse-limit|reverse-polarity|cancel-on-error,00 00 00 40 FF 00 00 00 00 00 00 40,"
            "0,0,255,limit1|limit2|reverse|max-speed|busy|active-high|error|128,0,12\n");
  // The widest row there can be still goes out whole in one batch.
  row.time_us = INT64_MAX;
  row.axis = INT32_MAX;
  row.name = {'"', '"', '"', '"', '"', '"', '"'};
  row.sent[3] = 0xFF;
  row.result.reading = {INT32_MIN, INT32_MIN, 0xFF};
  EXPECT_LT(FormatTraceRow(row).size(), 512U);
}

TEST(TraceHeader, TheFirstLineSaysWhenTimeZeroWasInUtc) {
  EXPECT_EQ(FormatTraceHeader(1'796'968'924'123'456),
            std::string("# stage-console trace; time_us 0 is 2026-12-11T06:02:04.123456Z\n") + kTraceHeader);
  EXPECT_EQ(FormatTraceHeader(-1), std::string("# stage-console trace; time_us 0 is 1969-12-31T23:59:59.999999Z\n") +
                                       kTraceHeader);
  EXPECT_EQ(std::count(kTraceHeader, kTraceHeader + std::strlen(kTraceHeader), ','), kTraceColumns - 1);
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
    TraceOpen opened = OpenTraceFile(path.string());
    ASSERT_TRUE(opened.sink) << opened.message;
    EXPECT_EQ(opened.message, "");
    writer = std::make_unique<TraceWriter>(std::move(opened.sink),
                                           [this](const std::string& m) { reports.push_back(m); });
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
  ASSERT_EQ(lines.size(), 7U);
  EXPECT_EQ(lines[1] + "\n", kTraceHeader);
  EXPECT_EQ(lines[2].substr(0, 13), "0,0,\"X\",ok,50");
  EXPECT_EQ(lines[4].substr(0, 13), "6666,2,\"\",ok,");  // a blank name, and µs since the first exchange
  EXPECT_EQ(lines[6], std::string("13332,1,\"Y\",read-failed,") + kSentHex + "," + kSentSays + "," + kZeroHex + "," +
                          kNothingRead + "2,0");

  // Whatever happens after the failure stays out of the file.
  Exchange(0, Outcome::kOk);
  EXPECT_EQ(Lines(path).size(), 7U);
  EXPECT_TRUE(reports.empty());
}

TEST_F(TraceFileTest, EveryExchangeOfTheFailedTickIsARowBeforeTheFileEnds) {
  for (AxisIndex axis = 0; axis <= 2; ++axis) Exchange(axis, Outcome::kOk);
  FailingTick(1);
  EXPECT_TRUE(writer->Finished());
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 8U);
  EXPECT_TRUE(lines[6].starts_with("13332,1,\"Y\",read-failed,")) << lines[6];
  EXPECT_TRUE(lines[7].starts_with("16665,2,\"\",ok,")) << lines[7];  // axis 2 was on the wire with it
  for (const std::string& line : lines) EXPECT_EQ(line.find("dropped"), std::string::npos) << line;
}

// Microseconds since 1970 by the system clock.
std::int64_t UnixMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The file says when its first exchange was, by the wall clock: a reader
// needs no other record to place the rows in time.
TEST_F(TraceFileTest, TheFirstLineGivesTheWallTimeOfTheFirstExchange) {
  // Nothing is written before the first exchange: its time is not known.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(std::filesystem::file_size(path), 0U);
  const std::int64_t before = UnixMicroseconds();
  Exchange(0, Outcome::kOk);
  const std::int64_t after = UnixMicroseconds();
  Exchange(1, Outcome::kOk);
  writer->Finish();
  const std::vector<std::string> lines = Lines(path);
  ASSERT_EQ(lines.size(), 4U);
  // The header written for either end of the interval brackets the one in the file.
  const std::string first = lines[0] + "\n" + lines[1] + "\n";
  EXPECT_LE(FormatTraceHeader(before), first);
  EXPECT_GE(FormatTraceHeader(after), first);
  EXPECT_TRUE(first.starts_with("# stage-console trace; time_us 0 is 20")) << first;
  EXPECT_TRUE(lines[2].starts_with("0,0,")) << lines[2];
}

TEST(TraceFile, AFileThatCannotBeWrittenIsSaidSo) {
  const TraceOpen opened = OpenTraceFile("/nonexistent-folder/trace.csv");
  EXPECT_FALSE(opened.sink);
  EXPECT_EQ(opened.message, "cannot write the trace file /nonexistent-folder/trace.csv: No such file or directory");
}


// Runs `call`, and ends the test program when it does not return within
// ten seconds: a hang fails here, with a message, rather than at the test
// runner's time-out.
void ReturnsInTime(const char* what, const std::function<void()>& call) {
  constexpr std::chrono::seconds kBound(10);
  std::promise<void> returned;
  std::future<void> finished = returned.get_future();
  std::thread calling([&] {
    call();
    returned.set_value();
  });
  if (finished.wait_for(kBound) != std::future_status::ready) {
    std::fprintf(stderr, "FAILED: %s did not return within %lld s\n", what, static_cast<long long>(kBound.count()));
    std::fflush(stderr);
    std::_Exit(1);
  }
  calling.join();
}

void FinishWithin(TraceWriter& writer) {
  ReturnsInTime("TraceWriter::Finish", [&writer] { writer.Finish(); });
}

TraceOpen OpenWithin(const std::string& path) {
  TraceOpen opened;
  ReturnsInTime("OpenTraceFile", [&] { opened = OpenTraceFile(path); });
  return opened;
}

// What the writer says, from whichever thread says it.
class Reports {
 public:
  std::function<void(const std::string&)> Sink() {
    return [this](const std::string& message) {
      const std::lock_guard lock(mutex_);
      messages_.push_back(message);
    };
  }
  std::vector<std::string> Get() const {
    const std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

// Rows of the same length: times 1000, 1001, ...
TraceRow Row(int i) {
  TraceRow row;
  row.time_us = 1000 + i;
  row.name = {'X'};
  row.sent = kSent;
  row.received = kReceived;
  row.result = Result(Outcome::kOk, 0, 12);
  return row;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A dropped row, up to its count.
const std::string kDroppedMarker = ",,,dropped" + std::string(kTraceColumns - 4, ',');

// What a trace's reader finds: the header first, then only whole rows (no
// row cut in two, and nothing after the last newline); the exchange rows
// and the rows the dropped rows count.
struct ReadTrace {
  std::size_t rows = 0;
  std::uint64_t counted_lost = 0;
  bool ends_with_loss = false;
};

ReadTrace ExpectWholeRows(const std::string& text) {
  ReadTrace read;
  if (text.empty()) return read;
  EXPECT_EQ(text.back(), '\n') << "the trace ends inside a row";
  const std::vector<std::string> lines = SplitLines(text);
  EXPECT_TRUE(lines.front().starts_with("# stage-console trace; time_us 0 is ")) << lines.front();
  if (lines.size() < 2) return read;
  EXPECT_EQ(lines[1] + "\n", kTraceHeader);
  for (std::size_t i = 2; i < lines.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(std::count(lines[i].begin(), lines[i].end(), ',')), kTraceColumns - 1)
        << "row " << i << ": " << lines[i];
    const std::size_t marker = lines[i].find(kDroppedMarker);
    read.ends_with_loss = marker != std::string::npos;
    if (read.ends_with_loss) {
      read.counted_lost += std::stoull(lines[i].substr(marker + kDroppedMarker.size()));
    } else {
      ++read.rows;
    }
  }
  return read;
}

// The number a "N trace rows ..." message starts with.
std::uint64_t LeadingCount(const std::string& message) {
  const std::size_t digits = message.find_first_not_of("0123456789");
  return digits == 0 ? 0 : std::stoull(message.substr(0, digits));
}

// A bound on the end that would show as a hang if it were waited out.
constexpr std::chrono::milliseconds kAnHour = std::chrono::hours(1);

// A FIFO in the test's folder, and its reader when the test opens one.
class TraceFifoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = (std::filesystem::path(::testing::TempDir()) /
            (std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".fifo"))
               .string();
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << std::strerror(errno);
  }
  void TearDown() override {
    if (reader >= 0) close(reader);
    unlink(path.c_str());
  }
  void OpenReader() {
    reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << std::strerror(errno);
  }
  // Everything in the pipe now.
  void Read() {
    char buffer[4096];
    for (long got; (got = read(reader, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(got));
  }
  // Reads until the text holds `lines` lines; false after ten seconds.
  bool ReadLines(std::size_t lines) {
    for (int i = 0; i < 1000; ++i) {
      Read();
      if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string path;
  int reader = -1;
  std::string text;
  Reports reports;
};

TEST_F(TraceFifoTest, AReaderThatGoesIsSaidOnceAndTheProgramGoesOn) {
  OpenReader();
  TraceOpen opened = OpenWithin(path);
  ASSERT_TRUE(opened.sink);
  EXPECT_EQ(opened.message, "");
  TraceWriter writer(std::move(opened.sink), reports.Sink(), 64);
  for (int i = 0; i < 4; ++i) writer.Push(Row(i));
  ASSERT_TRUE(ReadLines(6));  // the two header lines and four rows, as `head -n 6` takes them
  close(reader);
  reader = -1;
  // The next write meets no reader: SIGPIPE would end this test program.
  for (int i = 4; i < 1000 && reports.Get().empty(); ++i) {
    writer.Push(Row(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (int i = 0; i < 100; ++i) writer.Push(Row(i));
  FinishWithin(writer);
  EXPECT_EQ(reports.Get(), std::vector<std::string>{
                               "the trace's reader has gone (Broken pipe): the console goes on without the trace"});
}

TEST_F(TraceFifoTest, AFifoWithoutAReaderHoldsNothingAndTheEndSaysWhatWasLost) {
  // Opening would wait for a reader for ever: it returns at once instead.
  TraceOpen opened = OpenWithin(path);
  ASSERT_TRUE(opened.sink);
  EXPECT_EQ(opened.message, "the trace FIFO " + path + " has no reader yet: its rows wait for one");
  // A reader that takes nothing is not waited for: were it, Finish would
  // take the hour.
  TraceWriter writer(std::move(opened.sink), reports.Sink(), 8, kAnHour);
  int taken = 0;
  for (int i = 0; i < 20; ++i) taken += writer.Push(Row(i)) ? 1 : 0;
  EXPECT_EQ(taken, 8);  // the ring's rows wait; the rest are counted
  FinishWithin(writer);
  EXPECT_EQ(reports.Get(), std::vector<std::string>{"20 trace rows were not written: no reader opened the FIFO " + path});
}

TEST_F(TraceFifoTest, RowsWaitForAReaderThatComesLate) {
  TraceOpen opened = OpenWithin(path);
  ASSERT_TRUE(opened.sink);
  TraceWriter writer(std::move(opened.sink), reports.Sink(), 64);
  for (int i = 0; i < 5; ++i) writer.Push(Row(i));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  OpenReader();
  ASSERT_TRUE(ReadLines(7));
  FinishWithin(writer);
  Read();
  const ReadTrace read = ExpectWholeRows(text);
  EXPECT_EQ(read.rows, 5U);
  EXPECT_EQ(read.counted_lost, 0U);
  EXPECT_TRUE(reports.Get().empty());
}

TEST_F(TraceFifoTest, AReaderThatStopsReadingCostsRowsNeverTheEnd) {
  OpenReader();  // and never reads until the end
  TraceOpen opened = OpenWithin(path);
  ASSERT_TRUE(opened.sink);
  TraceWriter writer(std::move(opened.sink), reports.Sink(), 2048, kAnHour);
  constexpr int kRows = 1000;  // about 200 kB: more than the pipe holds
  for (int i = 0; i < kRows; ++i) ASSERT_TRUE(writer.Push(Row(i)));
  // The pipe fills: its 16 pages each take one batch of at least 3585 bytes
  // (the batch is closed once a row of the widest kind might not fit).
  constexpr int kFull = 16 * 3585;
  int queued = 0;
  for (int i = 0; i < 1000 && queued < kFull; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(ioctl(reader, FIONREAD, &queued), 0);
  }
  ASSERT_GE(queued, kFull);
  FinishWithin(writer);
  Read();
  const ReadTrace read = ExpectWholeRows(text);
  const std::vector<std::string> said = reports.Get();
  ASSERT_EQ(said.size(), 1U);
  const std::string stalled = " trace rows were not written: the reader of " + path + " stopped reading";
  EXPECT_NE(said[0].find(stalled), std::string::npos) << said[0];
  const std::uint64_t lost = LeadingCount(said[0]);
  EXPECT_EQ(read.rows + lost, static_cast<std::uint64_t>(kRows));
  // When the pipe had room for the row counting the loss, it is the last.
  if (read.ends_with_loss) {
    EXPECT_EQ(read.counted_lost, lost);
    EXPECT_EQ(said[0], std::to_string(lost) + stalled + "; the trace's last row counts them");
  }
}

// A disk with room for `room` bytes of trace: a write that reaches the end
// is cut short, the next fails with ENOSPC, as a full file system does.
TraceWriteFunction DiskWithRoom(std::uint64_t room) {
  return [room](int fd, const void* data, std::size_t size) -> long {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at < 0) return -1;
    const std::uint64_t left = room > static_cast<std::uint64_t>(at) ? room - static_cast<std::uint64_t>(at) : 0;
    if (left == 0) {
      errno = ENOSPC;
      return -1;
    }
    return write(fd, data, std::min<std::uint64_t>(size, left));
  };
}

struct DiskCase {
  std::string name;
  bool header;     // room for the header row
  int rows;        // and for this many rows
  int extra;       // and this many bytes more
};

void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.name; }

class FullDiskTest : public ::testing::TestWithParam<DiskCase> {};

constexpr int kDiskRows = 60;
const std::string kFullDiskSaid =
    "cannot write the trace: No space left on device; it ends on its last whole row; the console goes on without it";

// The rows written and the loss counted add up, the file holds whole rows
// only, and it ends on the row counting the loss whenever the disk has
// room for it, giving back no more rows than that needs.
TEST_P(FullDiskTest, TheTraceEndsOnWholeRowsAndCountsTheLoss) {
  const DiskCase& c = GetParam();
  const std::uint64_t header = FormatTraceHeader(0).size();  // the same length for every time after 1970
  const std::uint64_t row = FormatTraceRow(Row(0)).size();
  TraceRow loss_row;
  loss_row.kind = TraceRow::Kind::kDropped;
  loss_row.time_us = 1000 + kDiskRows;
  loss_row.dropped = kDiskRows;
  const std::uint64_t loss = FormatTraceRow(loss_row).size();
  const std::uint64_t room = (c.header ? header : 0) + static_cast<std::uint64_t>(c.rows) * row +
                             static_cast<std::uint64_t>(c.extra);
  const std::filesystem::path file =
      std::filesystem::path(::testing::TempDir()) / ("full-disk-" + c.name + ".csv");
  TraceOpen opened = OpenTraceFile(file.string(), DiskWithRoom(room));
  ASSERT_TRUE(opened.sink) << opened.message;
  Reports reports;
  TraceWriter writer(std::move(opened.sink), reports.Sink(), 64);
  for (int i = 0; i < kDiskRows; ++i) ASSERT_TRUE(writer.Push(Row(i)));
  FinishWithin(writer);

  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_LE(text.size(), room);
  const ReadTrace read = ExpectWholeRows(text);
  const std::vector<std::string> said = reports.Get();
  if (room >= header + kDiskRows * row) {
    EXPECT_EQ(read.rows, static_cast<std::size_t>(kDiskRows));
    EXPECT_TRUE(said.empty());
    return;
  }
  ASSERT_GE(said.size(), 1U);
  EXPECT_EQ(said[0], kFullDiskSaid);
  if (room >= header + loss) {
    EXPECT_TRUE(read.ends_with_loss);
    EXPECT_EQ(read.rows + read.counted_lost, static_cast<std::uint64_t>(kDiskRows));
    EXPECT_GE(read.rows, (room - header - loss) / row);  // as close to the end as the disk allows
    EXPECT_EQ(said.size(), 1U);
  } else {
    // Not even the row counting the loss fits: said on stderr instead.
    EXPECT_FALSE(read.ends_with_loss);
    ASSERT_EQ(said.size(), 2U);
    EXPECT_EQ(said[1], std::to_string(kDiskRows - read.rows) +
                           " trace rows were lost, and the disk has no room for the row counting them");
  }
}

INSTANTIATE_TEST_SUITE_P(Room, FullDiskTest,
                         ::testing::Values(DiskCase{"None", false, 0, 0}, DiskCase{"HalfTheHeader", false, 0, 50},
                                           DiskCase{"TheHeader", true, 0, 0}, DiskCase{"ARowAndABit", true, 1, 10},
                                           DiskCase{"ThreeRowsAndTheLoss", true, 3, 30},
                                           DiskCase{"FiveRowsExactly", true, 5, 0},
                                           DiskCase{"Enough", true, kDiskRows, 0}),
                         [](const ::testing::TestParamInfo<DiskCase>& c) { return c.param.name; });

// The same on a real file system that fills up: a 8 kB tmpfs in a mount
// namespace of this test's own (needs root; skipped otherwise).
TEST(TraceOnAFullFileSystem, EndsOnWholeRowsAndCountsTheLoss) {
  if (unshare(CLONE_NEWNS) != 0) GTEST_SKIP() << "no mount namespace of its own: " << std::strerror(errno);
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "mounts cannot be made private: " << std::strerror(errno);
  }
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "trace-tmpfs";
  std::filesystem::create_directories(dir);
  if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=8k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs: " << std::strerror(errno);
  }
  const std::filesystem::path file = dir / "trace.csv";
  TraceOpen opened = OpenTraceFile(file.string());
  ASSERT_TRUE(opened.sink) << opened.message;
  Reports reports;
  constexpr int kRows = 200;  // about 22 kB
  TraceWriter writer(std::move(opened.sink), reports.Sink(), 256);
  for (int i = 0; i < kRows; ++i) ASSERT_TRUE(writer.Push(Row(i)));
  FinishWithin(writer);
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  umount2(dir.c_str(), MNT_DETACH);
  const ReadTrace read = ExpectWholeRows(text);
  EXPECT_TRUE(read.ends_with_loss);
  EXPECT_GT(read.rows, 0U);
  EXPECT_EQ(read.rows + read.counted_lost, static_cast<std::uint64_t>(kRows));
  EXPECT_EQ(reports.Get(), std::vector<std::string>{kFullDiskSaid});
}

// A disk that takes rows only when the test lets it, or fails.
class GatedSink final : public TraceSink {
 public:
  explicit GatedSink(std::shared_ptr<std::promise<void>> gone = nullptr) : gone_(std::move(gone)) {}
  ~GatedSink() override {
    if (gone_) gone_->set_value();
  }
  GatedSink(const GatedSink&) = delete;
  GatedSink& operator=(const GatedSink&) = delete;

  long Write(const char* data, std::size_t size) override {
    std::unique_lock lock(mutex);
    open_.wait(lock, [this] { return is_open; });
    if (failing) {
      errno = ENOSPC;
      return -1;
    }
    text.append(data, size);
    return static_cast<long>(size);
  }
  bool Sync() override {
    const std::lock_guard lock(mutex);
    syncs++;
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
  int syncs = 0;

 private:
  std::condition_variable open_;
  std::shared_ptr<std::promise<void>> gone_;
};

TEST(TraceWriter, ASlowDiskCostsRowsNotTheTickAndTheLossIsWritten) {
  auto owned = std::make_unique<GatedSink>();
  GatedSink& sink = *owned;
  Reports reports;
  TraceWriter writer(std::move(owned), reports.Sink(), 8);
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
  FinishWithin(writer);
  const std::vector<std::string> all = SplitLines(sink.text);
  ASSERT_EQ(all.size(), 11U);  // the start, the names, 8 rows, the loss up to the last row offered
  EXPECT_EQ(all.back(), "19" + kDroppedMarker + "12");
  EXPECT_EQ(sink.syncs, 1);
  EXPECT_TRUE(reports.Get().empty());
}

TEST(TraceWriter, AFailingDiskIsReportedOnceAndRowsAreStillTaken) {
  auto owned = std::make_unique<GatedSink>();
  GatedSink& sink = *owned;
  sink.failing = true;
  sink.Open();
  Reports reports;
  TraceWriter writer(std::move(owned), reports.Sink(), 8);
  // The failed writer still empties the ring: more rows go in than it holds.
  int taken = 0;
  int offered = 0;
  for (; offered < 10000 && taken <= 16; ++offered) {
    TraceRow row;
    row.time_us = offered;
    taken += writer.Push(row) ? 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_GT(taken, 16);
  FinishWithin(writer);
  const std::vector<std::string> said = reports.Get();
  ASSERT_EQ(said.size(), 2U);
  EXPECT_EQ(said[0], kFullDiskSaid);
  EXPECT_EQ(said[1], std::to_string(offered) + " trace rows were lost, and the disk has no room for the row counting them");
}

// A disk that never answers (a write stuck for good): the end of the
// program still comes within the bound, and says what may be missing.
TEST(TraceWriter, ADiskThatNeverAnswersDoesNotHoldTheEnd) {
  auto gone = std::make_shared<std::promise<void>>();
  std::future<void> sink_gone = gone->get_future();
  auto owned = std::make_unique<GatedSink>(gone);
  GatedSink& sink = *owned;
  Reports reports;
  {
    TraceWriter writer(std::move(owned), reports.Sink(), 8, std::chrono::milliseconds(50));
    for (int i = 0; i < 20; ++i) writer.Push(Row(i));
    FinishWithin(writer);
    EXPECT_EQ(reports.Get(), std::vector<std::string>{
                                 "up to 20 trace rows were not written: the trace's file did not take them in time"});
  }
  // The writer thread outlives the writer, on state of its own: once the
  // disk answers it ends without a word more (and frees the sink).
  sink.Open();
  ASSERT_EQ(sink_gone.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(reports.Get().size(), 1U);
}

}  // namespace
}  // namespace stage::scope
