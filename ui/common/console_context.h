// What every window of the console is handed: the axis tables, the device
// library and the way to end the program. One per program run (or per test).
// An observer, when given, sees every exchange of the polling cycle (the
// Scope and the trace). The profiles, when given, are the controllers'
// remembered settings (none: every controller starts from the designed
// defaults, as with --no-profile).
#pragma once

#include "stage/axis/modKVT_USB.h"
#include "stage/usb/device_library.h"
#include "stage/poll/poll_exchange.h"
#include "ui/common/program_exit.h"

namespace stage::ui {

class ProfileSession;

struct ConsoleContext {
  modKVT_USB& tables;
  usb::DeviceLibrary& devices;
  ProgramExit& exit;
  poll::ExchangeObserver* observer = nullptr;
  ProfileSession* profiles = nullptr;
};

}  // namespace stage::ui
