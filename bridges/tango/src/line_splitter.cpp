#include "stage/tango_bridge/line_splitter.h"

namespace stage::tango_bridge {

void LineSplitter::Feed(std::string_view bytes, const std::function<void(std::string_view)>& on_line,
                        const std::function<void()>& on_overlong) {
  while (!bytes.empty()) {
    const auto end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!skipping_) {
      if (partial_.size() + piece.size() > max_line_bytes_) {
        partial_.clear();
        skipping_ = true;
        on_overlong();
      } else {
        partial_.append(piece);
      }
    }
    if (end == std::string_view::npos) return;
    bytes.remove_prefix(end + 1);
    if (skipping_) {
      skipping_ = false;
      continue;
    }
    std::string_view line = partial_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    on_line(line);
    partial_.clear();
  }
}

}  // namespace stage::tango_bridge
