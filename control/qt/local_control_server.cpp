#include "control/qt/local_control_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <fcntl.h>
#include <unistd.h>

#include <QLocalSocket>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "stage/usb/device_library.h"

namespace stage::control {
namespace {

// /proc/PID/comm: at most 16 bytes in the kernel; read bounded, escaped.
std::string ProgramOf(std::int64_t pid) {
  if (pid <= 0) return {};
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  char text[64] = {};
  comm.read(text, sizeof text - 1);
  std::string name(text, static_cast<std::size_t>(comm.gcount()));
  while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) name.pop_back();
  return usb::PrintableText(name);
}

bool IsSocket(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string Folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

// Hands each accepted descriptor to the server instead of making a
// QLocalSocket of it.
class LocalControlServer::Listener final : public QLocalServer {
 public:
  explicit Listener(std::function<void(int)> accepted) : accepted_(std::move(accepted)) {}

 protected:
  void incomingConnection(quintptr descriptor) override { accepted_(static_cast<int>(descriptor)); }

 private:
  std::function<void(int)> accepted_;
};

class LocalControlServer::Turn {
 public:
  explicit Turn(LocalControlServer& server) : server_(server) { ++server_.turn_depth_; }
  ~Turn() {
    if (--server_.turn_depth_ == 0) server_.WriteGathered();
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

 private:
  LocalControlServer& server_;
};

std::string DefaultSocketPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime == nullptr || *runtime == '\0') return {};
  return std::string(runtime) + "/stage-console/control.sock";
}

Peer PeerOf(int socket_descriptor) {
  Peer peer;
  struct ucred credentials {};
  socklen_t length = sizeof credentials;
  if (::getsockopt(socket_descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
      length == sizeof credentials) {
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.program = ProgramOf(peer.pid);
  }
  return peer;
}

LocalControlServer::LocalControlServer(EventSink events, QObject* parent)
    : QObject(parent),
      events_(std::move(events)),
      server_(std::make_unique<Listener>([this](int descriptor) { Accept(descriptor); })),
      chunk_(kReadChunkBytes),
      own_uid_(static_cast<std::int64_t>(::getuid())) {
  pre_tick_.setSingleShot(true);
  pre_tick_.setTimerType(Qt::PreciseTimer);
  connect(&pre_tick_, &QTimer::timeout, this, &LocalControlServer::PreTick);
}

LocalControlServer::~LocalControlServer() {
  for (auto& [id, connection] : sockets_) {
    connection.readable.reset();
    connection.writable.reset();
    if (connection.fd >= 0) ::close(connection.fd);
  }
  sockets_.clear();
  if (server_->isListening()) server_->close();  // removes the socket file
}

LocalControlServer::Started LocalControlServer::Listen(const std::string& path, bool make_folder,
                                                       std::string& message) {
  if (path.empty()) {
    message = "no socket path: XDG_RUNTIME_DIR is not set (give one with --control PATH)";
    return Started::kFailed;
  }
  const std::string folder = Folder(path);
  if (make_folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      message = "cannot create " + folder + ": " + std::strerror(errno);
      return Started::kFailed;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        static_cast<std::int64_t>(info.st_uid) != own_uid_) {
      message = folder + " is not a folder of this user";
      return Started::kFailed;
    }
    if ((info.st_mode & 0077) != 0 && ::chmod(folder.c_str(), 0700) != 0) {
      message = "cannot make " + folder + " private: " + std::strerror(errno);
      return Started::kFailed;
    }
  }
  if (Exists(path)) {
    if (!IsSocket(path)) {
      message = path + " exists and is not a socket; it is left alone";
      return Started::kFailed;
    }
    // A console that answers there keeps it.
    QLocalSocket probe;
    probe.connectToServer(QString::fromStdString(path));
    if (probe.waitForConnected(500)) {
      probe.abort();
      message = "another console serves the control API on " + path;
      return Started::kInUse;
    }
    // Left behind by a console that is gone.
    if (::unlink(path.c_str()) != 0) {
      message = "cannot replace the stale socket " + path + ": " + std::strerror(errno);
      return Started::kFailed;
    }
  }
  // Made private before it is put in place.
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(QString::fromStdString(path))) {
    message = "cannot serve on " + path + ": " + server_->errorString().toStdString();
    return Started::kFailed;
  }
  ::chmod(path.c_str(), 0600);
  path_ = path;
  return Started::kServing;
}

