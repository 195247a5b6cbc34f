#include "app/last_resort.h"

#include "app/stderr_relay.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace stage::app {
namespace {

// Only write(2): no allocation is possible any more.
void Say(const char* text) {
  const std::size_t length = std::strlen(text);
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, text, length);
}

void OutOfMemory() {
  Say("stage-console: out of memory. Application is aborting.\n");
  DrainStderrRelay();  // allocates nothing
  std::_Exit(EXIT_FAILURE);
}

void Uncaught() {
  Say("stage-console: internal error");
  if (const std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::exception& error) {
      Say(": ");
      Say(error.what());
    } catch (...) {
    }
  }
  Say(". Application is aborting.\n");
  DrainStderrRelay();
  std::_Exit(EXIT_FAILURE);
}

}  // namespace

void InstallLastResortHandlers() {
  std::set_new_handler(&OutOfMemory);
  std::set_terminate(&Uncaught);
}

}  // namespace stage::app
