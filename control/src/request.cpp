#include "stage/control/request.h"

#include <cstdint>

namespace stage::control {
namespace {

// How deep arrays and objects nest, counted outside strings; stops counting
// once past the bound.
int NestingDepth(std::string_view line) {
  int depth = 0;
  int deepest = 0;
  bool in_string = false;
  bool escaped = false;
  for (const char c : line) {
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > deepest) deepest = depth;
      if (deepest > kMaxDepth) return deepest;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return deepest;
}

ParsedLine Refused(int code, std::string message, Json id = nullptr) {
  ParsedLine parsed;
  parsed.code = code;
  parsed.message = std::move(message);
  parsed.id = std::move(id);
  return parsed;
}

}  // namespace

bool ValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int length = 0;
    std::uint32_t code = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
      code = c & 0x1FU;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      code = c & 0x0FU;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      code = c & 0x07U;
    } else {
      return false;
    }
    if (end - p < length) return false;
    for (int k = 1; k < length; ++k) {
      if ((p[k] & 0xC0U) != 0x80U) return false;
      code = (code << 6U) | (p[k] & 0x3FU);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    p += length;
  }
  return true;
}

ParsedLine ParseRequestLine(std::string_view line) {
  if (!ValidUtf8(line)) return Refused(kParseError, "The line is not valid UTF-8.");
  if (NestingDepth(line) > kMaxDepth) {
    return Refused(kParseError, "The request nests deeper than " + std::to_string(kMaxDepth) + " levels.");
  }
  Json value = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) return Refused(kParseError, "The line is not JSON.");
  if (value.is_array()) return Refused(kInvalidRequest, "Batches are not served: send one request per line.");
  if (!value.is_object()) return Refused(kInvalidRequest, "A request is a JSON object.");

  Json id = nullptr;
  bool has_id = false;
  if (const auto found = value.find("id"); found != value.end()) {
    if (!found->is_null() && !found->is_string() && !found->is_number()) {
      return Refused(kInvalidRequest, "The id must be a string, a number or null.");
    }
    id = *found;
    has_id = true;
  }
  const auto version = value.find("jsonrpc");
  if (version == value.end() || !version->is_string() || version->get_ref<const std::string&>() != "2.0") {
    return Refused(kInvalidRequest, R"(The request needs "jsonrpc": "2.0".)", id);
  }
  const auto method = value.find("method");
  if (method == value.end() || !method->is_string()) {
    return Refused(kInvalidRequest, "The request needs a method name (a string).", id);
  }
  Json params = Json::object();
  if (const auto found = value.find("params"); found != value.end()) {
    if (found->is_array()) {
      return Refused(kInvalidParams, "Params are named: give them as an object.", id);
    }
    if (!found->is_object()) return Refused(kInvalidRequest, "Params must be an object.", id);
    params = std::move(*found);
  }
  ParsedLine parsed;
  parsed.ok = true;
  parsed.request.method = method->get<std::string>();
  parsed.request.params = std::move(params);
  parsed.request.id = std::move(id);
  parsed.request.has_id = has_id;
  return parsed;
}

std::string Dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string ResultLine(const Json& id, const Json& result) {
  std::string line = R"({"jsonrpc":"2.0","id":)";
  line += Dump(id);
  line += R"(,"result":)";
  line += Dump(result);
  line += "}\n";
  return line;
}

std::string ErrorLine(const Json& id, int code, std::string_view message) {
  Json error = {{"code", code}, {"message", std::string(message)}};
  std::string line = R"({"jsonrpc":"2.0","id":)";
  line += Dump(id);
  line += R"(,"error":)";
  line += Dump(error);
  line += "}\n";
  return line;
}

std::string NotificationLine(std::string_view method, const Json& params) {
  std::string line = R"({"jsonrpc":"2.0","method":)";
  line += Dump(Json(std::string(method)));
  line += R"(,"params":)";
  line += Dump(params);
  line += "}\n";
  return line;
}

}  // namespace stage::control
