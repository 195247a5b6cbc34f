// The device server's command line: INSTANCE, the bridge's own options, and
// whatever else is given, handed to Tango as it is (-nodb, -dlist,
// -ORBendPoint, -v4 and so on).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace stage::tango_bridge {

struct BridgeCommandLine {
  bool help = false;
  bool version = false;
  std::string instance;
  std::string control_path;  // the console's socket, default filled in
  // argv for Tango: the program, the instance, then every other word.
  std::vector<std::string> tango_args;
};

// The console's default socket: $XDG_RUNTIME_DIR/stage-console/control.sock,
// or /run/user/UID/... without XDG_RUNTIME_DIR.
std::string DefaultControlPath(const char* xdg_runtime_dir, unsigned uid);

// The command line, or the error to show with the usage.
struct ParsedCommandLine {
  std::optional<BridgeCommandLine> line;
  std::string error;
};
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& default_control_path);

std::string Usage(const std::string& program);

}  // namespace stage::tango_bridge