void LocalControlServer::Accept(int descriptor) {
  const Turn turn(*this);
  const Peer peer = PeerOf(descriptor);
  if (peer.uid != own_uid_) {
    if (events_) {
      events_("refused a connection from pid " + std::to_string(peer.pid) + " uid " + std::to_string(peer.uid) +
              ": only the console's own user may connect");
    }
    ::close(descriptor);
    return;
  }
  ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) | O_NONBLOCK);
  const ClientId id = next_id_++;
  Connection& connection = sockets_[id];
  connection.fd = descriptor;
  connection.readable = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
  connect(connection.readable.get(), &QSocketNotifier::activated, this, [this, id] { Readable(id); });
  connection.writable = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Write);
  connection.writable->setEnabled(false);
  connect(connection.writable.get(), &QSocketNotifier::activated, this, [this, id] { FlushOut(id); });
  if (core_ != nullptr) core_->Connected(id, peer);
  ReadFrom(id);
}

std::ptrdiff_t LocalControlServer::ReadFrom(ClientId id) {
  auto found = sockets_.find(id);
  if (found == sockets_.end() || found->second.dropping || core_ == nullptr) return -1;
  const Turn turn(*this);
  std::ptrdiff_t total = 0;
  // Read only while the core has room: the rest stays in the socket, and
  // the client's writes block once the kernel's buffer is full.
  while (!core_->HeldBack(id) && core_->Backlog(id) < ControlCore::kMaxBacklogBytes) {
    const ssize_t got = ::recv(found->second.fd, chunk_.data(), chunk_.size(), MSG_DONTWAIT);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      // Gone: what it sent before is carried out, then it is dropped.
      found->second.readable->setEnabled(false);
      DropLater(id, "closed the connection");
      return -1;
    }
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    total += got;
    if (read_observer_) read_observer_();
    core_->Received(id, std::string_view(chunk_.data(), static_cast<std::size_t>(got)));
    // The core may have queued so much that the client is being dropped.
    found = sockets_.find(id);
    if (found == sockets_.end() || found->second.dropping) return -1;
    // Less than asked for: the socket was empty (a stream socket gives all
    // it has), so no further call just to hear EAGAIN.
    if (static_cast<std::size_t>(got) < chunk_.size()) break;
  }
  // Held back: the level-triggered notifier would fire again and again;
  // the socket is read after the tick.
  if (core_->HeldBack(id) || core_->Backlog(id) >= ControlCore::kMaxBacklogBytes) {
    found->second.readable->setEnabled(false);
  }
  return total;
}

void LocalControlServer::Readable(ClientId id) {
  if (ReadFrom(id) < 0) return;
  const auto found = sockets_.find(id);
  if (found == sockets_.end()) return;
  // Served: what it sends from now on is read just before the next tick.
  found->second.busy = true;
  found->second.readable->setEnabled(false);
  ArmPreTick();
}

void LocalControlServer::ArmPreTick() {
  if (pre_tick_.isActive()) return;
  const auto left = next_tick_ - kPreTickMargin - std::chrono::steady_clock::now();
  pre_tick_.start(
      static_cast<int>(std::max<std::int64_t>(0, std::chrono::floor<std::chrono::milliseconds>(left).count())));
}

void LocalControlServer::PreTick() {
  const Turn turn(*this);
  bool busy = false;
  for (auto it = sockets_.begin(); it != sockets_.end();) {
    const ClientId id = it->first;
    Connection& connection = it->second;
    ++it;
    if (!connection.busy || connection.dropping) continue;
    connection.busy = false;
    const std::ptrdiff_t got = ReadFrom(id);
    const auto found = sockets_.find(id);
    if (got < 0 || found == sockets_.end() || found->second.dropping) continue;
    if (got > 0) {
      // Still asking: it stays on the pre-tick read.
      found->second.busy = true;
      busy = true;
    } else if (!core_->HeldBack(id) && core_->Backlog(id) < ControlCore::kMaxBacklogBytes) {
      // Quiet since the last tick: its next request is read as it comes.
      found->second.readable->setEnabled(true);
    }
  }
  // The tick places the next read (AfterTick). Should it not come (before
  // the start-up window's OK, or once polling has stopped), busy clients
  // are read a tick period after it was due, and so on.
  if (busy) {
    const auto to_tick = std::max(std::chrono::steady_clock::duration::zero(), next_tick_ - std::chrono::steady_clock::now());
    pre_tick_.start(std::chrono::ceil<std::chrono::milliseconds>(to_tick) + kTickPeriodFallback);
  }
}

