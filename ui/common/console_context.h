// What every window of the console is handed: the axis tables, the device
// library and the way to end the program. One per program run (or per test).
// An observer, when given, sees every exchange of the polling cycle (the
// Scope and the trace). The profiles, when given, are the controllers'
// remembered settings (none: every controller starts from the designed
// defaults, as with --no-profile). The event log and the control API are
// optional too.
#pragma once

#include <chrono>

#include "stage/axis/modKVT_USB.h"
#include "stage/usb/device_library.h"
#include "stage/poll/poll_exchange.h"
#include "ui/common/program_exit.h"

namespace stage::control {
class EventLog;
}

namespace stage::ui {

class ProfileSession;

// What the main window tells the control API (none: the console serves no
// API).
class RemoteHooks {
 public:
  virtual ~RemoteHooks() = default;
  // After each polling cycle, once it has ended: the API's turn, with the
  // time left to the next cycle.
  virtual void AfterTick(std::chrono::nanoseconds to_next_tick) = 0;
  // The operator's Esc: control taken from scripts, their moves refused.
  virtual void EscapePressed() = 0;
};

struct ConsoleContext {
  modKVT_USB& tables;
  usb::DeviceLibrary& devices;
  ProgramExit& exit;
  poll::ExchangeObserver* observer = nullptr;
  ProfileSession* profiles = nullptr;
  // The event log (the operator's commands go to it), and the control API.
  control::EventLog* events = nullptr;
  RemoteHooks* remote = nullptr;
};

}  // namespace stage::ui
