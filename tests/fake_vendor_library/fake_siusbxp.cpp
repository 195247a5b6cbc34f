// A stand-in for the vendor's USB device library: the seven SI_ functions
// with the vendor's Linux ABI, answering as the tests script them. Built a
// second time without SI_Read to prove a missing function is reported.
#include "fake_siusbxp.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned int kProductBufferSize = 257;
constexpr unsigned int kKeptBytes = 256;

enum Function { kGetNumDevices, kGetProductString, kSetTimeouts, kOpen, kClose, kRead, kWrite,
                kFunctionCount };
constexpr const char* kNames[kFunctionCount] = {"SI_GetNumDevices", "SI_GetProductString",
                                                "SI_SetTimeouts",   "SI_Open",
                                                "SI_Close",         "SI_Read",
                                                "SI_Write"};

// One library instance per test process, so its script is plain process state.
struct Script {
  int status[kFunctionCount] = {};
  unsigned int devices = 0;
  unsigned char product[kProductBufferSize] = {};
  unsigned int product_length = 0;
  void* open_handle = nullptr;
  unsigned char reply[kKeptBytes] = {};
  unsigned int reply_length = 0;
  bool reply_set = false;
  bool write_scribbles = false;
  unsigned char written[kKeptBytes] = {};
  unsigned int written_length = 0;
  FakeCall last = {};
};
Script script;

int Record(Function function) {
  const unsigned int calls = script.last.calls + 1;
  script.last = FakeCall{};
  script.last.function = kNames[function];
  script.last.calls = calls;
  return script.status[function];
}

}  // namespace

extern "C" {

FAKE_EXPORT void fake_reset(void) { script = Script{}; }

FAKE_EXPORT void fake_set_status(const char* function, int status) {
  for (int k = 0; k < kFunctionCount; ++k) {
    if (std::strcmp(kNames[k], function) == 0) script.status[k] = status;
  }
}

FAKE_EXPORT void fake_set_devices(unsigned int count) { script.devices = count; }

FAKE_EXPORT void fake_set_product_string(const void* bytes, unsigned int length) {
  script.product_length = std::min(length, kProductBufferSize);
  std::memcpy(script.product, bytes, script.product_length);
}

FAKE_EXPORT void fake_set_open_handle(void* handle) { script.open_handle = handle; }

FAKE_EXPORT void fake_set_reply(const void* bytes, unsigned int length) {
  script.reply_length = std::min(length, kKeptBytes);
  std::memcpy(script.reply, bytes, script.reply_length);
  script.reply_set = true;
}

FAKE_EXPORT void fake_set_write_scribbles(int scribbles) { script.write_scribbles = scribbles != 0; }

FAKE_EXPORT const FakeCall* fake_last_call(void) { return &script.last; }

FAKE_EXPORT const unsigned char* fake_written_bytes(unsigned int* length) {
  *length = script.written_length;
  return script.written;
}

FAKE_EXPORT int SI_GetNumDevices(unsigned int* count) {
  const int status = Record(kGetNumDevices);
  script.last.count_pointer = count;
  if (status == 0) *count = script.devices;
  return status;
}

FAKE_EXPORT int SI_GetProductString(unsigned int device, void* buffer, unsigned int options) {
  const int status = Record(kGetProductString);
  script.last.device = device;
  script.last.buffer = buffer;
  script.last.length = options;
  if (status == 0) std::memcpy(buffer, script.product, script.product_length);
  return status;
}

FAKE_EXPORT int SI_SetTimeouts(unsigned int readMs, unsigned int writeMs) {
  const int status = Record(kSetTimeouts);
  script.last.read_timeout_ms = readMs;
  script.last.write_timeout_ms = writeMs;
  return status;
}

FAKE_EXPORT int SI_Open(unsigned int device, void** handle) {
  const int status = Record(kOpen);
  script.last.device = device;
  script.last.count_pointer = handle;
  if (status == 0) *handle = script.open_handle;
  return status;
}

FAKE_EXPORT int SI_Close(void* handle) {
  const int status = Record(kClose);
  script.last.handle = handle;
  return status;
}

#ifndef FAKE_WITHOUT_SI_READ
FAKE_EXPORT int SI_Read(void* handle, void* buffer, unsigned int toRead, unsigned int* read,
                        void* overlapped) {
  const int status = Record(kRead);
  script.last.handle = handle;
  script.last.buffer = buffer;
  script.last.length = toRead;
  script.last.count_pointer = read;
  script.last.overlapped = overlapped;
  const unsigned char* source = script.reply_set ? script.reply : script.written;
  const unsigned int available = script.reply_set ? script.reply_length : script.written_length;
  const unsigned int count = std::min(toRead, available);
  std::memcpy(buffer, source, count);
  *read = count;
  return status;
}
#endif

FAKE_EXPORT int SI_Write(void* handle, void* buffer, unsigned int toWrite, unsigned int* written,
                         void* overlapped) {
  const int status = Record(kWrite);
  script.last.handle = handle;
  script.last.buffer = buffer;
  script.last.length = toWrite;
  script.last.count_pointer = written;
  script.last.overlapped = overlapped;
  script.written_length = std::min(toWrite, kKeptBytes);
  std::memcpy(script.written, buffer, script.written_length);
  if (script.write_scribbles) std::memset(buffer, 0xEE, toWrite);
  *written = toWrite;
  return status;
}

}  // extern "C"
