// A step test: the same move repeated on one axis, one way or back and forth,
// with a dwell between moves, so that the figures of many moves can be
// compared and their spread seen. The sequence is planned whole before the
// first move (every target checked against the travel limits: a test that
// would leave them is refused, never shortened), then driven by what the
// axis does: the next move is commanded only when the previous one has
// ended settled or not settled and the dwell is over. STOP, ZERO, the servo
// going off, a fault, a move the test did not command, or a move the console
// refuses end the test at once; nothing is commanded after that.
//
// Plain logic: the caller commands the moves (through the console, as the
// operator's GO) and reports the time, the interruptions and the moves the
// recorder saw end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "stage/axis/travel_limits.h"
#include "stage/scope/scope_recorder.h"
#include "stage/scope/step_response.h"

namespace stage::scope {

struct StepTestPlan {
  double distance_counts = 0;  // signed: the direction of the first move
  std::int64_t dwell_us = 500'000;  // from the end of one move to the command of the next
  int moves = 2;                    // each move is a row of its own
  bool back_and_forth = true;       // false: every move goes on the same way
};

inline constexpr int kMostStepTestMoves = 1000;
// A commanded move that the recorder has not seen start by then was not made.
inline constexpr std::int64_t kStepTestStartBoundUs = 1'000'000;

// Where each move ends, from the position at the start: back and forth
// alternates between start + distance and start; one way steps on by the
// distance each time.
std::vector<double> StepTestTargets(const StepTestPlan& plan, double start_counts);

// Empty when the plan can run from `start_counts`; otherwise why not, in one
// line (the travel-limit check's own text for the first move that would
// leave the limits).
std::string CheckStepTest(const StepTestPlan& plan, double start_counts, const TravelLimits& limits,
                          const AxisUnits& units);

// One move of the test as the recorder judged it.
struct StepTestRow {
  int move = 0;  // 0-based
  double target_counts = 0;
  StepFigures figures;
};

class StepTest {
 public:
  enum class State : std::uint8_t { kIdle, kDwelling, kCommanded, kFinished, kAborted };

  // What the caller must do after a poll.
  struct Action {
    enum class Kind : std::uint8_t { kNone, kMove, kFinished, kAborted };
    Kind kind = Kind::kNone;
    int move = 0;              // kMove: which
    double target_counts = 0;  // kMove: where to (an absolute target)
  };

  // Starts the test from `start_counts` (the axis at rest there), the first
  // move due at once. Returns the refusal (the test stays as it was) or "".
  // `interruptions` are the recorder's counts now: any later increase ends
  // the test.
  std::string Start(const StepTestPlan& plan, double start_counts, const TravelLimits& limits, const AxisUnits& units,
                    std::int64_t now_us, const ScopeRecorder::Interruptions& interruptions);

  // A move of the axis ended (every move the recorder finishes, in order).
  void MoveEnded(const StepFigures& figures);
  // Called often (every poll of the console): ends the test on an
  // interruption or a move it did not command, says when to command the
  // next move, and tells the end (finished or aborted) once.
  Action Poll(std::int64_t now_us, const ScopeRecorder::Interruptions& interruptions, bool moving);
  // The console refused the commanded move: the test ends with its text.
  void Refused(const std::string& refusal);
  // Ended from outside (the Stop button, the Scope closed). True when a move
  // of the test may still be going, so that the caller stops the axis.
  bool Abort(const std::string& reason);

  State Status() const { return state_; }
  bool Running() const { return state_ == State::kDwelling || state_ == State::kCommanded; }
  const StepTestPlan& Plan() const { return plan_; }
  double StartCounts() const { return start_counts_; }
  const std::vector<StepTestRow>& Rows() const { return rows_; }
  // Why the test ended early (empty while running or when finished).
  const std::string& Reason() const { return reason_; }
  // The move commanded or due next.
  int NextMove() const { return next_; }

 private:
  void End(const std::string& reason);

  State state_ = State::kIdle;
  StepTestPlan plan_;
  double start_counts_ = 0;
  std::vector<double> targets_;
  std::vector<StepTestRow> rows_;
  std::string reason_;
  int next_ = 0;
  std::int64_t started_us_ = 0;
  std::int64_t due_us_ = 0;        // kDwelling: when the next move is commanded
  std::int64_t commanded_us_ = 0;  // kCommanded: when it was
  bool seen_moving_ = false;       // kCommanded: the recorder has the move in progress
  bool end_told_ = false;
  ScopeRecorder::Interruptions interruptions_;
};

// Mean and spread (sample standard deviation; 0 for one value) of one figure
// over the moves that have it.
struct FigureStats {
  int count = 0;
  double mean = 0;
  double spread = 0;
};

// The statistics of a test's moves, all of them or only those of one
// direction (+1: the direction of the distance, -1: back).
struct StepTestSummary {
  int moves = 0;
  FigureStats rise_us;
  FigureStats overshoot_percent;
  FigureStats overshoot_counts;
  FigureStats settling_us;
  FigureStats steady_state_counts;
  FigureStats peak_following_counts;  // of the size, in the move's direction
};
StepTestSummary Summarize(const std::vector<StepTestRow>& rows, int direction = 0);

// A move's trace for an overlay: time from its command and the position
// from where it started, both signed so that the step goes upwards.
struct TracePoint {
  double time_us = 0;
  double progress_counts = 0;   // (position - start) in the step's direction
  double following_counts = 0;  // (position - ideal) in the step's direction
};
// The samples from `pre_us` before the move's command to its end (and
// `post_us` after), out of the recorder's ring.
std::vector<TracePoint> MoveTrace(const Ring<ScopeSample>& samples, const StepFigures& figures, std::int64_t pre_us,
                                  std::int64_t post_us = 0);

}  // namespace stage::scope
