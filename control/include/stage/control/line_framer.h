// Cuts a client's byte stream into lines, each bounded: a line longer than
// kMaxLineBytes is reported once and the rest of it is dropped as it comes,
// so that a client can never make the console hold more than one line's
// worth of its bytes (plus what one read brought).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace stage::control {

class LineFramer {
 public:
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

  enum class Next : unsigned char {
    kNone,     // no whole line yet
    kLine,     // `line` is the next line, without its "\n" (and a "\r" before it)
    kTooLong,  // a line passed kMaxLineBytes; it is skipped up to its end
  };

  void Append(std::string_view bytes);
  // The next line: valid until the next call of Append or TakeNext.
  Next TakeNext(std::string_view& line);
  // Bytes held and not yet taken.
  std::size_t Buffered() const { return buffer_.size() - start_; }

 private:
  std::string buffer_;
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;  // bytes after start_ known to hold no "\n"
  bool skipping_ = false;   // inside an over-long line, already reported
};

}  // namespace stage::control
