// What the Scope shows, recorded from the exchanges as they happen: per axis
// a ring of the latest replies (time, actual and ideal position, flags) and
// the step-response figures of its latest moves. Everything is allocated
// when the recorder is made; an exchange only writes into the rings.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "stage/scope/step_response.h"
#include "stage/poll/poll_exchange.h"

namespace stage::scope {

// Monotonic time for the exchanges: the steady clock in the program, the
// simulator's manual clock in tests.
using ExchangeClock = std::function<std::chrono::nanoseconds()>;
ExchangeClock SteadyExchangeClock();

// A fixed-capacity ring: the newest `capacity` values, oldest first.
template <typename T>
class Ring {
 public:
  explicit Ring(std::size_t capacity) : values_(capacity) {}

  void Push(const T& value) {
    values_[next_] = value;
    next_ = next_ + 1 == values_.size() ? 0 : next_ + 1;
    if (size_ < values_.size()) ++size_;
    ++pushed_;
  }
  std::size_t Size() const { return size_; }
  // Every value pushed since the ring was made, cleared or not: how many are
  // new since an earlier count, as far as the ring still holds them.
  std::uint64_t Pushed() const { return pushed_; }
  std::size_t Capacity() const { return values_.size(); }
  // i = 0 is the oldest value kept.
  const T& operator[](std::size_t i) const {
    const std::size_t first = size_ < values_.size() ? 0 : next_;
    const std::size_t k = first + i;
    return values_[k < values_.size() ? k : k - values_.size()];
  }
  const T& Newest() const { return (*this)[size_ - 1]; }
  void Clear() {
    size_ = 0;
    next_ = 0;
  }

 private:
  std::vector<T> values_;
  std::size_t next_ = 0;
  std::size_t size_ = 0;
  std::uint64_t pushed_ = 0;
};

struct ScopeSample {
  std::int64_t time_us = 0;  // since the first exchange
  std::int32_t position = 0;
  std::int32_t ideal_position = 0;
  std::uint8_t flags = 0;
};

class ScopeRecorder final : public poll::ExchangeObserver {
 public:
  // 60 s at the 10 ms polling period, with room to spare.
  static constexpr std::size_t kSamplesPerAxis = 8192;
  static constexpr std::size_t kMovesPerAxis = 8;

  ScopeRecorder(std::size_t axis_count, ExchangeClock clock, StepSettings settings = {});

  void OnExchange(AxisIndex axis, const usb::Packet& command, const usb::Packet& reply,
                  const poll::ExchangeResult& result) override;

  std::size_t AxisCount() const { return samples_.size(); }
  const Ring<ScopeSample>& Samples(std::size_t axis) const { return samples_[axis]; }
  // Finished moves, oldest first.
  const Ring<StepFigures>& Moves(std::size_t axis) const { return moves_[axis]; }
  std::optional<StepFigures> MoveInProgress(std::size_t axis) const { return trackers_[axis].Current(); }
  bool Moving(std::size_t axis) const { return trackers_[axis].Moving(); }
  // The tuning values last sent to the axis, once both frames have gone out.
  std::optional<usb::TuningValues> SentGains(std::size_t axis) const {
    return gains_[axis].frames == kBothFrames ? std::optional<usb::TuningValues>(gains_[axis].values) : std::nullopt;
  }

  // Applies from each axis's next move on.
  void SetStepSettings(const StepSettings& settings);
  const StepSettings& Settings() const { return settings_; }

  // What can cut a step test short, counted per axis from the first
  // exchange: packets that went out with STOP or ZERO set or the servo off,
  // and replies that reported a fault.
  struct Interruptions {
    std::uint64_t cuts = 0;
    std::uint64_t faults = 0;
  };
  const Interruptions& InterruptionsOf(std::size_t axis) const { return interruptions_[axis]; }

  // Counts every reply recorded and every move finished: unchanged means
  // nothing new to draw.
  std::uint64_t SampleCount() const { return sample_count_; }
  std::uint64_t MoveCount() const { return move_count_; }
  // Time of the latest reply, since the first exchange.
  std::int64_t LatestTimeUs() const { return latest_time_us_; }
  // The time now on the same scale (0 before the first exchange).
  std::int64_t NowUs() const {
    return origin_ ? std::chrono::duration_cast<std::chrono::microseconds>(clock_() - *origin_).count() : 0;
  }

 private:
  ExchangeClock clock_;
  StepSettings settings_;
  std::vector<Ring<ScopeSample>> samples_;
  std::vector<Ring<StepFigures>> moves_;
  std::vector<StepTracker> trackers_;
  struct Gains {
    usb::TuningValues values;
    std::uint8_t frames = 0;  // 1: frame 144 seen, 2: frame 96 seen
  };
  static constexpr std::uint8_t kBothFrames = 3;
  std::vector<Gains> gains_;
  std::vector<Interruptions> interruptions_;
  std::optional<std::chrono::nanoseconds> origin_;
  std::uint64_t sample_count_ = 0;
  std::uint64_t move_count_ = 0;
  std::int64_t latest_time_us_ = 0;
};

// Hands every exchange to each of several observers, in the order added.
class ExchangeFanOut final : public poll::ExchangeObserver {
 public:
  void Add(poll::ExchangeObserver& observer) { observers_.push_back(&observer); }
  void OnExchange(AxisIndex axis, const usb::Packet& command, const usb::Packet& reply,
                  const poll::ExchangeResult& result) override {
    for (poll::ExchangeObserver* observer : observers_) observer->OnExchange(axis, command, reply, result);
  }
  void OnTickFailed() override {
    for (poll::ExchangeObserver* observer : observers_) observer->OnTickFailed();
  }

 private:
  std::vector<poll::ExchangeObserver*> observers_;
};

}  // namespace stage::scope
