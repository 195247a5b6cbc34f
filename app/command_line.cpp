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

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  bool simulate_given = false;
  bool library_given = false;
  bool render_given = false;
  bool scenario_given = false;

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

    std::string_view name = word;
    std::optional<std::string_view> value;
    if (const auto equals = word.find('='); word.starts_with("--") && equals != std::string_view::npos) {
      name = word.substr(0, equals);
      value = word.substr(equals + 1);
    }
    const bool takes_value =
        name == "--simulate" || name == "--device-library" || name == "--render-windows" ||
        name == "--scenario";
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
      line.library_path = std::string(*value);
    } else if (name == "--scenario") {
      if (scenario_given) return Error("--scenario is given more than once");
      scenario_given = true;
      if (value->empty()) return Error("--scenario needs a scenario, see --help");
      line.scenario = std::string(*value);
    } else {
      if (render_given) return Error("--render-windows is given more than once");
      render_given = true;
      if (value->empty()) return Error("--render-windows needs a folder");
      line.render_dir = std::string(*value);
    }
  }

  if (simulate_given && library_given) {
    return Error("--simulate and --device-library exclude each other");
  }
  if (scenario_given && !simulate_given) {
    return Error("--scenario plays on simulated controllers: give --simulate N too");
  }
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
         " [--simulate N [--scenario SPEC] | --device-library PATH]\n"
         "\n"
         "Operator console for a motorised positioning stage whose axes are USB servo\n"
         "controllers. Without an option the controllers are reached through the vendor's\n"
         "USB device library, " +
         std::string(kDefaultDeviceLibrary) +
         ", found on the system's library path.\n"
         "\n"
         "Options:\n"
         "  --simulate N             run on N built-in simulated controllers (1 to " +
         std::to_string(kMaxSimulatedControllers) +
         ")\n"
         "  --device-library PATH    load a vendor-compatible USB device library\n"
         "  --render-windows DIR     render the three windows on simulated controllers\n"
         "                           (3 unless --simulate says otherwise) to\n"
         "                           DIR/motor-settings.png, DIR/main-window.png and\n"
         "                           DIR/axis-controls.png, then end\n"
         "  -h, --help               show this help and end\n"
         "  -v, --version            show the version and end\n" +
         std::string(sim::kScenarioUsage) +
         "\n"
         "Keys:\n"
         "  Esc                      stop every axis, from any window of the console and\n"
         "                           whatever has the focus: while Esc is held, every\n"
         "                           axis gets what a held STOP gives\n";
}

}  // namespace stage::app
