#include "stage/scope/step_test.h"

#include <cmath>
#include <cstdlib>

#include "stage/axis/number_text.h"
#include "stage/usb/packet_codec.h"

namespace stage::scope {

std::vector<double> StepTestTargets(const StepTestPlan& plan, double start_counts) {
  std::vector<double> targets;
  if (plan.moves <= 0 || plan.moves > kMostStepTestMoves) return targets;
  targets.reserve(static_cast<std::size_t>(plan.moves));
  for (int k = 0; k < plan.moves; ++k) {
    targets.push_back(plan.back_and_forth ? (k % 2 == 0 ? start_counts + plan.distance_counts : start_counts)
                                          : start_counts + plan.distance_counts * (k + 1));
  }
  return targets;
}

std::string CheckStepTest(const StepTestPlan& plan, double start_counts, const TravelLimits& limits,
                          const AxisUnits& units) {
  if (plan.moves <= 0 || plan.moves > kMostStepTestMoves) {
    return "A step test makes 1 to " + std::to_string(kMostStepTestMoves) + " moves.";
  }
  if (!std::isfinite(plan.distance_counts) || std::abs(plan.distance_counts) < 1) {
    return "The step test's distance is less than one count.";
  }
  if (plan.dwell_us < 0) return "The step test's dwell is negative.";
  const std::vector<double> targets = StepTestTargets(plan, start_counts);
  for (std::size_t k = 0; k < targets.size(); ++k) {
    const std::string move = "Move " + std::to_string(k + 1) + " of the step test: ";
    if (!usb::IsEncodableTarget(targets[k])) {
      return move + "target " + FormatFixed2(targets[k] / units.counts_per_micron) + std::string(units.unit_suffix) +
             " is beyond what the controller accepts.";
    }
    const LimitVerdict verdict = CheckTravelLimits(limits, MoveRequest{MoveKind::kAbsolute, targets[k], 0}, units);
    if (!verdict.accepted) return move + verdict.refusal;
  }
  return {};
}

std::string StepTest::Start(const StepTestPlan& plan, double start_counts, const TravelLimits& limits,
                            const AxisUnits& units, std::int64_t now_us,
                            const ScopeRecorder::Interruptions& interruptions) {
  if (Running()) return "A step test is already running.";
  std::string refusal = CheckStepTest(plan, start_counts, limits, units);
  if (!refusal.empty()) return refusal;
  plan_ = plan;
  start_counts_ = start_counts;
  targets_ = StepTestTargets(plan, start_counts);
  rows_.clear();
  rows_.reserve(targets_.size());
  reason_.clear();
  next_ = 0;
  started_us_ = now_us;
  due_us_ = now_us;
  seen_moving_ = false;
  end_told_ = false;
  interruptions_ = interruptions;
  state_ = State::kDwelling;
  return {};
}

void StepTest::End(const std::string& reason) {
  state_ = State::kAborted;
  reason_ = reason;
}

void StepTest::MoveEnded(const StepFigures& figures) {
  // Moves that began before the test, or before the command (the move the
  // command replaced), are none of its business.
  if (!Running() || figures.start_us < started_us_) return;
  if (state_ == State::kDwelling) {
    End("Another move was made on the axis.");
    return;
  }
  if (figures.start_us < commanded_us_) return;
  rows_.push_back({next_, targets_[static_cast<std::size_t>(next_)], figures});
  switch (figures.end) {
    case StepFigures::End::kSettled:
    case StepFigures::End::kNotSettled:
      break;
    case StepFigures::End::kStopped:
      End("Stopped (STOP, Esc, ZERO or the servo off).");
      return;
    case StepFigures::End::kFault:
      End("The controller reported a fault.");
      return;
    case StepFigures::End::kReplaced:
    case StepFigures::End::kMoving:
      End("Another move was made on the axis.");
      return;
  }
  ++next_;
  if (next_ == plan_.moves) {
    state_ = State::kFinished;
    return;
  }
  state_ = State::kDwelling;
  due_us_ = figures.end_us + plan_.dwell_us;
  seen_moving_ = false;
}

StepTest::Action StepTest::Poll(std::int64_t now_us, const ScopeRecorder::Interruptions& interruptions, bool moving) {
  if (Running()) {
    if (interruptions.faults != interruptions_.faults) {
      End("The controller reported a fault.");
    } else if (interruptions.cuts != interruptions_.cuts) {
      End("Stopped (STOP, Esc, ZERO or the servo off).");
    } else if (state_ == State::kDwelling) {
      if (moving) {
        End("Another move was made on the axis.");
      } else if (now_us >= due_us_) {
        state_ = State::kCommanded;
        commanded_us_ = now_us;
        seen_moving_ = false;
        return {Action::Kind::kMove, next_, targets_[static_cast<std::size_t>(next_)]};
      }
    } else if (moving) {
      seen_moving_ = true;
    } else if (!seen_moving_ && now_us - commanded_us_ > kStepTestStartBoundUs) {
      End("The controller started no move.");
    }
  }
  // The end, however it came, is told once.
  if ((state_ == State::kFinished || state_ == State::kAborted) && !end_told_) {
    end_told_ = true;
    return {state_ == State::kFinished ? Action::Kind::kFinished : Action::Kind::kAborted, next_, 0};
  }
  return {};
}

void StepTest::Refused(const std::string& refusal) {
  if (Running()) End(refusal);
}

bool StepTest::Abort(const std::string& reason) {
  if (!Running()) return false;
  const bool commanded = state_ == State::kCommanded;
  End(reason);
  return commanded;
}

namespace {

class Accumulator {
 public:
  void Add(double value) {
    ++count_;
    sum_ += value;
    sum_squares_ += value * value;
  }
  FigureStats Stats() const {
    FigureStats stats;
    stats.count = count_;
    if (count_ == 0) return stats;
    stats.mean = sum_ / count_;
    if (count_ > 1) {
      const double variance = (sum_squares_ - sum_ * sum_ / count_) / (count_ - 1);
      stats.spread = variance > 0 ? std::sqrt(variance) : 0;
    }
    return stats;
  }

