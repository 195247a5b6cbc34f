#include "stage/tick/deadline_scheduler.h"

namespace stage::tick {

DeadlineScheduler::DeadlineScheduler(Duration period, Duration late_after)
    : period_(period > Duration::zero() ? period : Duration{1}), late_after_(late_after) {}

void DeadlineScheduler::Start(TimePoint now) {
  next_ = now + period_;
  ticks_ = 0;
  late_ = 0;
  skipped_ = 0;
}

std::uint64_t DeadlineScheduler::PassedSince(TimePoint now) const {
  if (now < next_) return 0;
  return static_cast<std::uint64_t>((now - next_) / period_) + 1;
}

bool DeadlineScheduler::Due(TimePoint now) {
  const std::uint64_t passed = PassedSince(now);
  if (passed == 0) return false;
  // The tick runs for the latest deadline that has passed.
  skipped_ += passed - 1;
  const TimePoint deadline = next_ + period_ * static_cast<std::int64_t>(passed - 1);
  if (now - deadline > late_after_) ++late_;
  ++ticks_;
  next_ = deadline + period_;
  return true;
}

void DeadlineScheduler::Finished(TimePoint now) {
  const std::uint64_t overrun = PassedSince(now);
  skipped_ += overrun;
  next_ += period_ * static_cast<std::int64_t>(overrun);
}

}  // namespace stage::tick
