#include "stage/control/event_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "stage/usb/device_library.h"

namespace stage::control {

EventLog::EventLog(Writer to_stderr) : to_stderr_(std::move(to_stderr)) {
  if (!to_stderr_) {
    to_stderr_ = [](const std::string& line) { std::fputs(line.c_str(), stderr); };
  }
  thread_ = std::thread([this] { Run(); });
}

EventLog::~EventLog() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  if (file_ != nullptr) std::fclose(file_);
}

bool EventLog::OpenFile(const std::string& path, std::string& error) {
  // Appended to, never truncated; created for the user alone.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    error = "cannot open the log file " + path + ": " + std::strerror(errno);
    return false;
  }
  // Blocking from here: only the log's thread writes.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = ::fdopen(fd, "a");
  if (file == nullptr) {
    error = "cannot open the log file " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  const std::lock_guard lock(mutex_);
  if (file_ != nullptr) {
    // The thread may be writing to the one it has: one file per run.
    std::fclose(file);
    error = "the log already has a file";
    return false;
  }
  file_ = file;
  return true;
}

std::string EventLog::TimeText(std::chrono::system_clock::time_point when) {
  const auto since_epoch = when.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds).count();
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  ::gmtime_r(&whole, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

void EventLog::Log(std::string_view text) { Log(text, std::chrono::system_clock::now()); }

void EventLog::Log(std::string_view text, std::chrono::system_clock::time_point when) {
  std::string line = TimeText(when);
  line += ' ';
  line += usb::PrintableText(text);
  line += '\n';
  {
    const std::lock_guard lock(mutex_);
    if (queue_.size() >= kMaxQueuedLines) {
      ++dropped_;
      return;
    }
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

bool EventLog::Flush(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return written_.wait_for(lock, limit, [this] { return queue_.empty() && in_hand_ == 0; });
}

void EventLog::Run() {
  std::vector<std::string> lines;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty() && stopping_) return;
    lines.assign(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    std::size_t dropped = dropped_;
    dropped_ = 0;
    in_hand_ = lines.size();
    std::FILE* file = file_;
    lock.unlock();
    if (dropped > 0) {
      lines.push_back(TimeText(std::chrono::system_clock::now()) + " (" + std::to_string(dropped) +
                      " log lines dropped: the log could not keep up)\n");
    }
    for (const std::string& line : lines) {
      to_stderr_("stage-console: " + line);
      if (file != nullptr) std::fputs(line.c_str(), file);
    }
    if (file != nullptr) std::fflush(file);
    lock.lock();
    in_hand_ = 0;
    written_.notify_all();
  }
}

}  // namespace stage::control
