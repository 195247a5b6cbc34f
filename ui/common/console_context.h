// What every window of the console is handed: the axis tables, the device
// library and the way to end the program. One per program run (or per test).
// An observer, when given, sees every exchange of the polling cycle (the
// Scope and the trace).
#pragma once

#include "stage/axis/modKVT_USB.h"
#include "stage/usb/device_library.h"
#include "stage/poll/poll_exchange.h"
#include "ui/common/program_exit.h"

namespace stage::ui {

struct ConsoleContext {
  modKVT_USB& tables;
  usb::DeviceLibrary& devices;
  ProgramExit& exit;
  poll::ExchangeObserver* observer = nullptr;
};

}  // namespace stage::ui
