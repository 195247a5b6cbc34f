// The event log: timed, escaped lines on stderr and in a file, written by its
// own thread; a full queue drops lines and says so, never waits.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "stage/control/event_log.h"
#include "stage/control/fixed_ring.h"

namespace stage::control {
namespace {

TEST(EventLog, LinesAreTimedEscapedAndGoToStderrAndTheFile) {
  std::mutex mutex;
  std::vector<std::string> lines;
  const std::string path = ::testing::TempDir() + "/event_log_test.log";
  std::remove(path.c_str());
  {
    EventLog log([&](const std::string& line) {
      const std::lock_guard lock(mutex);
      lines.push_back(line);
    });
    std::string error;
    ASSERT_TRUE(log.OpenFile(path, error)) << error;
    log.Log("operator: GO axis X to 10.00");
    log.Log("client pid 1 uid 2 (\x1b[2J): stop_all");
    ASSERT_TRUE(log.Flush());
  }
  ASSERT_EQ(lines.size(), 2U);
  // "stage-console: 2026-12-11T06:40:00.123Z text"
  EXPECT_EQ(lines[0].rfind("stage-console: ", 0), 0U);
  EXPECT_EQ(lines[0][15 + 10], 'T');
  EXPECT_EQ(lines[0][15 + 23], 'Z');
  EXPECT_EQ(lines[0].substr(15 + 25), "operator: GO axis X to 10.00\n");
  EXPECT_EQ(lines[1].find('\x1b'), std::string::npos);
  EXPECT_NE(lines[1].find("\\x1B[2J"), std::string::npos);
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(text.str(), lines[0].substr(15) + lines[1].substr(15));
}

TEST(EventLog, AStalledWriterNeverHoldsTheCallerUp) {
  std::mutex gate;
  gate.lock();  // the writer stalls on its first line
  std::vector<std::string> lines;
  {
    EventLog log([&](const std::string& line) {
      const std::lock_guard lock(gate);
      lines.push_back(line);
    });
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < 3 * EventLog::kMaxQueuedLines; ++i) log.Log("line");
    // Queued or dropped, each at once: bounded far below a stall.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_FALSE(log.Flush(std::chrono::milliseconds(50)));
    gate.unlock();
    ASSERT_TRUE(log.Flush(std::chrono::seconds(60)));
    log.Log("after");
    ASSERT_TRUE(log.Flush(std::chrono::seconds(60)));
  }
  EXPECT_LE(lines.size(), 2 * EventLog::kMaxQueuedLines + 3);
  bool said = false;
  for (const std::string& line : lines) said = said || line.find("log lines dropped") != std::string::npos;
  EXPECT_TRUE(said);
  EXPECT_NE(lines.back().find("after"), std::string::npos);
}

TEST(EventLog, AFileThatCannotBeOpenedIsSaid) {
  EventLog log([](const std::string&) {});
  std::string error;
  EXPECT_FALSE(log.OpenFile("/nonexistent-folder/x.log", error));
  EXPECT_NE(error.find("/nonexistent-folder/x.log"), std::string::npos);
}

// What the tick records for the log: kept in place, oldest first; a full
// ring drops and counts, and is whole again once drained.
TEST(FixedRing, KeepsOrderAcrossTheWrapAndCountsWhatItDrops) {
  FixedRing<int, 4> ring;
  std::vector<int> taken;
  const auto take = [&taken](int record) { taken.push_back(record); };
  for (int round = 0; round < 3; ++round) {  // the start moves round the ring
    for (int k = 0; k < 3; ++k) EXPECT_TRUE(ring.Push(10 * round + k));
    ring.Drain(take);
  }
  EXPECT_EQ(taken, (std::vector<int>{0, 1, 2, 10, 11, 12, 20, 21, 22}));
  EXPECT_EQ(ring.TakeDropped(), 0U);
  taken.clear();
  for (int k = 0; k < 7; ++k) ring.Push(k);
  EXPECT_EQ(ring.Size(), 4U);
  EXPECT_EQ(ring.TakeDropped(), 3U);
  EXPECT_EQ(ring.TakeDropped(), 0U);
  ring.Drain(take);
  EXPECT_EQ(taken, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_TRUE(ring.Empty());
  EXPECT_TRUE(ring.Push(9));
}

TEST(EventLog, ALineKeepsTheTimeItWasRecordedAt) {
  std::vector<std::string> lines;
  {
    EventLog log([&lines](const std::string& line) { lines.push_back(line); });
    log.Log("fault: axis X reports an error", std::chrono::system_clock::time_point(std::chrono::milliseconds(1234)));
    ASSERT_TRUE(log.Flush());
  }
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(lines[0], "stage-console: 1970-01-01T00:00:01.234Z fault: axis X reports an error\n");
}

}  // namespace
}  // namespace stage::control
