// Scripting side of the stand-in vendor library: the tests set what each SI_
// function answers and read back the arguments of the latest call.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

#define FAKE_EXPORT __attribute__((visibility("default")))

// The arguments of the latest SI_ call, as the library received them.
// NOLINTNEXTLINE(modernize-use-using): this header is also plain C
typedef struct FakeCall {
  const char* function;  // "SI_Open", ...; null before the first call
  unsigned int device;
  void* handle;
  void* buffer;
  unsigned int length;  // toRead, toWrite or the product-string option
  unsigned int read_timeout_ms;
  unsigned int write_timeout_ms;
  const void* count_pointer;  // where a count or handle is written back
  void* overlapped;
  unsigned int calls;  // SI_ calls since the last fake_reset
} FakeCall;

FAKE_EXPORT void fake_reset(void);
// The status the named SI_ function returns from now on (0 by default).
FAKE_EXPORT void fake_set_status(const char* function, int status);
FAKE_EXPORT void fake_set_devices(unsigned int count);
// SI_GetProductString copies exactly these bytes (at most 257), nothing more.
FAKE_EXPORT void fake_set_product_string(const void* bytes, unsigned int length);
FAKE_EXPORT void fake_set_open_handle(void* handle);
// SI_Read hands back these bytes; until set, it loops back the latest write.
FAKE_EXPORT void fake_set_reply(const void* bytes, unsigned int length);
// When set, SI_Write scribbles over the buffer it was given.
FAKE_EXPORT void fake_set_write_scribbles(int scribbles);
FAKE_EXPORT const FakeCall* fake_last_call(void);
// The bytes the latest SI_Write received (at most 256 are kept).
FAKE_EXPORT const unsigned char* fake_written_bytes(unsigned int* length);

#ifdef __cplusplus
}
#endif
