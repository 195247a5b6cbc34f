// Runs a command beside emulated controllers: builds the emulated bus, runs
// the command (which starts programs under libumockdev-preload.so, with
// UMOCKDEV_DIR inherited), answers their USB requests meanwhile, and ends
// with the command's status. Runs under the preload itself (umockdev-wrapper),
// or its remove events reach nobody; the command runs without it.
//
//   emulated_bus_run [--controller SPEC]... [--log FILE] [--log-times]
//                    [--latency-us US] [--unplug-on-usr1 N] -- COMMAND [ARG]...
//
// SPEC is SERIAL[,bus=B][,port=P[.P]...][,id=VVVV:PPPP][,locked][,busy]
// [,reply=twice|padded|overflow]. A
// locked controller's device file has mode 000, and the command runs without
// the root's right to override file modes, so it is refused as for any user
// without the access rule; a busy one refuses the claim of its interface, as
// when another program holds it; reply= makes every reply malformed
// (EmulatedBus::ReplyForm). \xNN in SERIAL is the byte NN, so that a
// serial number may hold control characters. Every USB event goes to FILE as "<serial> <event>".
// With --unplug-on-usr1, SIGUSR1 pulls out controller N (counted from 0 in
// the order given). --latency-us makes every controller answer that long
// after each command; --log-times puts the clock and the command bytes in
// the log (see EmulatedBus::LogTo).
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "tests/umockdev/emulated_bus.h"

namespace {

using stage::test::EmulatedBus;
using stage::test::EmulatedController;

// \xNN as the byte NN; everything else as it is.
std::string Unescape(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\\x") == 0 && i + 4 <= text.size()) {
      bytes += static_cast<char>(std::stoul(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

EmulatedController ParseController(const std::string& spec) {
  EmulatedController controller;
  std::stringstream parts(spec);
  std::string part;
  std::getline(parts, controller.serial, ',');
  controller.serial = Unescape(controller.serial);
  while (std::getline(parts, part, ',')) {
    if (part == "locked") {
      controller.locked = true;
    } else if (part == "busy") {
      controller.busy = true;
    } else if (part == "reply=twice" || part == "reply=padded" || part == "reply=overflow") {
      const EmulatedBus::ReplyForm form = part == "reply=twice"    ? EmulatedBus::ReplyForm::kTwice
                                          : part == "reply=padded" ? EmulatedBus::ReplyForm::kPaddedTo64
                                                                   : EmulatedBus::ReplyForm::kOverflow;
      controller.reply_form = static_cast<int>(form);
    } else if (part.starts_with("bus=")) {
      controller.bus = static_cast<std::uint8_t>(std::stoul(part.substr(4)));
    } else if (part.starts_with("port=")) {
      controller.port_path.clear();
      std::stringstream ports(part.substr(5));
      std::string port;
      while (std::getline(ports, port, '.')) controller.port_path.push_back(static_cast<std::uint8_t>(std::stoul(port)));
    } else if (part.starts_with("id=") && part.size() == 12) {
      controller.vendor_id = static_cast<std::uint16_t>(std::stoul(part.substr(3, 4), nullptr, 16));
      controller.product_id = static_cast<std::uint16_t>(std::stoul(part.substr(8, 4), nullptr, 16));
    } else {
      throw std::invalid_argument("unknown controller setting '" + part + "'");
    }
  }
  return controller;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<EmulatedController> controllers;
  std::string log;
  bool log_times = false;
  long latency_us = 0;
  int unplug = -1;
  int command = argc;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--" && i + 1 < argc) {
      command = i + 1;
      break;
    }
    if (word == "--log-times") {
      log_times = true;
      continue;
    }
    if (i + 1 == argc) break;
    if (word == "--latency-us") {
      latency_us = std::stol(argv[++i]);
    } else if (word == "--controller") {
      controllers.push_back(ParseController(argv[++i]));
    } else if (word == "--log") {
      log = argv[++i];
    } else if (word == "--unplug-on-usr1") {
      unplug = std::stoi(argv[++i]);
    }
  }
  if (command == argc) {
    std::fputs("usage: emulated_bus_run [--controller SPEC]... [--log FILE] -- COMMAND [ARG]...\n", stderr);
    return 2;
  }
  bool locked = false;
  for (const EmulatedController& controller : controllers) locked = locked || controller.locked;

  // SIGUSR1 is taken by a thread of its own: blocked here before any thread
  // starts, so every thread inherits the block.
  sigset_t usr1;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, nullptr);

  try {
    EmulatedBus bus(controllers);
    if (!log.empty()) bus.LogTo(log, log_times);
    for (std::size_t i = 0; i < bus.Size(); ++i) bus.SetReplyLatency(i, std::chrono::microseconds(latency_us));
    std::atomic<bool> ended{false};
    std::thread unplugger([&] {
      int signal = 0;
      sigwait(&usr1, &signal);
      if (!ended && unplug >= 0) bus.Unplug(static_cast<std::size_t>(unplug));
    });
    const pid_t child = fork();
    if (child == 0) {
      pthread_sigmask(SIG_UNBLOCK, &usr1, nullptr);
      unsetenv("LD_PRELOAD");
      if (locked && geteuid() == 0) {
        // Root reads any file whatever its mode; without these two rights
        // it meets the device file's mode like everyone else.
        prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
        prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
      }
      execvp(argv[command], argv + command);
      std::perror(argv[command]);
      std::_Exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ended = true;
    kill(getpid(), SIGUSR1);
    unplugger.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "emulated_bus_run: %s\n", error.what());
    return 2;
  }
}
