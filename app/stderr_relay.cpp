#include "app/stderr_relay.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

namespace stage::app {
namespace {

// Room for bursts while the original stderr is slow: a megabyte of lines.
constexpr int kPipeBytes = 1 << 20;

int original_stderr = -1;
int relay_read = -1;
std::chrono::milliseconds drain_budget{0};
// Bytes the thread has taken from the pipe and not yet written out.
std::atomic<bool> copying{false};

bool WriteAll(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, static_cast<size_t>(size));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

void Relay() {
  // Signals are for the GUI thread; a reader gone from the original stderr
  // gives this thread EPIPE instead of ending the program.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  static char buffer[64 * 1024];
  bool out_open = true;
  for (;;) {
    const ssize_t got = ::read(relay_read, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    copying.store(true);
    // A stderr that is gone takes nothing more; the pipe is still emptied so
    // that the program's writes keep succeeding.
    if (out_open) out_open = WriteAll(original_stderr, buffer, got);
    copying.store(false);
  }
}

bool PipeEmpty() {
  int pending = 0;
  return ::ioctl(relay_read, FIONREAD, &pending) != 0 || pending == 0;
}

void DrainAtExit() {
  if (relay_read < 0) return;
  const auto deadline = std::chrono::steady_clock::now() + drain_budget;
  while ((!PipeEmpty() || copying.load()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace

void DrainStderrRelay() { DrainAtExit(); }

bool InstallStderrRelay(std::chrono::milliseconds drain) {
  if (original_stderr >= 0) return true;
  const int original = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
  if (original < 0) return false;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    ::close(original);
    return false;
  }
  ::fcntl(ends[1], F_SETPIPE_SZ, kPipeBytes);  // the default 64 KiB will do otherwise
  if (::fcntl(ends[1], F_SETFL, O_NONBLOCK) != 0 || ::dup2(ends[1], STDERR_FILENO) < 0) {
    ::close(ends[0]);
    ::close(ends[1]);
    ::close(original);
    return false;
  }
  ::close(ends[1]);
  original_stderr = original;
  relay_read = ends[0];
  drain_budget = drain;
  try {
    std::thread(Relay).detach();
  } catch (...) {
    // Without the thread, the original stderr is put back as it was.
    ::dup2(original, STDERR_FILENO);
    ::close(original);
    ::close(relay_read);
    original_stderr = relay_read = -1;
    return false;
  }
  std::atexit(DrainAtExit);
  return true;
}

}  // namespace stage::app
