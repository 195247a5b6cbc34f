// Figures of a move that answer to the loop's gains rather than to the
// profile alone: how long the axis takes to come into position once the
// ideal position has reached the target, and the following error (actual -
// ideal) while the profile accelerates, cruises and brakes.
//
// The phases come from the ideal position's own speed: cruising is from the
// first to the last stretch of the profile at its top speed (within 5 %, and
// the two counts a pair of whole-count readings may be off by); accelerating
// is before it, braking after it until the ideal position reaches the
// target. A profile too short to reach a steady speed (a triangle) cruises
// only at its peak. The samples of a move are kept in a fixed number of
// stretches: up to kStretches samples the phases are told apart sample by
// sample, a longer move to 2, 4, ... samples. Nothing is allocated per move.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace stage::scope {

// The following error over one phase of the profile.
struct PhaseError {
  std::int64_t samples = 0;
  std::int32_t peak_counts = 0;  // actual - ideal of largest size, with its sign
  double rms_counts = 0;         // root mean square

  friend bool operator==(const PhaseError&, const PhaseError&) = default;
};

struct LoopFigures {
  // From the sample where the ideal position reached the target to the first
  // sample of the last stay inside the band (0 when the axis was in position
  // by then); empty unless the move settled.
  std::optional<std::int64_t> in_position_us;
  // Empty when the profile had no sample in that phase (a stopped move has no
  // braking, a move that never moved has no phase at all).
  std::optional<PhaseError> accelerating;
  std::optional<PhaseError> cruising;
  std::optional<PhaseError> braking;
};

// The profile of one move, sample by sample, until the ideal position
// reaches the target.
class ProfilePhases {
 public:
  static constexpr std::size_t kStretches = 512;
  // Within this share of the top speed...
  static constexpr double kTopSpeedShare = 0.95;
  // ...less this many counts over the stretch, a stretch runs at top speed.
  static constexpr double kReadingCounts = 2;

  // A new move: the ideal position read last before it, and the direction of
  // the step (+1, -1; 0 for none: no phases then).
  void Start(std::int64_t time_us, std::int32_t ideal_position, int direction);
  // The next reply of the profile.
  void Add(std::int64_t time_us, std::int32_t ideal_position, std::int32_t following_counts);
  // Fills the three phases of `figures`.
  void Classify(LoopFigures& figures) const;

 private:
  struct Stretch {
    std::int64_t duration_us = 0;
    std::int64_t travel_counts = 0;  // of the ideal position, in the step's direction
    std::int64_t samples = 0;
    double square_sum = 0;
    std::int32_t peak = 0;
  };
  static void Merge(Stretch& into, const Stretch& from);

  std::array<Stretch, kStretches> stretches_{};
  std::size_t count_ = 0;
  std::int64_t samples_per_stretch_ = 1;
  std::int64_t last_time_us_ = 0;
  std::int32_t last_ideal_ = 0;
  int direction_ = 0;
};

}  // namespace stage::scope
