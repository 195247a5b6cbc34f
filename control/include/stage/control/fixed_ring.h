// A fixed number of records, kept in place: the tick puts what it saw here
// (no allocation, no I/O), and the GUI thread takes them after the tick and
// writes them out. When the ring is full a record is dropped and counted,
// so that the writer can say how many were lost. One thread only.
#pragma once

#include <array>
#include <cstddef>

namespace stage::control {

template <typename Record, std::size_t kCapacity>
class FixedRing {
 public:
  static_assert(kCapacity > 0);

  // False (the record dropped and counted) when the ring is full.
  bool Push(const Record& record) noexcept {
    if (count_ == kCapacity) {
      ++dropped_;
      return false;
    }
    records_[(first_ + count_) % kCapacity] = record;
    ++count_;
    return true;
  }

  // Hands every record to `take`, oldest first, and empties the ring.
  template <typename Take>
  void Drain(Take&& take) {
    while (count_ > 0) {
      const Record record = records_[first_];
      first_ = (first_ + 1) % kCapacity;
      --count_;
      take(record);
    }
  }

  // Records dropped since the last call.
  std::size_t TakeDropped() noexcept {
    const std::size_t dropped = dropped_;
    dropped_ = 0;
    return dropped;
  }

  std::size_t Size() const noexcept { return count_; }
  bool Empty() const noexcept { return count_ == 0; }

 private:
  std::array<Record, kCapacity> records_{};
  std::size_t first_ = 0;
  std::size_t count_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace stage::control
