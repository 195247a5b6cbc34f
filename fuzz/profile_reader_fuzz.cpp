// A profile is a file anyone can edit or damage. This target checks that
// the reader never crashes or hangs on any bytes, that it gives either a
// profile or one message (naming the file, on one line, without
// control characters), and that a profile
// it accepts is written and read back unchanged, the second text equal to
// the first.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "stage/profile/controller_profile.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view input, const std::string& detail) {
  std::fprintf(stderr, "%s\n  input (%zu bytes): \"%.*s\"\n  %s\n", what, input.size(),
               static_cast<int>(input.size() > 400 ? 400 : input.size()), input.data(), detail.c_str());
  std::abort();
}

constexpr std::string_view kFile = "controllers/FUZZ.toml";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const stage::profile::ProfileReading reading = stage::profile::ReadProfile(input, kFile);
  if (!reading.profile) {
    const std::string& message = reading.error.message;
    if (message.rfind(kFile, 0) != 0) Fail("the message does not name the file", input, message);
    for (const char c : message) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) Fail("the message holds a control character", input, message);
    }
    return 0;
  }
  const std::string text = stage::profile::WriteProfile(*reading.profile);
  const stage::profile::ProfileReading again = stage::profile::ReadProfile(text, kFile);
  if (!again.profile) Fail("a written profile is refused", input, again.error.message + "\n" + text);
  if (!(*again.profile == *reading.profile)) Fail("a written profile reads back changed", input, text);
  if (stage::profile::WriteProfile(*again.profile) != text) Fail("writing again changes the text", input, text);
  return 0;
}
