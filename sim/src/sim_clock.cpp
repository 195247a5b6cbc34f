#include <chrono>
#include <thread>

#include "stage/sim/sim_clock.h"

namespace stage::sim {

Nanoseconds SteadyClock::Now() {
  return std::chrono::duration_cast<Nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
}

void SteadyClock::SleepFor(Nanoseconds duration) { std::this_thread::sleep_for(duration); }

}  // namespace stage::sim
