#include <cstdio>

#include "stage/usb/device_library.h"

namespace stage::usb {

std::string UsbStatusName(int status) {
  switch (status) {
    case SI_SUCCESS: return "SI_SUCCESS";
    case SI_INVALID_HANDLE: return "SI_INVALID_HANDLE";
    case SI_READ_ERROR: return "SI_READ_ERROR";
    case SI_WRITE_ERROR: return "SI_WRITE_ERROR";
    case SI_INVALID_PARAMETER: return "SI_INVALID_PARAMETER";
    case SI_DEVICE_IO_FAILED: return "SI_DEVICE_IO_FAILED";
    case SI_READ_TIMED_OUT: return "SI_READ_TIMED_OUT";
    case SI_WRITE_TIMED_OUT: return "SI_WRITE_TIMED_OUT";
    case SI_DEVICE_NOT_FOUND: return "SI_DEVICE_NOT_FOUND";
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(status));
  return text;
}

std::string PrintableText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '"' && c != '\\') {
      text += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text;
}

}  // namespace stage::usb
