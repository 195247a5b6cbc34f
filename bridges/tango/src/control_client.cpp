#include "stage/tango_bridge/control_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "stage/tango_bridge/line_splitter.h"

namespace stage::tango_bridge {

namespace {

RpcResult Failed(int code, std::string message) {
  RpcResult r;
  r.error = RpcError{code, std::move(message)};
  return r;
}

}  // namespace

ControlClient::ControlClient(NotificationHandler on_notification, CloseHandler on_close)
    : on_notification_(std::move(on_notification)), on_close_(std::move(on_close)) {}

ControlClient::~ControlClient() { Close(); }

std::optional<std::string> ControlClient::Connect(const std::string& path) {
  Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return "the socket path is empty or too long";
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("no socket: ") + std::strerror(errno);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    return std::strerror(error);
  }
  // A console that stops reading fails a send within a bound rather than
  // holding the caller (a Tango client's request) forever.
  const timeval send_bound{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_bound, sizeof send_bound);
  {
    std::lock_guard lock(mutex_);
    fd_ = fd;
    connected_ = true;
    closing_ = false;
  }
  reader_ = std::thread([this, fd] { ReadLoop(fd); });
  return std::nullopt;
}

void ControlClient::Close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    // Wakes the reader out of recv(); the descriptor is closed after it ends.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }
  if (reader_.joinable()) reader_.join();
  // Not while a caller sends on it: the number could be another file's by then.
  std::lock_guard sending(send_mutex_);
  std::lock_guard lock(mutex_);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  connected_ = false;
}

bool ControlClient::Connected() const {
  std::lock_guard lock(mutex_);
  return connected_;
}

bool ControlClient::SendAll(const std::string& bytes) {
  std::lock_guard lock(send_mutex_);
  int fd;
  {
    std::lock_guard state(mutex_);
    if (!connected_) return false;
    fd = fd_;
  }
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

RpcResult ControlClient::Call(const std::string& method, const nlohmann::json& params,
                              std::chrono::milliseconds timeout) {
  Pending pending;
  std::int64_t id;
  {
    std::lock_guard lock(mutex_);
    if (!connected_) return Failed(rpc_code::kNotConnected, "not connected to the console");
    id = next_id_++;
    pending_[id] = &pending;
  }
  nlohmann::json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null()) request["params"] = params;
  const bool sent = SendAll(request.dump() + "\n");
  std::unique_lock lock(mutex_);
  if (sent) answered_.wait_for(lock, timeout, [&] { return pending.done || !connected_; });
  pending_.erase(id);
  if (pending.done) return std::move(pending.result);
  if (!connected_ || !sent) return Failed(rpc_code::kNotConnected, "the connection to the console broke");
  return Failed(rpc_code::kTimedOut, "the console did not answer " + method + " within " +
                                         std::to_string(timeout.count()) + " ms");
}

void ControlClient::ReadLoop(int fd) {
  LineSplitter lines(kMaxLineBytes);
  std::array<char, 65536> buffer{};
  std::string why;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      why = "the console closed the connection";
      break;
    }
    if (n < 0) {
      why = std::string("the connection to the console broke: ") + std::strerror(errno);
      break;
    }
    bool overlong = false;
    lines.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)),
               [this](std::string_view line) { HandleLine(line); }, [&] { overlong = true; });
    if (overlong) {
      why = "the console sent a line longer than the bridge takes";
      break;
    }
  }
  Broken(why);
}

void ControlClient::HandleLine(std::string_view line) {
  if (line.empty()) return;
  nlohmann::json message = nlohmann::json::parse(line, nullptr, false);
  if (!message.is_object()) return;  // not the protocol's: ignored
  const auto method = message.find("method");
  if (method != message.end()) {
    if (method->is_string() && on_notification_) {
      const auto params = message.find("params");
      on_notification_(method->get<std::string>(), params != message.end() ? *params : nlohmann::json::object());
    }
    return;
  }
  const auto id = message.find("id");
  if (id == message.end() || !id->is_number_integer()) return;
  RpcResult result;
  if (const auto error = message.find("error"); error != message.end()) {
    RpcError e{rpc_code::kBadAnswer, "the console's error answer is malformed"};
    if (error->is_object()) {
      if (const auto code = error->find("code"); code != error->end() && code->is_number_integer())
        e.code = code->get<int>();
      if (const auto text = error->find("message"); text != error->end() && text->is_string())
        e.message = text->get<std::string>();
    }
    result.error = std::move(e);
  } else if (const auto value = message.find("result"); value != message.end()) {
    result.result = *value;
  } else {
    result.error = RpcError{rpc_code::kBadAnswer, "the console's answer has neither result nor error"};
  }
  std::lock_guard lock(mutex_);
  const auto waiting = pending_.find(id->get<std::int64_t>());
  if (waiting == pending_.end()) return;  // its caller gave up waiting
  waiting->second->result = std::move(result);
  waiting->second->done = true;
  answered_.notify_all();
}

void ControlClient::Broken(const std::string& why) {
  bool report;
  {
    std::lock_guard lock(mutex_);
    connected_ = false;
    report = !closing_;
    answered_.notify_all();
  }
  if (report && on_close_) on_close_(why);
}

}  // namespace stage::tango_bridge
