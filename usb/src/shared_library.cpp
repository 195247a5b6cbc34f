#include "stage/usb/shared_library.h"

#include <dlfcn.h>

#include <array>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace stage::usb {
namespace {

static_assert(std::is_same_v<std::uint32_t, unsigned int>,
              "the vendor's DWORD is a 32-bit unsigned int");

// The one place where our handles and the library's HANDLE meet.
// NOLINTNEXTLINE(performance-no-int-to-ptr): the vendor's HANDLE travels as an integer by design
void* ToVendor(Handle handle) { return reinterpret_cast<void*>(handle); }
Handle FromVendor(void* handle) { return reinterpret_cast<Handle>(handle); }

template <typename Function>
bool Resolve(void* dl_handle, const char* name, Function& function,
             std::string& missing) {
  // POSIX guarantees that the object pointer dlsym returns converts to the
  // function pointer it stands for.
  function = reinterpret_cast<Function>(dlsym(dl_handle, name));
  if (function != nullptr) return true;
  missing += missing.empty() ? name : std::string(", ") + name;
  return false;
}

// Writes up to this size go through a copy on the stack; the 12-byte packets
// always do.
constexpr std::size_t kStackWriteBufferSize = 64;

}  // namespace

SharedLibraryLoad SharedLibrary::Load(const std::string& path) {
  dlerror();  // clear any earlier message
  void* dl_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (dl_handle == nullptr) {
    // glibc's reason already starts with the file name; others may not.
    const char* reason = dlerror();
    const std::string detail = reason != nullptr ? reason : "unknown reason";
    return {nullptr, "Cannot load the USB device library: " +
                         (detail.find(path) != std::string::npos ? detail
                                                                 : path + ": " + detail)};
  }

  EntryPoints entry;
  std::string missing;
  Resolve(dl_handle, "SI_GetNumDevices", entry.get_num_devices, missing);
  Resolve(dl_handle, "SI_GetProductString", entry.get_product_string, missing);
  Resolve(dl_handle, "SI_SetTimeouts", entry.set_timeouts, missing);
  Resolve(dl_handle, "SI_Open", entry.open, missing);
  Resolve(dl_handle, "SI_Close", entry.close, missing);
  Resolve(dl_handle, "SI_Read", entry.read, missing);
  Resolve(dl_handle, "SI_Write", entry.write, missing);
  if (!missing.empty()) {
    dlclose(dl_handle);
    return {nullptr, "The USB device library " + path + " does not export " + missing};
  }
  return {std::unique_ptr<SharedLibrary>(new SharedLibrary(path, dl_handle, entry)), {}};
}

SharedLibrary::SharedLibrary(std::string path, void* dl_handle,
                             const EntryPoints& entry_points)
    : path_(std::move(path)), dl_handle_(dl_handle), entry_(entry_points) {}

SharedLibrary::~SharedLibrary() { dlclose(dl_handle_); }

int SharedLibrary::GetNumDevices(std::uint32_t& count) {
  return entry_.get_num_devices(&count);
}

int SharedLibrary::GetProductString(std::uint32_t device,
                                    std::span<std::uint8_t, kProductStringBufferSize> buffer,
                                    std::uint32_t option) {
  return entry_.get_product_string(device, buffer.data(), option);
}

int SharedLibrary::SetTimeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) {
  return entry_.set_timeouts(read_timeout_ms, write_timeout_ms);
}

int SharedLibrary::Open(std::uint32_t device, Handle& handle) {
  void* vendor_handle = nullptr;
  const int status = entry_.open(device, &vendor_handle);
  handle = FromVendor(vendor_handle);
  if (status == SI_SUCCESS && vendor_handle == nullptr) return SI_INVALID_HANDLE;
  return status;
}

int SharedLibrary::Close(Handle handle) { return entry_.close(ToVendor(handle)); }

int SharedLibrary::Write(Handle handle, const std::uint8_t* buffer, std::uint32_t to_write,
                         std::uint32_t& written) {
  // The vendor's write takes a non-const buffer. It has no reason to write to
  // it, but our caller's bytes are const, so the library gets a copy.
  if (buffer == nullptr) return entry_.write(ToVendor(handle), nullptr, to_write, &written, nullptr);
  if (to_write <= kStackWriteBufferSize) {
    std::array<std::uint8_t, kStackWriteBufferSize> copy;
    std::memcpy(copy.data(), buffer, to_write);
    return entry_.write(ToVendor(handle), copy.data(), to_write, &written, nullptr);
  }
  std::vector<std::uint8_t> copy(buffer, buffer + to_write);
  return entry_.write(ToVendor(handle), copy.data(), to_write, &written, nullptr);
}

int SharedLibrary::Read(Handle handle, std::uint8_t* buffer, std::uint32_t to_read,
                        std::uint32_t& read) {
  return entry_.read(ToVendor(handle), buffer, to_read, &read, nullptr);
}

}  // namespace stage::usb
