// Ticks against absolute deadlines: the k-th tick is due at start + k × period.
// A tick that comes late does not move the ones after it, and a deadline that
// passes while a tick is still running (an overrun) is skipped and counted,
// never made up by a second tick straight after the first.
//
// Plain arithmetic on time points handed in by the caller, so a test drives
// it with any clock it likes; the window's timer hands in steady_clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace stage::tick {

class DeadlineScheduler {
 public:
  using Duration = std::chrono::nanoseconds;
  using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

  // `late_after`: how far past its deadline a tick may start and still count
  // as on time.
  DeadlineScheduler(Duration period, Duration late_after);

  // The first tick is due one period after `now`. Forgets the counts.
  void Start(TimePoint now);

  // The timer went off at `now`. True when a deadline has come: the caller
  // runs one tick now. If more than one deadline has passed since the last
  // tick (the process was held up), the tick stands for the latest and the
  // earlier ones count as skipped. False when `now` is before the deadline
  // (the caller waits TimeToDeadline more).
  bool Due(TimePoint now);

  // The tick that Due allowed has ended at `now`: any deadline it ran past is
  // skipped and counted, so the next tick is due at the first deadline still
  // ahead.
  void Finished(TimePoint now);

  TimePoint NextDeadline() const { return next_; }
  // Time from `now` to the next deadline; zero once it has passed.
  Duration TimeToDeadline(TimePoint now) const { return now >= next_ ? Duration::zero() : next_ - now; }
  Duration Period() const { return period_; }

  std::uint64_t Ticks() const { return ticks_; }      // ticks run
  std::uint64_t Late() const { return late_; }        // run more than late_after past their deadline
  std::uint64_t Skipped() const { return skipped_; }  // deadlines with no tick of their own

 private:
  // Deadlines at or before `now` from next_ on, as a count.
  std::uint64_t PassedSince(TimePoint now) const;

  Duration period_;
  Duration late_after_;
  TimePoint next_{};
  std::uint64_t ticks_ = 0;
  std::uint64_t late_ = 0;
  std::uint64_t skipped_ = 0;
};

}  // namespace stage::tick
