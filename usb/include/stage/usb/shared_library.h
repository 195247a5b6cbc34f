// The vendor-compatible USB device library, loaded at run time. Any shared
// library that exports the seven SI_ functions with the vendor's Linux ABI
// will do: the vendor's own libSiUSBXp.so, or a stand-in built for tests.
#pragma once

#include <memory>
#include <string>

#include "stage/usb/device_library.h"

namespace stage::usb {

class SharedLibrary;

struct SharedLibraryLoad {
  std::unique_ptr<SharedLibrary> library;  // set on success
  std::string error;  // set exactly when library is empty; names the file or the symbol
};

class SharedLibrary final : public DeviceLibrary {
 public:
  // A name without a slash is looked up on the system's library path.
  static constexpr const char* kDefaultLibraryName = "libSiUSBXp.so";

  // Loads the library and resolves all seven functions. Never throws; a file
  // that cannot be loaded or a function it lacks comes back as the error.
  static SharedLibraryLoad Load(const std::string& path = kDefaultLibraryName);

  ~SharedLibrary() override;
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  const std::string& path() const { return path_; }

  int GetNumDevices(std::uint32_t& count) override;
  int GetProductString(std::uint32_t device,
                       std::span<std::uint8_t, kProductStringBufferSize> buffer,
                       std::uint32_t option) override;
  int SetTimeouts(std::uint32_t read_timeout_ms, std::uint32_t write_timeout_ms) override;
  // A library that reports success with a null handle gets SI_INVALID_HANDLE
  // back instead: 0 is never a valid handle here.
  int Open(std::uint32_t device, Handle& handle) override;
  int Close(Handle handle) override;
  int Write(Handle handle, const std::uint8_t* buffer, std::uint32_t to_write,
            std::uint32_t& written) override;
  int Read(Handle handle, std::uint8_t* buffer, std::uint32_t to_read,
           std::uint32_t& read) override;

 private:
  // The vendor's Linux ABI: DWORD is unsigned int, HANDLE is void*, every
  // function returns its status as int.
  struct EntryPoints {
    int (*get_num_devices)(unsigned int* count) = nullptr;
    int (*get_product_string)(unsigned int device, void* buffer, unsigned int options) = nullptr;
    int (*set_timeouts)(unsigned int read_ms, unsigned int write_ms) = nullptr;
    int (*open)(unsigned int device, void** handle) = nullptr;
    int (*close)(void* handle) = nullptr;
    int (*read)(void* handle, void* buffer, unsigned int to_read, unsigned int* read,
                void* overlapped) = nullptr;
    int (*write)(void* handle, void* buffer, unsigned int to_write, unsigned int* written,
                 void* overlapped) = nullptr;
  };

  SharedLibrary(std::string path, void* dl_handle, const EntryPoints& entry_points);

  std::string path_;
  void* dl_handle_;
  EntryPoints entry_;
};

}  // namespace stage::usb
