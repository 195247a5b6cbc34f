// A fault-injecting device library for tests: every answer the console gets
// (statuses, counts, product strings, handles, byte counts, replies) comes
// from a Plan, written by hand for one fault or drawn from a seed for a
// random campaign. It also watches the console's side of the boundary: any
// call with a handle it never gave out, or already closed, is counted as
// misuse.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "stage/usb/device_library.h"

namespace stage::hostile {

struct Plan {
  int count_status = 0;
  std::uint32_t count = 2;
  // Per device; devices beyond the vectors get "HosX" (X = 'A' + device),
  // status 0 and handle 0x100 + device.
  std::vector<std::string> product_strings{};
  std::vector<int> product_status{};  // a failing call leaves the buffer untouched
  std::vector<int> open_status{};
  std::vector<usb::Handle> open_handles{};  // written back whatever the status
  // Transfers (writes and reads counted together, 1-based): transfer
  // `fault_at` returns `fault_status` and reports `fault_count` bytes; 0 is
  // no fault.
  std::uint64_t fault_at = 0;
  int fault_status = usb::SI_DEVICE_IO_FAILED;
  std::uint32_t fault_count = 0;
  // Replies are random bytes instead of an axis at rest at 0.
  bool random_replies = false;

  // A plan drawn from `seed`: mostly working controllers, with hostile
  // statuses, counts, strings, handles and transfers mixed in.
  static Plan FromSeed(std::uint64_t seed);
  std::string Describe() const;
};

class HostileDevices final : public usb::DeviceLibrary {
 public:
  explicit HostileDevices(Plan plan, std::uint64_t seed = 1) : plan_(std::move(plan)), random_(seed) {}

  int GetNumDevices(std::uint32_t& count) override;
  int GetProductString(std::uint32_t device, std::span<std::uint8_t, usb::kProductStringBufferSize> buffer,
                       std::uint32_t option) override;
  int SetTimeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) override;
  int Open(std::uint32_t device, usb::Handle& handle) override;
  int Close(usb::Handle handle) override;
  int Write(usb::Handle handle, const std::uint8_t* buffer, std::uint32_t to_write,
            std::uint32_t& written) override;
  int Read(usb::Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read) override;

  const Plan& plan() const { return plan_; }
  std::uint64_t calls = 0;
  std::uint64_t transfers = 0;
  std::uint64_t misuse = 0;  // a handle not given out, or already closed
  std::vector<usb::Handle> given;  // every handle Open reported success with, in order
  std::vector<usb::Handle> closed;

 private:
  bool Usable(usb::Handle handle);
  std::string ProductString(std::uint32_t device) const;

  Plan plan_;
  std::mt19937_64 random_;
  std::multiset<usb::Handle> open_;
};

}  // namespace stage::hostile
