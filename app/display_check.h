// Whether the console can have a desktop session, asked before Qt is: when
// Qt's X11 or Wayland platform finds no display it ends the process with
// SIGABRT and advises reinstalling the application, which sends the operator
// the wrong way. Plain C++: what is looked at comes in through
// DisplayEnvironment, so tests can play any session.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace stage::app {

struct DisplayEnvironment {
  // An environment variable's value, or nullopt when it is not set.
  std::function<std::optional<std::string>(const char* name)> variable;
  // Whether the X server named by a DISPLAY value accepts a connection.
  std::function<bool(const std::string& display)> x_server_answers;
  // Whether a Wayland compositor listens on this socket path.
  std::function<bool(const std::string& socket_path)> wayland_answers;
};

// The process's own environment, X server and sockets.
DisplayEnvironment SystemDisplayEnvironment();

// Empty when one of the platforms Qt will try (QT_QPA_PLATFORM, or X11 and
// Wayland when it is not set) can be had, or is one that needs no session
// (offscreen, say). Otherwise why none can: "DISPLAY is not set", ...
std::string NoDisplayReason(const DisplayEnvironment& environment);

// What the program says, on one line, before it ends with status 1.
std::string NoDisplayMessage(const std::string& reason);

}  // namespace stage::app
