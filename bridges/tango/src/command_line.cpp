#include "stage/tango_bridge/command_line.h"

namespace stage::tango_bridge {

std::string DefaultControlPath(const char* xdg_runtime_dir, unsigned uid) {
  const std::string base = xdg_runtime_dir != nullptr && xdg_runtime_dir[0] == '/'
                               ? std::string(xdg_runtime_dir)
                               : "/run/user/" + std::to_string(uid);
  return base + "/stage-console/control.sock";
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args, const std::string& default_control_path) {
  ParsedCommandLine parsed;
  BridgeCommandLine line;
  line.control_path = default_control_path;
  line.tango_args.push_back(args.empty() ? "stage-console-tango" : args[0]);
  bool control_given = false;
  std::vector<std::string> rest;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "-h" || word == "--help") {
      line.help = true;
      parsed.line = line;
      return parsed;
    }
    if (word == "--version") {
      line.version = true;
      parsed.line = line;
      return parsed;
    }
    if (word == "--control" || word.starts_with("--control=")) {
      if (control_given) {
        parsed.error = "--control is given more than once";
        return parsed;
      }
      control_given = true;
      std::string value;
      if (word == "--control") {
        if (i + 1 == args.size()) {
          parsed.error = "--control needs the path of the console's socket";
          return parsed;
        }
        value = args[++i];
      } else {
        value = word.substr(std::string("--control=").size());
      }
      if (value.empty() || value.size() > 107) {
        parsed.error = "--control needs the path of the console's socket (at most 107 bytes)";
        return parsed;
      }
      line.control_path = value;
      continue;
    }
    rest.push_back(word);
  }
  if (rest.empty() || rest.front().empty() || rest.front().front() == '-') {
    parsed.error = "the instance name is missing";
    return parsed;
  }
  line.instance = rest.front();
  line.tango_args.insert(line.tango_args.end(), rest.begin(), rest.end());
  parsed.line = line;
  return parsed;
}

std::string Usage(const std::string& program) {
  return "Usage: " + program +
         " INSTANCE [--control PATH] [Tango options]\n"
         "Serves the axes of a running stage-console as Tango devices, through the\n"
         "console's control API. It never opens a controller itself.\n"
         "  --control PATH   the console's socket (default $XDG_RUNTIME_DIR/stage-console/control.sock)\n"
         "  -h, --help       show this and end\n"
         "  --version        show the version and end\n"
         "Tango options, such as -nodb -ORBendPoint giop:tcp:127.0.0.1:PORT -dlist NAMES,\n"
         "are passed to Tango. Without -nodb the devices come from the Tango database.\n";
}

}  // namespace stage::tango_bridge
