#include "stage/scope/loop_figures.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace stage::scope {

void ProfilePhases::Start(std::int64_t time_us, std::int32_t ideal_position, int direction) {
  count_ = 0;
  samples_per_stretch_ = 1;
  last_time_us_ = time_us;
  last_ideal_ = ideal_position;
  direction_ = direction;
}

void ProfilePhases::Merge(Stretch& into, const Stretch& from) {
  into.duration_us += from.duration_us;
  into.travel_counts += from.travel_counts;
  into.samples += from.samples;
  into.square_sum += from.square_sum;
  if (std::llabs(from.peak) > std::llabs(into.peak)) into.peak = from.peak;
}

void ProfilePhases::Add(std::int64_t time_us, std::int32_t ideal_position, std::int32_t following_counts) {
  if (count_ == 0 || stretches_[count_ - 1].samples >= samples_per_stretch_) {
    if (count_ == kStretches) {
      // Every stretch full: neighbours become one, and each takes twice the samples.
      for (std::size_t k = 0; k < kStretches / 2; ++k) {
        Stretch joined = stretches_[2 * k];
        Merge(joined, stretches_[2 * k + 1]);
        stretches_[k] = joined;
      }
      count_ = kStretches / 2;
      samples_per_stretch_ *= 2;
    }
    if (count_ == 0 || stretches_[count_ - 1].samples >= samples_per_stretch_) stretches_[count_++] = Stretch{};
  }
  Stretch sample;
  sample.duration_us = time_us - last_time_us_;
  sample.travel_counts = (std::int64_t{ideal_position} - last_ideal_) * direction_;
  sample.samples = 1;
  sample.square_sum = static_cast<double>(following_counts) * following_counts;
  sample.peak = following_counts;
  Merge(stretches_[count_ - 1], sample);
  last_time_us_ = time_us;
  last_ideal_ = ideal_position;
}

void ProfilePhases::Classify(LoopFigures& figures) const {
  figures.accelerating.reset();
  figures.cruising.reset();
  figures.braking.reset();
  auto speed = [](const Stretch& s) {
    return s.duration_us > 0 ? static_cast<double>(s.travel_counts) / static_cast<double>(s.duration_us) : 0.0;
  };
  double top = 0;
  for (std::size_t k = 0; k < count_; ++k) top = std::max(top, speed(stretches_[k]));
  if (direction_ == 0 || top <= 0) return;
  auto at_top = [&](const Stretch& s) {
    return s.duration_us > 0 &&
           static_cast<double>(s.travel_counts) >= kTopSpeedShare * top * static_cast<double>(s.duration_us) -
                                                       kReadingCounts;
  };
  std::size_t first = count_;
  std::size_t last = 0;
  for (std::size_t k = 0; k < count_; ++k) {
    if (!at_top(stretches_[k])) continue;
    first = std::min(first, k);
    last = k;
  }
  auto phase = [this](std::size_t from, std::size_t to) -> std::optional<PhaseError> {
    if (from >= to) return std::nullopt;
    Stretch all = stretches_[from];
    for (std::size_t k = from + 1; k < to; ++k) Merge(all, stretches_[k]);
    return PhaseError{all.samples, all.peak, std::sqrt(all.square_sum / static_cast<double>(all.samples))};
  };
  figures.accelerating = phase(0, first);
  figures.cruising = phase(first, last + 1);
  figures.braking = phase(last + 1, count_);
}

}  // namespace stage::scope
