// The Scope's own threads (drawing, exporting) run behind the GUI thread,
// which polls the controllers every 10 ms: at the lowest nice value, so
// that the scheduler hands the core to the poll the moment its timer fires,
// and so that their work weighs little in the share of the machine that
// the kernel gives this process as a whole (its threads are grouped).
#pragma once

#include <sys/resource.h>
#include <unistd.h>

namespace stage::ui {

inline constexpr int kBackgroundNice = 19;

// Called on the thread itself: on Linux a thread's nice value is its own.
// Failing to lower it leaves it as it was, which is no reason to stop.
inline void RunBehindThePoll() { (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kBackgroundNice); }

}  // namespace stage::ui
