// Time as the simulated controllers see it: the wall clock in the program, a
// manual clock in tests so that every run is deterministic.
#pragma once

#include <chrono>

namespace stage::sim {

using Nanoseconds = std::chrono::nanoseconds;

class SimClock {
 public:
  virtual ~SimClock() = default;
  virtual Nanoseconds Now() = 0;
  // A blocking wait, such as a read that waits for its time-out.
  virtual void SleepFor(Nanoseconds duration) = 0;
};

class SteadyClock final : public SimClock {
 public:
  Nanoseconds Now() override;
  void SleepFor(Nanoseconds duration) override;
};

// Advances only when told to; SleepFor advances it instantly.
class ManualClock final : public SimClock {
 public:
  Nanoseconds Now() override { return now_; }
  void SleepFor(Nanoseconds duration) override { now_ += duration; }
  void Advance(Nanoseconds duration) { now_ += duration; }

 private:
  Nanoseconds now_{0};
};

}  // namespace stage::sim