void LocalControlServer::Send(ClientId client, std::string_view line) {
  const auto found = sockets_.find(client);
  if (found == sockets_.end() || found->second.dropping) return;
  Connection& connection = found->second;
  if (connection.out.size() + connection.gathered.size() + line.size() > static_cast<std::size_t>(kMaxUnreadBytes)) {
    connection.gathered.clear();
    // It does not read what it asked for.
    DropLater(client, "its unread output passed 1 MiB (it does not read its socket)");
    return;
  }
  connection.gathered.append(line);
  if (turn_depth_ == 0) WriteGathered();
}

bool LocalControlServer::HungUp(ClientId client) {
  const auto found = sockets_.find(client);
  if (found == sockets_.end() || found->second.dropping) return true;
  char next = 0;
  const ssize_t got = ::recv(found->second.fd, &next, 1, MSG_PEEK | MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

void LocalControlServer::WriteGathered() {
  for (auto& [id, connection] : sockets_) {
    std::string& gathered = connection.gathered;
    if (gathered.empty()) continue;
    if (!connection.dropping) {
      connection.out.append(gathered);
      if (!connection.writable->isEnabled()) FlushOut(id);
    }
    gathered.clear();  // its memory is kept for the next turn
  }
}

void LocalControlServer::FlushOut(ClientId id) {
  const auto found = sockets_.find(id);
  if (found == sockets_.end() || found->second.dropping) return;
  Connection& connection = found->second;
  std::size_t done = 0;
  while (done < connection.out.size()) {
    const ssize_t wrote =
        ::send(connection.fd, connection.out.data() + done, connection.out.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    connection.writable->setEnabled(false);
    DropLater(id, "closed the connection");
    return;
  }
  connection.out.erase(0, done);
  connection.writable->setEnabled(!connection.out.empty());
}

void LocalControlServer::DropLater(ClientId id, std::string why) {
  const auto found = sockets_.find(id);
  if (found == sockets_.end() || found->second.dropping) return;
  found->second.dropping = true;
  found->second.readable->setEnabled(false);
  found->second.writable->setEnabled(false);
  QTimer::singleShot(0, this, [this, id, why = std::move(why)] { Drop(id, why); });
}

void LocalControlServer::Drop(ClientId id, const std::string& why) {
  const auto found = sockets_.find(id);
  if (found == sockets_.end()) return;
  const int fd = found->second.fd;
  sockets_.erase(found);  // the notifiers go before the descriptor closes
  if (fd >= 0) ::close(fd);
  if (core_ != nullptr) core_->Disconnected(id, why);
}

void LocalControlServer::AfterTick(std::chrono::nanoseconds to_next_tick) {
  next_tick_ = std::chrono::steady_clock::now() + to_next_tick;
  pre_tick_.stop();
  if (core_ == nullptr) return;
  const Turn turn(*this);
  core_->AfterTick();
  // Sockets left unread while their client was held back.
  bool busy = false;
  for (auto it = sockets_.begin(); it != sockets_.end();) {
    const ClientId id = it->first;
    Connection& connection = it->second;
    ++it;
    if (connection.dropping) continue;
    if (connection.busy) {
      busy = true;
    } else if (!connection.readable->isEnabled()) {
      connection.readable->setEnabled(true);
      ReadFrom(id);
    }
  }
  if (busy) ArmPreTick();
}

void LocalControlServer::Close() {
  pre_tick_.stop();
  if (core_ != nullptr) core_->Ending();
  WriteGathered();
  for (auto& [id, connection] : sockets_) {
    connection.readable->setEnabled(false);
    connection.writable->setEnabled(false);
    if (connection.fd < 0) continue;
    // What the kernel takes now; nobody is waited for.
    if (!connection.dropping && !connection.out.empty()) {
      (void)::send(connection.fd, connection.out.data(), connection.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    connection.out.clear();
    ::shutdown(connection.fd, SHUT_RDWR);
  }
  if (server_->isListening()) server_->close();
}

}  // namespace stage::control
