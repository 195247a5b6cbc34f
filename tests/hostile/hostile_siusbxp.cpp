// The hostile device library behind the vendor's ABI, for tests of the whole
// program (--device-library): controllers that answer like an axis at rest,
// set up from the environment, with every close written to a log file so a
// test can see which controllers the program gave back before it ended.
//   HOSTILE_COUNT      controllers reported (default 3)
//   HOSTILE_OPEN_FAIL  the controller whose open fails (default none)
//   HOSTILE_LOG        file that receives "close <handle>" lines
#include <cstdio>
#include <cstdlib>
#include <span>

#include "tests/hostile/hostile_devices.h"

#define HOSTILE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

stage::hostile::Plan PlanFromEnvironment() {
  stage::hostile::Plan plan;
  if (const char* count = std::getenv("HOSTILE_COUNT")) plan.count = static_cast<std::uint32_t>(std::atoi(count));
  if (const char* fail = std::getenv("HOSTILE_OPEN_FAIL")) {
    plan.open_status.assign(static_cast<std::size_t>(std::atoi(fail)) + 1, 0);
    plan.open_status.back() = stage::usb::SI_DEVICE_NOT_FOUND;
  }
  return plan;
}

// Made when the library is loaded, like a vendor library's own state.
stage::hostile::HostileDevices g_devices(PlanFromEnvironment());
stage::hostile::HostileDevices& Devices() { return g_devices; }

// NOLINTNEXTLINE(performance-no-int-to-ptr): the vendor's HANDLE travels as an integer
stage::usb::Handle FromVendor(void* handle) { return reinterpret_cast<stage::usb::Handle>(handle); }

}  // namespace

HOSTILE_EXPORT int SI_GetNumDevices(unsigned int* count) { return Devices().GetNumDevices(*count); }

HOSTILE_EXPORT int SI_GetProductString(unsigned int device, void* buffer, unsigned int options) {
  return Devices().GetProductString(
      device, std::span<std::uint8_t, stage::usb::kProductStringBufferSize>(static_cast<std::uint8_t*>(buffer),
                                                                            stage::usb::kProductStringBufferSize),
      options);
}

HOSTILE_EXPORT int SI_SetTimeouts(unsigned int read_ms, unsigned int write_ms) {
  return Devices().SetTimeouts(read_ms, write_ms);
}

HOSTILE_EXPORT int SI_Open(unsigned int device, void** handle) {
  stage::usb::Handle opened = 0;
  const int status = Devices().Open(device, opened);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the vendor's HANDLE travels as an integer
  *handle = reinterpret_cast<void*>(opened);
  return status;
}

HOSTILE_EXPORT int SI_Close(void* handle) {
  if (const char* path = std::getenv("HOSTILE_LOG")) {
    if (std::FILE* log = std::fopen(path, "a")) {
      std::fprintf(log, "close %#lx\n", static_cast<unsigned long>(FromVendor(handle)));
      std::fclose(log);
    }
  }
  return Devices().Close(FromVendor(handle));
}

HOSTILE_EXPORT int SI_Read(void* handle, void* buffer, unsigned int to_read, unsigned int* read, void* /*overlapped*/) {
  return Devices().Read(FromVendor(handle), static_cast<std::uint8_t*>(buffer), to_read, *read);
}

HOSTILE_EXPORT int SI_Write(void* handle, void* buffer, unsigned int to_write, unsigned int* written,
                            void* /*overlapped*/) {
  return Devices().Write(FromVendor(handle), static_cast<const std::uint8_t*>(buffer), to_write, *written);
}
