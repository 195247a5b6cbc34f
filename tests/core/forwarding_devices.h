// A device library that forwards every call to another one and leaves the
// exchange with every axis to the sequential default: the one-after-another
// reference for a backend that overlaps, and a base for test libraries that
// change one call.
#pragma once

#include "stage/usb/device_library.h"

namespace stage::usb::test {

class ForwardingDevices : public DeviceLibrary {
 public:
  explicit ForwardingDevices(DeviceLibrary& library) : library_(library) {}

  int GetNumDevices(std::uint32_t& count) override { return library_.GetNumDevices(count); }
  int GetProductString(std::uint32_t device, std::span<std::uint8_t, kProductStringBufferSize> buffer,
                       std::uint32_t option) override {
    return library_.GetProductString(device, buffer, option);
  }
  int SetTimeouts(std::uint32_t read_ms, std::uint32_t write_ms) override {
    return library_.SetTimeouts(read_ms, write_ms);
  }
  int Open(std::uint32_t device, Handle& handle) override { return library_.Open(device, handle); }
  int Close(Handle handle) override { return library_.Close(handle); }
  int Write(Handle handle, const std::uint8_t* buffer, std::uint32_t to_write, std::uint32_t& written) override {
    return library_.Write(handle, buffer, to_write, written);
  }
  int Read(Handle handle, std::uint8_t* buffer, std::uint32_t to_read, std::uint32_t& read) override {
    return library_.Read(handle, buffer, to_read, read);
  }
  std::string FailureAdvice() const override { return library_.FailureAdvice(); }
  std::string DevicePort(std::uint32_t device) const override { return library_.DevicePort(device); }

 private:
  DeviceLibrary& library_;
};

}  // namespace stage::usb::test
