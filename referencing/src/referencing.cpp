#include "stage/referencing/referencing.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "stage/axis/number_text.h"

namespace stage::referencing {
namespace {

using usb::kFlagBusy;
using usb::kFlagError;
using usb::kFlagLimit1;
using usb::kFlagLimit2;

constexpr CommandHolder kHolder = CommandHolder::kReferencing;
constexpr std::uint8_t kBothFlags = kFlagLimit1 | kFlagLimit2;

bool Has(const usb::StatusReading& reply, std::uint8_t flag) { return (reply.flags & flag) != 0; }

}  // namespace

void Referencing::Allocate() {
  if (!tables_.TablesAllocated()) throw std::logic_error("Referencing: axis tables not allocated");
  axes_.assign(tables_.GoBit.size(), Axis{});
}

bool Referencing::Running(AxisIndex axis) const {
  if (axis < 0 || static_cast<std::size_t>(axis) >= axes_.size()) return false;
  return axes_[static_cast<std::size_t>(axis)].state.phase != Phase::kIdle;
}

bool Referencing::AnyRunning() const {
  for (const Axis& a : axes_) {
    if (a.state.phase != Phase::kIdle) return true;
  }
  return false;
}

bool Referencing::Start(AxisIndex axis, const Plan& plan) {
  if (axis < 0 || static_cast<std::size_t>(axis) >= axes_.size() || Running(axis)) return false;
  if (plan.speed < 1 || plan.speed > kMaxSpeed) return false;
  if (plan.back_off_counts < 0 || plan.back_off_counts > usb::kMaxEncodableCount) return false;
  if (plan.max_seek_counts < 1) return false;

  Axis& a = At(axis);
  const std::uint32_t changes = a.state.changes;
  a = Axis{};
  a.state.changes = changes;
  a.state.plan = plan;
  a.state.outcome = Outcome::kRunning;
  a.direction = plan.toward == Toward::kLower ? -1 : 1;
  a.sought_flag = plan.toward == Toward::kLower ? kFlagLimit1 : kFlagLimit2;
  a.other_flag = plan.toward == Toward::kLower ? kFlagLimit2 : kFlagLimit1;
  a.saved_target = tables_.TargetCounts.at(static_cast<std::size_t>(axis));
  // A GO latched by Enter in the target box would ride along with the run's
  // Rel and, after the ZERO, send the axis to the old target counted from the
  // new zero. The run takes the axis over as the operator's own GO would.
  latches_.Release(axis, LevelCommand::kGo, CommandHolder::kNone);
  Enter(a, Phase::kArming);
  return true;
}

void Referencing::ApplySpeed(AxisIndex axis, usb::TuningValues& tuning) const {
  const Axis& a = axes_.at(static_cast<std::size_t>(axis));
  if (a.speed_mode) tuning.speed = a.run_speed;
}

void Referencing::OnReply(AxisIndex axis, const usb::StatusReading* reply) {
  Axis& a = At(axis);
  if (a.state.phase == Phase::kIdle) return;
  if (reply == nullptr) {
    Fail(axis, a, Outcome::kLostReply, true);
    return;
  }
  a.state.last_position_counts = reply->position;
  ++a.phase_replies;
  switch (a.state.phase) {
    case Phase::kArming: OnArming(axis, a, *reply); return;
    case Phase::kHolding: OnHolding(axis, a, *reply); return;
    case Phase::kSeeking: OnSeeking(axis, a, *reply); return;
    case Phase::kReleasing: OnReleasing(axis, a, *reply); return;
    case Phase::kBackingOff: OnBackingOff(axis, a, *reply); return;
    case Phase::kZeroing: OnZeroing(axis, a, *reply); return;
    case Phase::kIdle: return;
  }
}

void Referencing::End(AxisIndex axis, Outcome why) {
  if (!Running(axis)) return;
  if (why != Outcome::kStopped && why != Outcome::kEscape && why != Outcome::kInterrupted) return;
  Axis& a = At(axis);
  LetGo(axis, a);
  Finish(axis, a, why);
}

// --- Phases -----------------------------------------------------------------

void Referencing::OnArming(AxisIndex axis, Axis& a, const usb::StatusReading& reply) {
  // The servo is on only once the main window has been activated (a
  // question answered at start-up may come first): until then no speed
  // mode edge would count.
  if (tables_.ActiveBit.at(static_cast<std::size_t>(axis)) == 0) {
    if (a.phase_replies > kWatchdogReplies) Fail(axis, a, Outcome::kNoProgress, true);
    return;
  }
  // A standing error is the operator's to clear: the STOP below would clear
  // it unseen.
  if (Has(reply, kFlagError)) return Fail(axis, a, Outcome::kErrorFlag, false);
  if ((reply.flags & kBothFlags) == kBothFlags) return Fail(axis, a, Outcome::kBothSwitches, true);
  a.other_was_clear = !Has(reply, a.other_flag);
  // The axis comes to rest first: a move still running would look like a
  // move the wrong way, and the seek needs a rising edge of the speed mode.
  latches_.SpeedModeOff(axis);
  HoldStop(axis, a);
  Enter(a, Phase::kHolding);
}

void Referencing::OnHolding(AxisIndex axis, Axis& a, const usb::StatusReading& reply) {
  if (Has(reply, kFlagError)) return Fail(axis, a, Outcome::kErrorFlag, false);
  if ((reply.flags & kBothFlags) == kBothFlags) return Fail(axis, a, Outcome::kBothSwitches, true);
  if (Has(reply, a.other_flag)) {
    if (a.other_was_clear) return Fail(axis, a, Outcome::kWrongSwitch, true);
  } else {
    a.other_was_clear = true;
  }
  if (Has(reply, kFlagBusy)) {
    if (a.phase_replies > kRestReplies) Fail(axis, a, Outcome::kNotAtRest, true);
    return;
  }
  latches_.Release(axis, LevelCommand::kStop, kHolder);
  a.holds_stop = false;
  const bool on = Has(reply, a.sought_flag);
  if (a.state.released) {
    if (on) return Fail(axis, a, Outcome::kSwitchLost, true);
    StartBackOff(axis, a, reply);
    return;
  }
  if (on) {
    // The packet that lets go of STOP starts the slow run off the switch.
    a.state.on_switch = true;
    a.run_start = reply.position;
    const std::int32_t slow = std::max(1, a.state.plan.speed / kReleaseSpeedDivisor);
    StartRun(axis, a, reply, -a.direction * slow, Phase::kReleasing);
    return;
  }
  if (a.state.on_switch) return Fail(axis, a, Outcome::kSwitchLost, true);
  // The packet that lets go of STOP starts the seek.
  a.state.seek_start_counts = reply.position;
  StartRun(axis, a, reply, a.direction * a.state.plan.speed, Phase::kSeeking);
}

void Referencing::StartRun(AxisIndex axis, Axis& a, const usb::StatusReading& reply, std::int32_t speed,
                           Phase phase) {
  a.watch_position = reply.position;
  a.watch_replies = 0;
  a.run_speed = speed;
  a.speed_mode = true;
  latches_.SpeedModeClick(axis);
  Enter(a, phase);
}

void Referencing::OnReleasing(AxisIndex axis, Axis& a, const usb::StatusReading& reply) {
  const std::int32_t away = -a.direction;
  const std::int64_t moved = (static_cast<std::int64_t>(reply.position) - a.run_start) * away;
  if (Has(reply, kFlagError)) return Fail(axis, a, Outcome::kErrorFlag, false);
  if (moved < -kWrongWayCounts) return Fail(axis, a, Outcome::kWrongWay, true);
  if ((reply.flags & kBothFlags) == kBothFlags) return Fail(axis, a, Outcome::kBothSwitches, true);
  if (!Has(reply, a.sought_flag)) {
    a.state.released = true;
    a.state.edge_counts = reply.position;
    a.speed_mode = false;
    latches_.SpeedModeOff(axis);
    HoldStop(axis, a);
    Enter(a, Phase::kHolding);
    return;
  }
  if (moved > a.state.plan.max_seek_counts) return Fail(axis, a, Outcome::kTravelBound, true);
  if (Watchdog(a, reply.position, away)) Fail(axis, a, Outcome::kNoProgress, true);
}

void Referencing::OnSeeking(AxisIndex axis, Axis& a, const usb::StatusReading& reply) {
  const std::int64_t moved = (static_cast<std::int64_t>(reply.position) - a.state.seek_start_counts) * a.direction;
  const bool wrong_way = moved < -kWrongWayCounts;
  // A motor driven the wrong way ends in a following-error fault: said as
  // the wrong way, which names the option to check.
  if (Has(reply, kFlagError)) return Fail(axis, a, wrong_way ? Outcome::kWrongWay : Outcome::kErrorFlag, false);
  if (wrong_way) return Fail(axis, a, Outcome::kWrongWay, true);
  if ((reply.flags & kBothFlags) == kBothFlags) return Fail(axis, a, Outcome::kBothSwitches, true);
  if (Has(reply, a.sought_flag)) {
    a.state.on_switch = true;
    a.speed_mode = false;
    latches_.SpeedModeOff(axis);
    HoldStop(axis, a);
    Enter(a, Phase::kHolding);
    return;
  }
  if (Has(reply, a.other_flag)) {
    if (a.other_was_clear) return Fail(axis, a, Outcome::kWrongSwitch, true);
  } else {
    a.other_was_clear = true;
  }
  if (moved > a.state.plan.max_seek_counts) return Fail(axis, a, Outcome::kTravelBound, true);
  if (Watchdog(a, reply.position, a.direction)) Fail(axis, a, Outcome::kNoProgress, true);
}

void Referencing::OnBackingOff(AxisIndex axis, Axis& a, const usb::StatusReading& reply) {
  if (a.holds_rel) {
    // The packet before this reply carried Rel: let go of it, and the
    // click's position mode follows, as after the operator's Rel.
    latches_.Release(axis, LevelCommand::kRelMove, kHolder);
    latches_.Click(axis, LevelCommand::kRelMove);
    a.holds_rel = false;
  }
  // Along the Rel's own direction: a back-off shorter than the overrun of
  // the edge goes back toward the switch.
  const std::int32_t along = a.back_off_along;
  const std::int64_t moved = (static_cast<std::int64_t>(reply.position) - a.back_off_start) * along;
  const std::int64_t length = a.back_off_length;
  if (Has(reply, kFlagError)) return Fail(axis, a, Outcome::kErrorFlag, false);
  if (moved < -kWrongWayCounts) return Fail(axis, a, Outcome::kWrongWay, true);
  if (moved > length + kWrongWayCounts) return Fail(axis, a, Outcome::kTravelBound, true);
  if ((reply.flags & kBothFlags) == kBothFlags) return Fail(axis, a, Outcome::kBothSwitches, true);
  if (Has(reply, a.other_flag)) {
    if (a.other_was_clear) return Fail(axis, a, Outcome::kWrongSwitch, true);
  } else {
    a.other_was_clear = true;
  }
  if (!Has(reply, kFlagBusy) && std::abs(reply.ideal_position - a.back_off_end) <= kArrivalCounts) {
    if (Has(reply, a.sought_flag)) return Fail(axis, a, Outcome::kStillOnSwitch, true);
    a.state.zeroed_from_counts = reply.position;
    Zero(axis, a);
    return;
  }
  if (Watchdog(a, reply.position, along)) Fail(axis, a, Outcome::kNoProgress, true);
}

void Referencing::OnZeroing(AxisIndex axis, Axis& a, const usb::StatusReading& reply) {
  if (Has(reply, kFlagError)) return Fail(axis, a, Outcome::kErrorFlag, false);
  if (std::abs(reply.position) <= kArrivalCounts && std::abs(reply.ideal_position) <= kArrivalCounts) {
    Finish(axis, a, Outcome::kDone);
    return;
  }
  if (a.phase_replies > kZeroReplies) Fail(axis, a, Outcome::kNotZeroed, true);
}

// --- Steps ------------------------------------------------------------------

void Referencing::StartBackOff(AxisIndex axis, Axis& a, const usb::StatusReading& reply) {
  // The back-off counts from the edge; a Rel counts from the ideal position
  // of an axis at rest, a little past the edge.
  const std::int64_t distance =
      a.state.edge_counts - a.direction * a.state.plan.back_off_counts - reply.ideal_position;
  if (distance == 0) {
    a.state.zeroed_from_counts = reply.position;
    Zero(axis, a);
    return;
  }
  tables_.TargetCounts.at(static_cast<std::size_t>(axis)) = static_cast<double>(distance);
  latches_.Press(axis, LevelCommand::kRelMove, kHolder);
  a.holds_rel = true;
  a.back_off_start = reply.position;
  a.back_off_end = reply.ideal_position + distance;
  a.back_off_along = distance > 0 ? 1 : -1;
  a.back_off_length = distance * a.back_off_along;
  a.watch_position = reply.position;
  a.watch_replies = 0;
  Enter(a, Phase::kBackingOff);
}

void Referencing::Zero(AxisIndex axis, Axis& a) {
  // One packet with ZERO, as a quick click on the button gives.
  latches_.Press(axis, LevelCommand::kZero, kHolder);
  latches_.Release(axis, LevelCommand::kZero, kHolder);
  a.state.zero_sent = true;
  Enter(a, Phase::kZeroing);
}

void Referencing::HoldStop(AxisIndex axis, Axis& a) {
  if (a.holds_stop) return;
  latches_.Press(axis, LevelCommand::kStop, kHolder);
  a.holds_stop = true;
}

bool Referencing::Watchdog(Axis& a, std::int64_t position, std::int32_t toward) {
  if ((position - a.watch_position) * toward >= kMinProgressCounts) {
    a.watch_position = position;
    a.watch_replies = 0;
    return false;
  }
  return ++a.watch_replies > kWatchdogReplies;
}

void Referencing::LetGo(AxisIndex axis, Axis& a) {
  if (a.holds_stop) latches_.Release(axis, LevelCommand::kStop, kHolder);
  if (a.holds_rel) latches_.Release(axis, LevelCommand::kRelMove, kHolder);
  if (a.speed_mode) latches_.SpeedModeOff(axis);
  a.holds_stop = false;
  a.holds_rel = false;
  a.speed_mode = false;
  a.run_speed = 0;
}

void Referencing::Fail(AxisIndex axis, Axis& a, Outcome outcome, bool stop_pulse) {
  LetGo(axis, a);
  // One packet with STOP brakes whatever still moves to rest. Not after an
  // error: its rising edge would clear a fault the operator has not seen.
  if (stop_pulse) {
    latches_.Press(axis, LevelCommand::kStop, kHolder);
    latches_.Release(axis, LevelCommand::kStop, kHolder);
  }
  Finish(axis, a, outcome);
}

void Referencing::Finish(AxisIndex axis, Axis& a, Outcome outcome) {
  // The target box's target is in force again (a Rel distance is not).
  tables_.TargetCounts.at(static_cast<std::size_t>(axis)) = a.saved_target;
  a.state.ended_in = a.state.phase;
  a.state.outcome = outcome;
  Enter(a, Phase::kIdle);
}

void Referencing::Enter(Axis& a, Phase phase) {
  a.state.phase = phase;
  a.phase_replies = 0;
  ++a.state.changes;
}

// --- Texts ------------------------------------------------------------------

namespace {

std::string Distance(std::int64_t counts, const AxisWords& words) {
  std::string text = std::to_string(counts) + " counts";
  if (words.counts_per_micron != 1) {
    text += " (" + FormatFixed2(static_cast<double>(counts) / words.counts_per_micron);
    text += words.unit_suffix;
    text += ")";
  }
  return text;
}

std::string SwitchName(Toward toward) {
  return toward == Toward::kLower ? "the lower limit switch" : "the upper limit switch";
}

std::string OtherSwitchName(Toward toward) {
  return SwitchName(toward == Toward::kLower ? Toward::kUpper : Toward::kLower);
}

std::string RunningText(const RunState& s, const AxisWords& words) {
  std::string text = "Referencing axis ";
  text += words.axis_label;
  text += ": ";
  switch (s.phase) {
    case Phase::kArming: text += "starting."; break;
    case Phase::kHolding:
      text += s.released    ? "off the edge of " + SwitchName(s.plan.toward) + ", stopping."
              : s.on_switch ? "on " + SwitchName(s.plan.toward) + ", stopping."
                            : "waiting for the axis to come to rest.";
      break;
    case Phase::kSeeking:
      text += "seeking " + SwitchName(s.plan.toward) + " at speed " + std::to_string(s.plan.speed) + ".";
      break;
    case Phase::kReleasing: text += "leaving " + SwitchName(s.plan.toward) + " slowly to find its edge."; break;
    case Phase::kBackingOff: text += "backing off " + Distance(s.plan.back_off_counts, words) + "."; break;
    case Phase::kZeroing: text += "zeroing."; break;
    case Phase::kIdle: break;
  }
  return text + " STOP or Esc ends it.";
}

std::string Why(const RunState& s, const AxisWords& words) {
  const std::string sought = SwitchName(s.plan.toward);
  switch (s.outcome) {
    case Outcome::kErrorFlag:
      return "the controller reported an error (STOP clears it; check the wiring options and the tuning)";
    case Outcome::kLostReply: return "no reply from the controller";
    case Outcome::kWrongSwitch:
      return OtherSwitchName(s.plan.toward) + " came on instead of " + sought +
             ": check \"Reverse Limit Switch\"";
    case Outcome::kBothSwitches:
      return "both limit switches report pressed: check \"Limit Sw Active on HI\"";
    case Outcome::kWrongWay:
      return "the axis moved away from " + sought + ": check \"Reverse Motor Polarity\"";
    case Outcome::kTravelBound:
      if (s.ended_in == Phase::kBackingOff) {
        return "the back-off went beyond " + Distance(s.plan.back_off_counts + kWrongWayCounts, words);
      }
      return "no limit switch within the travel bound of " + Distance(s.plan.max_seek_counts, words) +
             ": check the limit switches and their wiring";
    case Outcome::kNoProgress:
      return "the axis stopped moving for " + std::to_string(kWatchdogReplies / 100) +
             " s (watchdog): check ACTIVE, the tuning and the speed";
    case Outcome::kNotAtRest:
      return "the axis did not come to rest within " + std::to_string(kRestReplies / 100) + " s";
    case Outcome::kSwitchLost:
      if (s.released) return sought + " came on again off its edge";
      return sought + " released while the axis stopped on it";
    case Outcome::kStillOnSwitch:
      return "still on " + sought + " after backing off " + Distance(s.plan.back_off_counts, words) +
             " from its edge: check the switch";
    case Outcome::kNotZeroed: return "the controller did not show the position 0 after ZERO";
    case Outcome::kNone:
    case Outcome::kRunning:
    case Outcome::kDone:
    case Outcome::kStopped:
    case Outcome::kEscape:
    case Outcome::kInterrupted: break;
  }
  return {};
}

}  // namespace

std::string Question(const Plan& plan, const AxisWords& words) {
  std::string text = "Reference axis ";
  text += words.axis_label;
  text += "? It moves toward " + SwitchName(plan.toward) + " at speed " + std::to_string(plan.speed) +
          ", stops on the switch, leaves it slowly to find its edge, ";
  if (plan.back_off_counts > 0) text += "backs off " + Distance(plan.back_off_counts, words) + " from the edge and ";
  text += "is zeroed there. Without a switch it gives up after " + Distance(plan.max_seek_counts, words) +
          ". STOP or Esc ends it at once.";
  return text;
}

std::string Describe(const RunState& s, const AxisWords& words) {
  if (s.phase != Phase::kIdle) return RunningText(s, words);
  const std::string axis(words.axis_label);
  const std::string not_zeroed = s.zero_sent ? " (ZERO had been sent)." : "; it is not zeroed.";
  switch (s.outcome) {
    case Outcome::kNone:
    case Outcome::kRunning: return {};
    case Outcome::kDone:
      if (s.plan.back_off_counts == 0) {
        return "Axis " + axis + " is referenced: zeroed at the edge of " + SwitchName(s.plan.toward) + ".";
      }
      return "Axis " + axis + " is referenced: zeroed " + Distance(s.plan.back_off_counts, words) +
             " off the edge of " +
             SwitchName(s.plan.toward) + ".";
    case Outcome::kStopped: return "Referencing of axis " + axis + " ended by STOP: the axis is stopped" + not_zeroed;
    case Outcome::kEscape: return "Referencing of axis " + axis + " ended by Esc: the axis is stopped" + not_zeroed;
    case Outcome::kInterrupted:
      return "Referencing of axis " + axis + " ended by the operator's command on it" + not_zeroed;
    default: break;
  }
  return "Referencing of axis " + axis + " gave up: " + Why(s, words) + ". The axis is stopped" + not_zeroed;
}

}  // namespace stage::referencing
