// stage-console-tango: the axes of a running stage-console as Tango devices.
// The console stays the one owner of the controllers; this program is a
// client of its control API.
#include <tango.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "devices.h"
#include "stage/tango_bridge/command_line.h"

namespace {
// Lives until the process ends: Tango ends the process from its own signal
// handling while devices may still publish.
stage::tango_bridge::Bridge* the_bridge = nullptr;
}  // namespace

void Tango::DServer::class_factory() {
  add_class(stage::tango_bridge::StageConsoleClass::Create(*the_bridge));
  add_class(stage::tango_bridge::StageAxisClass::Create(*the_bridge));
}

int main(int argc, char* argv[]) {
  using namespace stage::tango_bridge;
  const std::vector<std::string> args(argv, argv + argc);
  const std::string program = "stage-console-tango";
  const auto parsed = ParseCommandLine(args, DefaultControlPath(std::getenv("XDG_RUNTIME_DIR"), getuid()));
  if (!parsed.line) {
    std::cerr << program << ": " << parsed.error << "\n" << Usage(program);
    return 2;
  }
  if (parsed.line->help) {
    std::cout << Usage(program);
    return 0;
  }
  if (parsed.line->version) {
    std::cout << program << " " << STAGE_VERSION << "\n";
    return 0;
  }
  BridgeOptions options;
  options.socket_path = parsed.line->control_path;
  the_bridge = new Bridge(options);

  std::vector<std::string> tango_args = parsed.line->tango_args;
  std::vector<char*> tango_argv;
  tango_argv.reserve(tango_args.size() + 1);
  for (std::string& word : tango_args) tango_argv.push_back(word.data());
  tango_argv.push_back(nullptr);
  int tango_argc = static_cast<int>(tango_args.size());
  try {
    Tango::Util* tango = Tango::Util::init(tango_argc, tango_argv.data());
    tango->server_init(false);
    the_bridge->Start(&DevicePublisher::Instance());
    std::cout << "Ready to accept request" << std::endl;
    tango->server_run();
  } catch (const std::bad_alloc&) {
    std::cerr << program << ": out of memory\n";
    return 1;
  } catch (const CORBA::Exception& e) {
    Tango::Except::print_exception(e);
    return 1;
  }
  Tango::Util::instance()->server_cleanup();
  return 0;
}
