// A run saved from the Scope: per axis its traces, the figures of its moves
// and the gains it ran with, as one JSON document (docs/runs.md). Reading
// takes an untrusted file: its size, nesting, counts and every value are
// checked, and a file with anything wrong yields no run at all and a message
// naming the first fault.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stage/scope/scope_recorder.h"
#include "stage/scope/step_response.h"
#include "stage/usb/packet_codec.h"

namespace stage::scope {

struct RunAxis {
  std::int64_t axis = 0;            // index in the console that saved it
  std::string name;                 // as the Scope names it
  std::string unit;                 // "um", "En", ...
  double counts_per_unit = 1;       // > 0
  std::optional<usb::TuningValues> gains;  // as last sent to the controller
  std::vector<ScopeSample> samples;        // times only grow
  std::vector<StepFigures> moves;          // oldest first
};

struct Run {
  std::string saved_utc;  // ISO 8601, informative
  std::vector<RunAxis> axes;
};

// The bounds a file must keep.
inline constexpr std::size_t kMostRunFileBytes = 64u << 20;
inline constexpr std::size_t kMostRunAxes = 64;
inline constexpr std::size_t kMostRunSamples = ScopeRecorder::kSamplesPerAxis;
inline constexpr std::size_t kMostRunMoves = 64;
inline constexpr std::size_t kMostRunNameBytes = 64;

inline constexpr const char* kRunFormat = "stage-console run";
inline constexpr int kRunVersion = 1;

// The document, one line, newline at the end.
std::string WriteRun(const Run& run);

struct RunRead {
  std::optional<Run> run;  // empty when the text is not a valid run
  std::string error;       // why not, for the operator
};
RunRead ReadRun(std::string_view text);

// The figures' names as they appear in a run file and the figures CSV.
const char* EndKey(StepFigures::End end);

}  // namespace stage::scope
