#include "control/qt/local_control_server.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QTimer>
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
    : QObject(parent), events_(std::move(events)), own_uid_(static_cast<std::int64_t>(::getuid())) {
  connect(&server_, &QLocalServer::newConnection, this, &LocalControlServer::Accept);
}

LocalControlServer::~LocalControlServer() {
  for (auto& [id, connection] : sockets_) {
    if (connection.socket) {
      connection.socket->disconnect(this);
      connection.socket->abort();
      delete connection.socket;
    }
  }
  sockets_.clear();
  if (server_.isListening()) server_.close();  // removes the socket file
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
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_.listen(QString::fromStdString(path))) {
    message = "cannot serve on " + path + ": " + server_.errorString().toStdString();
    return Started::kFailed;
  }
  ::chmod(path.c_str(), 0600);
  path_ = path;
  return Started::kServing;
}

void LocalControlServer::Accept() {
  const Turn turn(*this);
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    const Peer peer = PeerOf(static_cast<int>(socket->socketDescriptor()));
    if (peer.uid != own_uid_) {
      if (events_) {
        events_("refused a connection from pid " + std::to_string(peer.pid) + " uid " + std::to_string(peer.uid) +
                ": only the console's own user may connect");
      }
      socket->abort();
      socket->deleteLater();
      continue;
    }
    const ClientId id = next_id_++;
    socket->setReadBufferSize(kReadChunkBytes);
    sockets_[id] = Connection{socket, false, {}};
    connect(socket, &QLocalSocket::readyRead, this, [this, id] { ReadFrom(id); });
    connect(socket, &QLocalSocket::disconnected, this, [this, id] { Drop(id, "closed the connection"); });
    if (core_ != nullptr) core_->Connected(id, peer);
    ReadFrom(id);
  }
}

void LocalControlServer::ReadFrom(ClientId id) {
  const auto found = sockets_.find(id);
  if (found == sockets_.end() || found->second.dropping || core_ == nullptr) return;
  QLocalSocket* socket = found->second.socket;
  if (socket == nullptr) return;
  const Turn turn(*this);
  char chunk[4096];
  // Read only while the core has room: the rest stays in the socket, and
  // the client's writes block once the kernel's buffer is full.
  while (!core_->HeldBack(id) && core_->Backlog(id) < ControlCore::kMaxBacklogBytes &&
         socket->bytesAvailable() > 0) {
    const qint64 got = socket->read(chunk, sizeof chunk);
    if (got <= 0) break;
    if (read_observer_) read_observer_();
    core_->Received(id, std::string_view(chunk, static_cast<std::size_t>(got)));
    // The core may have queued so much that the client is being dropped.
    const auto again = sockets_.find(id);
    if (again == sockets_.end() || again->second.dropping) return;
  }
}

void LocalControlServer::Send(ClientId client, std::string_view line) {
  const auto found = sockets_.find(client);
  if (found == sockets_.end() || found->second.dropping) return;
  QLocalSocket* socket = found->second.socket;
  if (socket == nullptr) return;
  std::string& gathered = found->second.gathered;
  if (socket->bytesToWrite() + static_cast<qint64>(gathered.size() + line.size()) > kMaxUnreadBytes) {
    gathered.clear();
    // It does not read what it asked for: dropped, from the event loop.
    found->second.dropping = true;
    QTimer::singleShot(0, this, [this, client] {
      const auto gone = sockets_.find(client);
      if (gone == sockets_.end()) return;
      const std::string why = "its unread output passed 1 MiB (it does not read its socket)";
      QPointer<QLocalSocket> socket_left = gone->second.socket;
      Drop(client, why);
      if (socket_left) socket_left->abort();
    });
    return;
  }
  gathered.append(line);
  if (turn_depth_ == 0) WriteGathered();
}

void LocalControlServer::WriteGathered() {
  for (auto& [id, connection] : sockets_) {
    std::string& gathered = connection.gathered;
    if (gathered.empty()) continue;
    if (!connection.dropping && connection.socket != nullptr) {
      connection.socket->write(gathered.data(), static_cast<qint64>(gathered.size()));
    }
    gathered.clear();  // its memory is kept for the next turn
  }
}

void LocalControlServer::Drop(ClientId id, const std::string& why) {
  const auto found = sockets_.find(id);
  if (found == sockets_.end()) return;
  QPointer<QLocalSocket> socket = found->second.socket;
  sockets_.erase(found);
  if (core_ != nullptr) core_->Disconnected(id, why);
  if (socket) {
    socket->disconnect(this);
    socket->deleteLater();
  }
}

void LocalControlServer::AfterTick() {
  if (core_ == nullptr) return;
  const Turn turn(*this);
  core_->AfterTick();
  // Sockets left unread while their client was held back.
  for (auto it = sockets_.begin(); it != sockets_.end();) {
    const ClientId id = it->first;
    const Connection& connection = it->second;
    ++it;
    if (connection.dropping || connection.socket == nullptr || connection.socket->bytesAvailable() == 0) continue;
    ReadFrom(id);
  }
}

void LocalControlServer::Close() {
  if (core_ != nullptr) core_->Ending();
  WriteGathered();
  for (auto& [id, connection] : sockets_) {
    if (connection.socket) {
      connection.socket->flush();
      connection.socket->disconnect(this);
      connection.socket->disconnectFromServer();
    }
  }
  if (server_.isListening()) server_.close();
}

}  // namespace stage::control
