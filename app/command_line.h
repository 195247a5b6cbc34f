// The program's command line: which device library backs the console. The
// windows themselves take no configuration; this is the operator's one way
// to pick the hardware. Without an option the console finds the controllers
// on USB itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stage/usb/usb_transport.h"

namespace stage::app {

// More simulated controllers than this make a start-up window far wider than
// any screen (each column is 2000 twips).
inline constexpr std::uint32_t kMaxSimulatedControllers = 32;
// --render-windows without --simulate renders this many controllers.
inline constexpr std::uint32_t kRenderedControllerCount = 3;
inline constexpr const char* kDefaultDeviceLibrary = "libSiUSBXp.so";

struct CommandLine {
  enum class Action { kRun, kRenderWindows, kListDevices, kHelp, kVersion, kError };
  enum class Backend { kNativeUsb, kSharedLibrary, kSimulated };

  // Largest members first: no padding between them.
  std::vector<usb::UsbId> usb_ids;                    // Backend::kNativeUsb; empty: the controllers' own
  std::string library_path = kDefaultDeviceLibrary;  // Backend::kSharedLibrary
  std::string render_dir;                             // Action::kRenderWindows
  std::string scenario;                               // Backend::kSimulated: faults to play
  std::string trace_path;                             // --trace: the exchange trace's file
  std::string profile_dir;                            // --profile-dir; empty: the user's own folder
  std::string control_path;                           // --control; empty: the default socket
  std::string log_path;                               // --log: the event log's file
  std::string admin_limits_path;                      // --admin-limits; empty: /etc/stage-console/limits.toml
  std::string error;                                  // Action::kError: what was wrong
  std::uint32_t simulated_count = 0;                  // Backend::kSimulated
  Action action = Action::kRun;
  Backend backend = Backend::kNativeUsb;
  bool open_scope = false;                            // --scope: the Scope opens at start
  bool no_profile = false;                            // --no-profile: nothing read, nothing saved
  bool no_control = false;                            // --no-control: no control API
  bool start = false;                                 // --start: OK pressed at once
};

// `arguments` are the words after the program name. Options take their value
// as the next word or after "=" (--simulate=3). --help and --version win over
// everything after them. --usb-id may be given more than once.
CommandLine ParseCommandLine(const std::vector<std::string>& arguments);

std::string HelpText(std::string_view program);

// --version in the GNU form: name and version, copyright, licence.
std::string VersionText(std::string_view program, std::string_view version);

// "10C4:EA61": four hex digits at most on each side, any case.
std::optional<usb::UsbId> ParseUsbId(std::string_view text);

}  // namespace stage::app
