#include "stage/control/line_framer.h"

namespace stage::control {

void LineFramer::Append(std::string_view bytes) {
  if (skipping_) {
    // Dropped as they come, up to the end of the over-long line.
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) return;
    skipping_ = false;
    bytes.remove_prefix(end + 1);
  }
  // What was taken is dropped before the buffer grows.
  if (start_ > 0 && (start_ == buffer_.size() || start_ >= buffer_.size() / 2)) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  buffer_.append(bytes);
}

LineFramer::Next LineFramer::TakeNext(std::string_view& line) {
  const std::string_view held = std::string_view(buffer_).substr(start_);
  const std::size_t end = held.find('\n', scanned_);
  if (end == std::string_view::npos) {
    if (held.size() <= kMaxLineBytes) {
      scanned_ = held.size();
      return Next::kNone;
    }
    // No end within the bound: reported now, the rest dropped as it comes.
    buffer_.clear();
    start_ = 0;
    scanned_ = 0;
    skipping_ = true;
    return Next::kTooLong;
  }
  start_ += end + 1;
  scanned_ = 0;
  std::string_view taken = held.substr(0, end);
  if (!taken.empty() && taken.back() == '\r') taken.remove_suffix(1);
  if (taken.size() > kMaxLineBytes) return Next::kTooLong;
  line = taken;
  return Next::kLine;
}

}  // namespace stage::control
