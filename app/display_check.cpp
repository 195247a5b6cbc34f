#include "app/display_check.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace stage::app {
namespace {

std::string Value(const DisplayEnvironment& environment, const char* name) {
  return environment.variable(name).value_or(std::string());
}

// The platform names in QT_QPA_PLATFORM ("wayland;xcb", "xcb:option=1"),
// options cut off.
std::vector<std::string> Platforms(const std::string& setting) {
  std::vector<std::string> names;
  std::string_view rest = setting;
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    const std::string_view entry = rest.substr(0, end);
    const std::string_view name = entry.substr(0, entry.find(':'));
    if (!name.empty()) names.emplace_back(name);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return names;
}

// Empty when the X server answers, else why not.
std::string XReason(const DisplayEnvironment& environment) {
  const std::string display = Value(environment, "DISPLAY");
  if (display.empty()) return "DISPLAY is not set";
  if (environment.x_server_answers(display)) return {};
  return "no X server answers at DISPLAY " + display;
}

// Empty when the compositor answers, else why not. Qt's Wayland platform
// connects to WAYLAND_DISPLAY (wayland-0 when unset) in XDG_RUNTIME_DIR, or
// to an absolute path, or takes a socket already open (WAYLAND_SOCKET).
std::string WaylandReason(const DisplayEnvironment& environment) {
  if (!Value(environment, "WAYLAND_SOCKET").empty()) return {};
  const std::string display = Value(environment, "WAYLAND_DISPLAY");
  const std::string name = display.empty() ? "wayland-0" : display;
  std::string path = name;
  if (name.front() != '/') {
    const std::string runtime_dir = Value(environment, "XDG_RUNTIME_DIR");
    if (runtime_dir.empty()) return "XDG_RUNTIME_DIR is not set";
    path = runtime_dir + "/" + name;
  }
  if (environment.wayland_answers(path)) return {};
  return display.empty() ? "WAYLAND_DISPLAY is not set" : "no Wayland compositor answers at WAYLAND_DISPLAY " + display;
}

bool UnixSocketAnswers(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return answers;
}

bool XServerAnswers(const std::string& display) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  const bool answers = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return answers;
}

}  // namespace

DisplayEnvironment SystemDisplayEnvironment() {
  DisplayEnvironment environment;
  environment.variable = [](const char* name) -> std::optional<std::string> {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  };
  environment.x_server_answers = XServerAnswers;
  environment.wayland_answers = UnixSocketAnswers;
  return environment;
}

std::string NoDisplayReason(const DisplayEnvironment& environment) {
  std::vector<std::string> platforms = Platforms(Value(environment, "QT_QPA_PLATFORM"));
  if (platforms.empty()) platforms = {"xcb", "wayland"};
  std::string reasons;
  for (const std::string& platform : platforms) {
    std::string reason;
    if (platform == "xcb") {
      reason = XReason(environment);
    } else if (platform.rfind("wayland", 0) == 0) {
      reason = WaylandReason(environment);
    } else {
      return {};  // offscreen, vnc, eglfs, ...: no desktop session to look for
    }
    if (reason.empty()) return {};
    if (reasons.find(reason) == std::string::npos) reasons += (reasons.empty() ? "" : ", ") + reason;
  }
  return reasons;
}

std::string NoDisplayMessage(const std::string& reason) {
  return "stage-console: cannot open a display (" + reason +
         "): the console needs a desktop session, X11 or Wayland. Start it from the desktop, or over SSH with X "
         "forwarding (ssh -X); stage-console --list-devices needs no display.";
}

}  // namespace stage::app
