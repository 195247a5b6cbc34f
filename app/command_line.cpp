#include "app/command_line.h"

#include "stage/sim/scenario.h"

#include <charconv>
#include <optional>
#include <string>
#include <utility>

namespace stage::app {

namespace {

CommandLine Error(std::string message) {
  CommandLine line;
  line.action = CommandLine::Action::kError;
  line.error = std::move(message);
  return line;
}

std::optional<std::uint32_t> ParseCount(std::string_view text) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<std::uint16_t> ParseHex16(std::string_view text) {
  constexpr std::size_t kMaxDigits = 4;
  constexpr int kHex = 16;
  std::uint16_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, kHex);
  if (text.empty() || text.size() > kMaxDigits || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

std::optional<usb::UsbId> ParseUsbId(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto vendor = ParseHex16(text.substr(0, colon));
  const auto product = ParseHex16(text.substr(colon + 1));
  if (!vendor || !product) return std::nullopt;
  return usb::UsbId{*vendor, *product};
}

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  bool simulate_given = false;
  bool library_given = false;
  bool render_given = false;
  bool scenario_given = false;
  bool list_given = false;
  bool scope_given = false;
  bool trace_given = false;
  bool profile_dir_given = false;
  bool admin_limits_given = false;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view word = arguments[i];
    if (word == "-h" || word == "--help") {
      line.action = CommandLine::Action::kHelp;
      return line;
    }
    if (word == "-v" || word == "--version") {
      line.action = CommandLine::Action::kVersion;
      return line;
    }

    if (word == "--list-devices") {
      list_given = true;
      continue;
    }
    if (word == "--no-profile") {
      if (line.no_profile) return Error("--no-profile is given more than once");
      line.no_profile = true;
      continue;
    }
    if (word == "--start") {
      if (line.start) return Error("--start is given more than once");
      line.start = true;
      continue;
    }
    if (word == "--no-control") {
      if (line.no_control) return Error("--no-control is given more than once");
      line.no_control = true;
      continue;
    }
    if (word == "--scope") {
      if (scope_given) return Error("--scope is given more than once");
      scope_given = true;
      line.open_scope = true;
      continue;
    }

    std::string_view name = word;
    std::optional<std::string_view> value;
    if (const auto equals = word.find('='); word.starts_with("--") && equals != std::string_view::npos) {
      name = word.substr(0, equals);
      value = word.substr(equals + 1);
    }
    const bool takes_value =
        name == "--simulate" || name == "--device-library" || name == "--render-windows" ||
        name == "--scenario" || name == "--usb-id" || name == "--trace" || name == "--profile-dir" ||
        name == "--control" || name == "--log" || name == "--admin-limits";
    if (!takes_value) {
      if (word.starts_with("-")) return Error("unknown option '" + std::string(word) + "'");
      return Error("unexpected argument '" + std::string(word) + "'");
    }
    if (!value) {
      if (i + 1 == arguments.size()) return Error(std::string(name) + " needs a value");
      value = arguments[++i];
    }

    if (name == "--simulate") {
      if (simulate_given) return Error("--simulate is given more than once");
      simulate_given = true;
      const auto count = ParseCount(*value);
      if (!count || *count < 1 || *count > kMaxSimulatedControllers) {
        return Error("--simulate needs a number of controllers from 1 to " +
                     std::to_string(kMaxSimulatedControllers) + ", not '" + std::string(*value) + "'");
      }
      line.backend = CommandLine::Backend::kSimulated;
      line.simulated_count = *count;
    } else if (name == "--device-library") {
      if (library_given) return Error("--device-library is given more than once");
      library_given = true;
      if (value->empty()) return Error("--device-library needs the path of a shared library");
      line.backend = CommandLine::Backend::kSharedLibrary;
      line.library_path = std::string(*value);
    } else if (name == "--usb-id") {
      const auto id = ParseUsbId(*value);
      if (!id) return Error("--usb-id needs a vendor and product ID in hex, such as 10C4:EA61, not '" + std::string(*value) + "'");
      line.usb_ids.push_back(*id);
    } else if (name == "--scenario") {
      if (scenario_given) return Error("--scenario is given more than once");
      scenario_given = true;
      if (value->empty()) return Error("--scenario needs a scenario, see --help");
      line.scenario = std::string(*value);
    } else if (name == "--trace") {
      if (trace_given) return Error("--trace is given more than once");
      trace_given = true;
      if (value->empty()) return Error("--trace needs a file");
      line.trace_path = std::string(*value);
    } else if (name == "--control") {
      if (!line.control_path.empty()) return Error("--control is given more than once");
      if (value->empty()) return Error("--control needs the path of a socket");
      line.control_path = std::string(*value);
    } else if (name == "--log") {
      if (!line.log_path.empty()) return Error("--log is given more than once");
      if (value->empty()) return Error("--log needs a file");
      line.log_path = std::string(*value);
    } else if (name == "--profile-dir") {
      if (profile_dir_given) return Error("--profile-dir is given more than once");
      profile_dir_given = true;
      if (value->empty()) return Error("--profile-dir needs a folder");
      line.profile_dir = std::string(*value);
    } else if (name == "--admin-limits") {
      if (admin_limits_given) return Error("--admin-limits is given more than once");
      admin_limits_given = true;
      if (value->empty()) return Error("--admin-limits needs a file");
      line.admin_limits_path = std::string(*value);
    } else {
      if (render_given) return Error("--render-windows is given more than once");
      render_given = true;
      if (value->empty()) return Error("--render-windows needs a folder");
      line.render_dir = std::string(*value);
    }
  }

