// One line of a client, read as a JSON-RPC 2.0 request, and the lines the
// console answers with. Everything a client sends is checked here before
// anything acts on it: the line is valid UTF-8, nested at most kMaxDepth
// deep, a single object (never a batch), with "jsonrpc": "2.0", a string
// method, params an object when present, and an id that is a string, a
// number or null.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace stage::control {

using Json = nlohmann::json;

// Stable error codes: clients test them, never the messages.
enum ErrorCode : int {
  kParseError = -32700,
  kInvalidRequest = -32600,
  kMethodNotFound = -32601,
  kInvalidParams = -32602,
  kInternalError = -32603,
  kNoControl = -32001,
  kBeyondLimit = -32002,
  kAxisUnknown = -32003,
  kConsoleEnding = -32004,
  kRemoteMovesRefused = -32005,
  kMoveRefused = -32006,
};

inline constexpr int kMaxDepth = 32;

struct Request {
  std::string method;
  Json params;    // an object (empty when the request had none)
  Json id;        // null when absent or null
  bool has_id = false;  // false: a notification, never answered
};

struct ParsedLine {
  bool ok = false;
  Request request;  // when ok
  // When not ok: the error to answer with; id is the request's id when it
  // could be read, else null.
  int code = 0;
  std::string message;
  Json id;
};

ParsedLine ParseRequestLine(std::string_view line);

// True when `bytes` are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool ValidUtf8(std::string_view bytes);

// Whole lines, "\n" included. A message naming what came from the client is
// the console's own text; Dump never throws on bytes that are not UTF-8
// (they are replaced).
std::string ResultLine(const Json& id, const Json& result);
std::string ErrorLine(const Json& id, int code, std::string_view message);
std::string NotificationLine(std::string_view method, const Json& params);
std::string Dump(const Json& value);

}  // namespace stage::control
