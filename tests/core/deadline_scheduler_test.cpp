// Why: the polling rate rests on this arithmetic. A late tick must not drag
// the later ones with it, an overrun must cost a counted tick rather than a
// second one straight after, and over hours the count of ticks must be the
// elapsed time over the period, exactly.
#include "stage/tick/deadline_scheduler.h"

#include <gtest/gtest.h>

#include <random>

namespace stage::tick {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using TimePoint = DeadlineScheduler::TimePoint;

constexpr milliseconds kPeriod{10};
constexpr milliseconds kLateAfter{1};

// A scheduler started at an arbitrary time, with a hand-moved clock.
class DeadlineSchedulerTest : public ::testing::Test {
 protected:
  DeadlineSchedulerTest() { scheduler.Start(start); }
  TimePoint At(microseconds since_start) const { return start + since_start; }

  const TimePoint start = TimePoint{} + std::chrono::hours(5);
  DeadlineScheduler scheduler{kPeriod, kLateAfter};
};

TEST_F(DeadlineSchedulerTest, AnEarlyWakeRunsNothingAndSaysHowLongToWait) {
  EXPECT_FALSE(scheduler.Due(At(microseconds(9'400))));
  EXPECT_EQ(scheduler.TimeToDeadline(At(microseconds(9'400))), microseconds(600));
  EXPECT_EQ(scheduler.Ticks(), 0U);
  EXPECT_TRUE(scheduler.Due(At(microseconds(10'000))));
  EXPECT_EQ(scheduler.NextDeadline(), At(microseconds(20'000)));
}

TEST_F(DeadlineSchedulerTest, ALateTickDoesNotShiftTheOnesAfterIt) {
  ASSERT_TRUE(scheduler.Due(At(microseconds(13'000))));  // 3 ms late
  scheduler.Finished(At(microseconds(14'000)));
  EXPECT_EQ(scheduler.NextDeadline(), At(microseconds(20'000)));
  EXPECT_EQ(scheduler.TimeToDeadline(At(microseconds(14'000))), microseconds(6'000));
  ASSERT_TRUE(scheduler.Due(At(microseconds(20'050))));
  scheduler.Finished(At(microseconds(20'500)));
  EXPECT_EQ(scheduler.NextDeadline(), At(microseconds(30'000)));
  EXPECT_EQ(scheduler.Ticks(), 2U);
  EXPECT_EQ(scheduler.Late(), 1U);
  EXPECT_EQ(scheduler.Skipped(), 0U);
}

TEST_F(DeadlineSchedulerTest, AnOverrunSkipsTheDeadlinesItRanPastAndCountsThem) {
  ASSERT_TRUE(scheduler.Due(At(microseconds(10'000))));
  scheduler.Finished(At(microseconds(35'000)));  // ran past 20 and 30 ms
  EXPECT_EQ(scheduler.Skipped(), 2U);
  // Nothing runs straight after the overrun: the next tick waits for 40 ms.
  EXPECT_FALSE(scheduler.Due(At(microseconds(35'001))));
  EXPECT_EQ(scheduler.NextDeadline(), At(microseconds(40'000)));
  EXPECT_TRUE(scheduler.Due(At(microseconds(40'000))));
  EXPECT_EQ(scheduler.Ticks(), 2U);
}

TEST_F(DeadlineSchedulerTest, ATickEndingExactlyOnTheNextDeadlineSkipsIt) {
  ASSERT_TRUE(scheduler.Due(At(microseconds(10'000))));
  scheduler.Finished(At(microseconds(20'000)));
  EXPECT_EQ(scheduler.Skipped(), 1U);
  EXPECT_EQ(scheduler.NextDeadline(), At(microseconds(30'000)));
}

TEST_F(DeadlineSchedulerTest, AWakeHeldUpPastSeveralDeadlinesRunsOnceForTheLatest) {
  ASSERT_TRUE(scheduler.Due(At(microseconds(42'000))));  // 10, 20, 30 and 40 ms passed
  EXPECT_EQ(scheduler.Ticks(), 1U);
  EXPECT_EQ(scheduler.Skipped(), 3U);
  EXPECT_EQ(scheduler.Late(), 1U);
  EXPECT_EQ(scheduler.NextDeadline(), At(microseconds(50'000)));
  scheduler.Finished(At(microseconds(42'500)));
  EXPECT_FALSE(scheduler.Due(At(microseconds(42'600))));
}

TEST_F(DeadlineSchedulerTest, StartingAgainForgetsTheCounts) {
  ASSERT_TRUE(scheduler.Due(At(microseconds(42'000))));
  scheduler.Start(At(microseconds(50'000)));
  EXPECT_EQ(scheduler.Ticks(), 0U);
  EXPECT_EQ(scheduler.Skipped(), 0U);
  EXPECT_EQ(scheduler.Late(), 0U);
  EXPECT_EQ(scheduler.NextDeadline(), At(microseconds(60'000)));
}

// An hour of ticks whose wakes come up to 1.5 ms early or 2.5 ms late and
// which take up to 6 ms: every deadline gets exactly one tick and the last
// deadline is start + n × period, to the nanosecond.
TEST_F(DeadlineSchedulerTest, AnHourOfJitteryWakesRunsOneTickPerDeadlineWithoutDrift) {
  constexpr std::uint64_t kDeadlines = 360'000;
  std::mt19937 random(13);
  std::uniform_int_distribution<int> wake_us(-1'500, 2'500);
  std::uniform_int_distribution<int> work_us(0, 6'000);
  std::uint64_t early_wakes = 0;
  while (scheduler.Ticks() < kDeadlines) {
    TimePoint now = scheduler.NextDeadline() + microseconds(wake_us(random));
    if (!scheduler.Due(now)) {
      ++early_wakes;
      now += scheduler.TimeToDeadline(now);
      ASSERT_TRUE(scheduler.Due(now));
    }
    scheduler.Finished(now + microseconds(work_us(random)));
  }
  EXPECT_EQ(scheduler.Skipped(), 0U);
  EXPECT_GT(early_wakes, 0U);
  EXPECT_GT(scheduler.Late(), 0U);
  EXPECT_EQ(scheduler.NextDeadline(), start + kPeriod * static_cast<std::int64_t>(kDeadlines + 1));
}

}  // namespace
}  // namespace stage::tick