  if (!line.control_path.empty() && line.no_control) return Error("--control and --no-control exclude each other");
  if (profile_dir_given && line.no_profile) return Error("--profile-dir and --no-profile exclude each other");
  if (simulate_given && library_given) {
    return Error("--simulate and --device-library exclude each other");
  }
  if (!line.usb_ids.empty() && (simulate_given || library_given || render_given)) {
    return Error("--usb-id selects USB controllers: it excludes --simulate, --device-library and --render-windows");
  }
  if (list_given) {
    if (simulate_given || library_given || render_given) {
      return Error("--list-devices lists USB controllers: it excludes --simulate, --device-library and --render-windows");
    }
    line.action = CommandLine::Action::kListDevices;
    return line;
  }
  if (scenario_given && !simulate_given) {
    return Error("--scenario plays on simulated controllers: give --simulate N too");
  }
  if (render_given && line.start) return Error("--start and --render-windows exclude each other");
  if (render_given) {
    if (library_given) return Error("--render-windows runs on simulated controllers, not on --device-library");
    line.action = CommandLine::Action::kRenderWindows;
    if (!simulate_given) {
      line.backend = CommandLine::Backend::kSimulated;
      line.simulated_count = kRenderedControllerCount;
    }
  }
  return line;
}

std::string HelpText(std::string_view program) {
  const std::string name(program);
  return "Usage: " + name +
         " [[--usb-id VID:PID]... [--list-devices] | --simulate N [--scenario SPEC] |\n"
         "       --device-library PATH] [--scope] [--trace FILE]\n"
         "       [--profile-dir DIR | --no-profile] [--admin-limits FILE]\n"
         "       [--control PATH | --no-control] [--log FILE] [--start]\n"
         "\n"
         "Operator console for a motorised positioning stage whose axes are USB servo\n"
         "controllers. Without an option the console finds the controllers on USB itself\n"
         "(USB ID 10C4:EA61), numbered by bus and then port, so the same wiring gives\n"
         "the same axes at every start.\n"
         "\n"
         "Options:\n"
         "  --usb-id VID:PID         look for controllers with this USB ID (hex) instead of\n"
         "                           10C4:EA61; may be given more than once\n"
         "  --list-devices           list the controllers found, with their serial numbers,\n"
         "                           ports and whether this user may open them, and end\n"
         "                           (status 1 when there is none); needs no display\n"
         "  --simulate N             run on N built-in simulated controllers (1 to " +
         std::to_string(kMaxSimulatedControllers) +
         ")\n"
         "  --device-library PATH    load a vendor-compatible USB device library, such as\n"
         "                           " + std::string(kDefaultDeviceLibrary) + ", instead\n"
         "  --scope                  open the Scope at start; F9 opens it from any window\n"
         "  --trace FILE             write one CSV row per exchange with a controller to\n"
         "                           FILE (sent and received bytes, decoded reply)\n"
         "  --profile-dir DIR        keep the controllers' profiles (mechanics, wiring,\n"
         "                           tuning, limits) in DIR instead of\n"
         "                           $XDG_CONFIG_HOME/stage-console/controllers\n"
         "  --no-profile             read and save no profile: every controller starts\n"
         "                           from the designed defaults\n"
         "  --control PATH           serve the control API (JSON-RPC for scripts) on the\n"
         "                           Unix socket PATH instead of\n"
         "                           $XDG_RUNTIME_DIR/stage-console/control.sock\n"
         "  --no-control             serve no control API\n"
         "  --start                  start at once with the settings the start-up window\n"
         "                           shows, as OK does (for unattended runs and scripts)\n"
         "  --log FILE               also append the event log (the operator's and the\n"
         "                           scripts' commands, control changes, faults; always\n"
         "                           on stderr) to FILE\n"
         "  --admin-limits FILE      read the administrator's travel bounds from FILE\n"
         "                           instead of /etc/stage-console/limits.toml; a file\n"
         "                           that cannot be read stops the start (status 1)\n"
         "  --render-windows DIR     render the three windows on simulated controllers\n"
         "                           (3 unless --simulate says otherwise) to\n"
         "                           DIR/motor-settings.png, DIR/main-window.png and\n"
         "                           DIR/axis-controls.png, then the Scope after a GO\n"
         "                           on axis 0 to DIR/scope.png, then end\n"
         "  -h, --help               show this help and end\n"
         "  -v, --version            show the version and end\n" +
         std::string(sim::kScenarioUsage) +
         "\n"
         "Keys:\n"
         "  Esc                      stop every axis, from any window of the console and\n"
         "                           whatever has the focus: while Esc is held, every\n"
         "                           axis gets what a held STOP gives\n"
         "  F2                       open Axis Settings (mechanics, wiring, travel\n"
         "                           limits, referencing, profile import and export),\n"
         "                           from any window once the main window is up\n"
         "  F9                       open the Scope (live traces and step-response\n"
         "                           figures), from any window of the console\n"
         "  F10                      open the Remote window (the control API's clients,\n"
         "                           who holds control, their last commands), from any\n"
         "                           window of the console\n";
}

std::string VersionText(std::string_view program, std::string_view version) {
  return std::string(program) + " " + std::string(version) +
         "\n"
         "Copyright (C) 2026 the stage-console developers.\n"
         "License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
         "This is free software: you are free to change and redistribute it.\n"
         "There is NO WARRANTY, to the extent permitted by law.\n";
}

}  // namespace stage::app
