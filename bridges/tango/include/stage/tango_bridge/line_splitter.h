// Cuts a byte stream from the console's socket into lines. A line longer
// than the bound is not kept: its bytes are skipped up to its end and it is
// reported as one overlong line, so that a console gone wrong cannot make the
// bridge grow without end.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace stage::tango_bridge {

class LineSplitter {
 public:
  explicit LineSplitter(std::size_t max_line_bytes) : max_line_bytes_(max_line_bytes) {}

  // Calls on_line for every whole line in `bytes` (without its "\n" or a
  // "\r" before it), on_overlong once for every line past the bound.
  void Feed(std::string_view bytes, const std::function<void(std::string_view)>& on_line,
            const std::function<void()>& on_overlong);

  // Forgets a partial line (a new connection starts clean).
  void Reset() {
    partial_.clear();
    skipping_ = false;
  }

 private:
  std::size_t max_line_bytes_;
  std::string partial_;
  bool skipping_ = false;
};

}  // namespace stage::tango_bridge
