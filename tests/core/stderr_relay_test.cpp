// A stderr that nobody reads must not hold the program up: with the relay, a
// child that writes far more than any pipe holds to a FIFO nobody reads still
// runs to its end and exits within the relay's drain bound; what a reader
// does read arrives whole and in order.
#include "app/stderr_relay.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// A FIFO in a fresh folder, removed afterwards.
class Fifo {
 public:
  Fifo() {
    char folder[] = "/tmp/stderr_relay_XXXXXX";
    if (::mkdtemp(folder) != nullptr) folder_ = folder;
    path_ = folder_ + "/stderr";
    ok_ = !folder_.empty() && ::mkfifo(path_.c_str(), 0600) == 0;
  }
  ~Fifo() {
    ::unlink(path_.c_str());
    ::rmdir(folder_.c_str());
  }
  Fifo(const Fifo&) = delete;
  Fifo& operator=(const Fifo&) = delete;
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }

 private:
  std::string folder_;
  std::string path_;
  bool ok_ = false;
};

// Forks a child whose stderr is `fd`; it installs the relay (or not), writes
// `lines` numbered lines of 100 bytes and exits 0.
pid_t StartWriter(int fd, bool relay, int lines) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  ::dup2(fd, STDERR_FILENO);
  if (relay && !stage::app::InstallStderrRelay(std::chrono::milliseconds(200))) ::_exit(3);
  for (int i = 0; i < lines; ++i) std::fprintf(stderr, "line %06d %089d\n", i, 0);
  std::exit(0);  // the relay's drain runs at exit
}

// The child's exit status, or -1 if it has not ended by `limit`.
int WaitFor(pid_t child, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    ::usleep(5000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return -1;
}

TEST(StderrRelayTest, AStderrNobodyReadsNeverHoldsTheProgram) {
  Fifo fifo;
  ASSERT_TRUE(fifo.ok());
  // Held open for reading and never read: writers neither fail nor get
  // through.
  const int stuck = ::open(fifo.path().c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(stuck, 0);
  // 4 MB: more than the relay's pipe and the FIFO together.
  const pid_t with_relay = StartWriter(stuck, true, 40000);
  EXPECT_EQ(WaitFor(with_relay, std::chrono::seconds(20)), 0) << "the writer with the relay did not end";
  // The fault it mends: without the relay the same writer waits for ever.
  const pid_t without = StartWriter(stuck, false, 40000);
  EXPECT_EQ(WaitFor(without, std::chrono::seconds(2)), -1) << "the writer without the relay was expected to wait";
  ::close(stuck);
}

TEST(StderrRelayTest, AReaderGetsEveryLineInOrder) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const pid_t child = StartWriter(ends[1], true, 500);
  ::close(ends[1]);
  std::string got;
  char buffer[4096];
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (;;) {
    pollfd p{ends[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) {
      if (Clock::now() > deadline) break;
      continue;
    }
    const ssize_t n = ::read(ends[0], buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(ends[0]);
  EXPECT_EQ(WaitFor(child, std::chrono::seconds(5)), 0);
  std::string expected;
  char line[128];
  for (int i = 0; i < 500; ++i) {
    std::snprintf(line, sizeof line, "line %06d %089d\n", i, 0);
    expected += line;
  }
  EXPECT_EQ(got, expected);
}

TEST(StderrRelayTest, AStderrWhoseReaderIsGoneEndsNothing) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  ::close(ends[0]);  // EPIPE (and SIGPIPE) for whoever writes there
  const pid_t child = StartWriter(ends[1], true, 1000);
  ::close(ends[1]);
  EXPECT_EQ(WaitFor(child, std::chrono::seconds(20)), 0);
}

}  // namespace
