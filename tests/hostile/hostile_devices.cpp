#include "tests/hostile/hostile_devices.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <sstream>

#include "stage/usb/packet_codec.h"

namespace stage::hostile {
namespace {

template <typename T>
T Pick(std::mt19937_64& random, const std::vector<T>& choices) {
  return choices[std::uniform_int_distribution<std::size_t>(0, choices.size() - 1)(random)];
}

bool Chance(std::mt19937_64& random, double p) { return std::bernoulli_distribution(p)(random); }

const std::vector<int> kHostileStatuses = {usb::SI_INVALID_HANDLE, usb::SI_DEVICE_NOT_FOUND, 0x10000, -1,
                                           INT_MIN, 0x7FFFFFFF};

template <typename T>
T At(const std::vector<T>& values, std::uint32_t device, T otherwise) {
  return device < values.size() ? values[device] : otherwise;
}

}  // namespace

Plan Plan::FromSeed(std::uint64_t seed) {
  std::mt19937_64 random(seed);
  Plan plan;
  plan.count_status = Chance(random, 0.9) ? 0 : Pick(random, kHostileStatuses);
  plan.count = Chance(random, 0.85) ? std::uniform_int_distribution<std::uint32_t>(1, 4)(random)
                                    : Pick<std::uint32_t>(random, {0, 64, 65, 1000, 0x80000000U, 0xFFFFFFFFU});
  const std::uint32_t devices = std::min<std::uint32_t>(plan.count, 64);
  std::string noise(300, '\0');
  for (char& c : noise) c = static_cast<char>(std::uniform_int_distribution<int>(1, 255)(random));
  // Every control character, C0 (but the zero that ends the text) with DEL,
  // and C1; and what a terminal would act on: clear the screen, return to
  // the line's start, back up, ring the bell.
  std::string c0;
  for (char c = 1; c < 0x20; ++c) c0 += c;
  c0 += '\x7F';
  std::string c1;
  for (int c = 0x80; c < 0xA0; ++c) c1 += static_cast<char>(c);
  const std::vector<std::string> strings = {"HosA", "<img src=/dev/zero>", "<b>bold</b>&amp;", "", "AB",
                                            noise, "\xC3\xA9t\xE9", "Ho\nst", c0, c1, "K\x1B[2J\r\b\a-1"};
  for (std::uint32_t k = 0; k < devices; ++k) {
    plan.product_strings.push_back(Chance(random, 0.6) ? "Hos" + std::string(1, static_cast<char>('A' + k % 26))
                                                       : Pick(random, strings));
    plan.product_status.push_back(Chance(random, 0.85) ? 0 : Pick(random, kHostileStatuses));
    plan.open_status.push_back(Chance(random, 0.95) ? 0 : Pick(random, kHostileStatuses));
    usb::Handle handle = 0x100 + k;
    if (Chance(random, 0.04)) handle = 0;
    if (k > 0 && Chance(random, 0.04)) handle = plan.open_handles[k - 1];
    plan.open_handles.push_back(handle);
  }
  if (Chance(random, 0.6)) {
    plan.fault_at = std::uniform_int_distribution<std::uint64_t>(1, 120)(random);
    plan.fault_status = Chance(random, 0.3) ? 0 : Pick(random, kHostileStatuses);
    plan.fault_count = Pick<std::uint32_t>(random, {0, 1, 11, 12, 13, 0xFFFFFFFFU});
  }
  plan.random_replies = Chance(random, 0.2);
  return plan;
}

std::string Plan::Describe() const {
  std::ostringstream text;
  text << "count " << count << " status " << count_status << "; fault at " << fault_at << " status "
       << fault_status << " count " << fault_count << (random_replies ? "; random replies" : "");
  for (std::size_t k = 0; k < open_handles.size(); ++k) {
    text << "; device " << k << " product status " << product_status[k] << " open status " << open_status[k]
         << " handle " << open_handles[k];
  }
  return text.str();
}

bool HostileDevices::Usable(usb::Handle handle) {
  if (open_.count(handle) != 0) return true;
  ++misuse;
  return false;
}

std::string HostileDevices::ProductString(std::uint32_t device) const {
  return At(plan_.product_strings, device, "Hos" + std::string(1, static_cast<char>('A' + device % 26)));
}

int HostileDevices::GetNumDevices(std::uint32_t& count) {
  ++calls;
  count = plan_.count;
  return plan_.count_status;
}

int HostileDevices::GetProductString(std::uint32_t device,
                                     std::span<std::uint8_t, usb::kProductStringBufferSize> buffer,
                                     std::uint32_t /*option*/) {
  ++calls;
  const int status = At(plan_.product_status, device, 0);
  if (status != 0) return status;
  const std::string text = ProductString(device);
  // Like the vendor's library: at most 256 bytes, terminated only when shorter.
  const std::size_t copied = std::min<std::size_t>(text.size(), buffer.size() - 1);
  std::memcpy(buffer.data(), text.data(), copied);
  if (copied < buffer.size() - 1) buffer[copied] = 0;
  return 0;
}

int HostileDevices::SetTimeouts(std::uint32_t /*read_timeout_ms*/, std::uint32_t /*write_timeout_ms*/) {
  ++calls;
  return 0;
}

int HostileDevices::Open(std::uint32_t device, usb::Handle& handle) {
  ++calls;
  handle = At(plan_.open_handles, device, usb::Handle{0x100} + device);
  const int status = At(plan_.open_status, device, 0);
  if (status == 0) {
    given.push_back(handle);
    open_.insert(handle);
  }
  return status;
}

int HostileDevices::Close(usb::Handle handle) {
  ++calls;
  closed.push_back(handle);
  if (!Usable(handle)) return usb::SI_INVALID_HANDLE;
  open_.erase(open_.find(handle));
  return 0;
}

int HostileDevices::Write(usb::Handle handle, const std::uint8_t* /*buffer*/, std::uint32_t to_write,
                          std::uint32_t& written) {
  ++calls;
  written = 0;
  if (!Usable(handle)) return usb::SI_INVALID_HANDLE;
  if (++transfers == plan_.fault_at) {
    written = plan_.fault_count;
    return plan_.fault_status;
  }
  written = to_write;
  return 0;
}

int HostileDevices::Read(usb::Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read) {
  ++calls;
  read = 0;
  if (!Usable(handle)) return usb::SI_INVALID_HANDLE;
  usb::Packet reply = usb::EncodeStatus({0, 0, 0});
  if (plan_.random_replies) {
    for (std::uint8_t& byte : reply) byte = static_cast<std::uint8_t>(random_());
  }
  const auto count = std::min<std::uint32_t>(to_read, usb::kPacketSize);
  std::memcpy(buffer, reply.data(), count);
  if (++transfers == plan_.fault_at) {
    read = plan_.fault_count;
    return plan_.fault_status;
  }
  read = count;
  return 0;
}

}  // namespace stage::hostile
