// A JSON-RPC 2.0 client of the console's control API over its Unix socket
// (docs/control.md): one JSON object per line. One reader thread takes every
// line off the socket and hands answers to the callers waiting for them and
// notifications to a handler; callers on any thread send requests and wait
// for their answer within a bound. A broken connection fails every waiting
// call at once and is reported once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

namespace stage::tango_bridge {

// Codes of the control API's errors that the bridge tells apart, and two of
// its own for what happens on this side of the socket.
namespace rpc_code {
inline constexpr int kNoControl = -32001;
inline constexpr int kTravelLimit = -32002;
inline constexpr int kAxisUnknown = -32003;
inline constexpr int kConsoleEnding = -32004;
inline constexpr int kRemoteMovesRefused = -32005;
inline constexpr int kControllerRefused = -32006;
// Not the console's: no connection, or it broke while the call waited.
inline constexpr int kNotConnected = -1;
// Not the console's: no answer within the call's bound.
inline constexpr int kTimedOut = -2;
// Not the console's: an answer that does not follow the protocol.
inline constexpr int kBadAnswer = -3;
}  // namespace rpc_code

struct RpcError {
  int code = 0;
  std::string message;
};

struct RpcResult {
  nlohmann::json result;  // the answer's "result" when error is empty
  std::optional<RpcError> error;
  bool ok() const { return !error.has_value(); }
};

class ControlClient {
 public:
  using NotificationHandler = std::function<void(const std::string& method, const nlohmann::json& params)>;
  using CloseHandler = std::function<void(const std::string& why)>;

  // The longest line taken from the console; a longer one breaks the
  // connection (a status of 32 axes is about 20 kB).
  static constexpr std::size_t kMaxLineBytes = 4u << 20;

  // The handlers run on the reader thread.
  ControlClient(NotificationHandler on_notification, CloseHandler on_close);
  ~ControlClient();
  ControlClient(const ControlClient&) = delete;
  ControlClient& operator=(const ControlClient&) = delete;

  // Connects to the socket at `path`; the reason in words when it cannot.
  // Closes a previous connection first.
  std::optional<std::string> Connect(const std::string& path);
  // Sends a request and waits for its answer, at most `timeout`.
  RpcResult Call(const std::string& method, const nlohmann::json& params, std::chrono::milliseconds timeout);
  // Ends the connection (the close handler is not called for it).
  void Close();
  bool Connected() const;

 private:
  struct Pending {
    bool done = false;
    RpcResult result;
  };
  void ReadLoop(int fd);
  void HandleLine(std::string_view line);
  void Broken(const std::string& why);
  bool SendAll(const std::string& bytes);

  NotificationHandler on_notification_;
  CloseHandler on_close_;
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  std::mutex send_mutex_;
  int fd_ = -1;
  bool connected_ = false;
  bool closing_ = false;
  std::int64_t next_id_ = 1;
  std::map<std::int64_t, Pending*> pending_;
  std::thread reader_;
};

}  // namespace stage::tango_bridge