 private:
  int count_ = 0;
  double sum_ = 0;
  double sum_squares_ = 0;
};

}  // namespace

StepTestSummary Summarize(const std::vector<StepTestRow>& rows, int direction) {
  Accumulator rise, overshoot_percent, overshoot, settling, steady, following;
  StepTestSummary summary;
  for (const StepTestRow& row : rows) {
    const StepFigures& f = row.figures;
    const double step = static_cast<double>(f.target_counts) - f.start_counts;
    if (direction != 0 && (step == 0 || (step > 0) != (direction > 0))) continue;
    ++summary.moves;
    if (f.rise_time_us) rise.Add(*f.rise_time_us);
    if (f.overshoot_percent) overshoot_percent.Add(*f.overshoot_percent);
    overshoot.Add(f.overshoot_counts);
    if (f.settling_time_us) settling.Add(static_cast<double>(*f.settling_time_us));
    if (f.steady_state_error_counts) steady.Add(*f.steady_state_error_counts);
    following.Add(std::abs(static_cast<double>(f.peak_following_error_counts)));
  }
  summary.rise_us = rise.Stats();
  summary.overshoot_percent = overshoot_percent.Stats();
  summary.overshoot_counts = overshoot.Stats();
  summary.settling_us = settling.Stats();
  summary.steady_state_counts = steady.Stats();
  summary.peak_following_counts = following.Stats();
  return summary;
}

std::vector<TracePoint> MoveTrace(const Ring<ScopeSample>& samples, const StepFigures& figures, std::int64_t pre_us,
                                  std::int64_t post_us) {
  std::vector<TracePoint> trace;
  const double sign = figures.target_counts >= figures.start_counts ? 1 : -1;
  const std::int64_t from_us = figures.start_us - pre_us;
  const std::int64_t to_us = figures.end_us + post_us;
  // The ring is in time order: the first sample in the span by halving.
  std::size_t low = 0;
  std::size_t high = samples.Size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (samples[mid].time_us < from_us) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  for (std::size_t k = low; k < samples.Size() && samples[k].time_us <= to_us; ++k) {
    const ScopeSample& s = samples[k];
    trace.push_back({static_cast<double>(s.time_us - figures.start_us),
                     (static_cast<double>(s.position) - figures.start_counts) * sign,
                     (static_cast<double>(s.position) - s.ideal_position) * sign});
  }
  return trace;
}

}  // namespace stage::scope
