// One log of what happened, whatever its source: the operator's buttons and
// keys, the clients' commands, control changing hands, faults. Each line has
// its time (UTC, milliseconds) and is escaped (nothing in it can move a
// terminal's cursor); it goes to stderr and, when a file is given, to that
// file. The writing is done by a thread of its own: Log only queues, and a
// queue that is full (a stalled terminal or disk) drops lines and says how
// many when it can write again, so that the caller never waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace stage::control {

class EventLog {
 public:
  static constexpr std::size_t kMaxQueuedLines = 4096;
  // Where a finished line goes besides the file; by default stderr.
  using Writer = std::function<void(const std::string& line)>;

  explicit EventLog(Writer to_stderr = {});
  ~EventLog();  // writes what is queued, then ends the thread
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Lines from now on are also appended to this file; false with `error`
  // set when it cannot be opened.
  bool OpenFile(const std::string& path, std::string& error);

  // Queues "TIME text" (text escaped).
  void Log(std::string_view text);
  // The same with the time the event happened (recorded on the tick and
  // written after it).
  void Log(std::string_view text, std::chrono::system_clock::time_point when);
  // Waits until every line queued so far is written (tests, the end), at
  // most `limit`: false when the writing is stuck (a stalled terminal).
  bool Flush(std::chrono::milliseconds limit = std::chrono::seconds(2));

  static std::string TimeText(std::chrono::system_clock::time_point when);

 private:
  void Run();

  Writer to_stderr_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable written_;
  std::deque<std::string> queue_;
  std::size_t dropped_ = 0;
  std::size_t in_hand_ = 0;  // lines taken by the thread, not yet written
  bool stopping_ = false;
  std::FILE* file_ = nullptr;
  std::thread thread_;
};

}  // namespace stage::control
