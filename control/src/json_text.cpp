#include "stage/control/json_text.h"

#include <charconv>
#include <cmath>

#include "stage/control/request.h"

namespace stage::control::json_text {

void AppendString(std::string& out, std::string_view text) {
  if (!ValidUtf8(text)) {
    // Never for the console's own texts; replaced as Dump replaces them.
    out += Dump(Json(std::string(text)));
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4U];
          out += kHex[byte & 0xFU];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void AppendDouble(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  const std::string_view written(text, error == std::errc{} ? static_cast<std::size_t>(end - text) : 0);
  out += written;
  if (written.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void AppendInteger(std::string& out, std::int64_t value) {
  char text[24];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  out.append(text, error == std::errc{} ? static_cast<std::size_t>(end - text) : 0);
}

}  // namespace stage::control::json_text
