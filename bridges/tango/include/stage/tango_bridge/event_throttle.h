// Decides when an axis's change events go out: a change of state at once
// (with the position of that moment), a change of position at most once per
// interval (10 per second by default) while the axis moves, and a position
// held back by the interval as soon as the interval has passed, so that the
// last position of a move always reaches the subscribers.
#pragma once

#include <chrono>
#include <optional>

#include "stage/tango_bridge/stage_model.h"

namespace stage::tango_bridge {

class EventThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  explicit EventThrottle(Clock::duration interval = std::chrono::milliseconds(100)) : interval_(interval) {}

  struct Decision {
    bool push_state = false;
    bool push_position = false;
  };

  // Offers the axis's present state and position (none while it is unknown).
  Decision Offer(AxisState state, std::optional<double> position, Clock::time_point now) {
    Decision d;
    if (!last_state_ || *last_state_ != state) {
      d.push_state = true;
      last_state_ = state;
    }
    if (position && (!last_position_ || *last_position_ != *position)) {
      if (d.push_state || !last_position_push_ || now - *last_position_push_ >= interval_) {
        d.push_position = true;
        last_position_ = position;
        last_position_push_ = now;
      }
    }
    return d;
  }

 private:
  Clock::duration interval_;
  std::optional<AxisState> last_state_;
  std::optional<double> last_position_;
  std::optional<Clock::time_point> last_position_push_;
};

}  // namespace stage::tango_bridge
