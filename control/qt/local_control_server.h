// The control API on a local (Unix) socket, served from the GUI thread's
// event loop: QLocalServer accepts, each connection's peer credentials are
// read from its descriptor (SO_PEERCRED) and any user but the console's own
// is turned away, and the bytes go to the protocol core. Nothing here ever
// waits for a client: answers are queued on the socket, and a client that
// leaves more than kMaxUnreadBytes of them unread is disconnected. The lines
// for a client are gathered over one turn of the event loop (its socket
// read, or the turn after a tick) and handed to its socket in one write.
#pragma once

#include <QLocalServer>
#include <QLocalSocket>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "stage/control/control_core.h"

namespace stage::control {

// Where the socket goes by default: $XDG_RUNTIME_DIR/stage-console/control.sock;
// empty when XDG_RUNTIME_DIR is not set.
std::string DefaultSocketPath();

// The peer of a connected Unix socket; pid and uid -1 when unknown.
Peer PeerOf(int socket_descriptor);

class LocalControlServer final : public QObject, public ClientLink {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(LocalControlServer)

 public:
  static constexpr std::int64_t kMaxUnreadBytes = 1024 * 1024;
  static constexpr qint64 kReadChunkBytes = 64 * 1024;

  using EventSink = std::function<void(std::string_view)>;
  // The core is made by the caller (with this as its link) and handed in.
  explicit LocalControlServer(EventSink events, QObject* parent = nullptr);
  ~LocalControlServer() override;

  void SetCore(ControlCore* core) { core_ = core; }

  enum class Started : std::uint8_t { kServing, kInUse, kFailed };
  // Listens on `path`. With `make_folder` (the default path) the folder is
  // created 0700. A socket file that no console answers on is replaced; one
  // that answers is left alone (kInUse). `message` says what went wrong.
  Started Listen(const std::string& path, bool make_folder, std::string& message);
  const std::string& Path() const { return path_; }

  // After each tick: the core's turn, then sockets that were left unread
  // (their client's backlog was full) are read.
  void AfterTick();
  // The end: console_ending to every client, what is queued is handed to
  // the kernel without waiting, and every connection closes.
  void Close();

  int ClientCount() const { return static_cast<int>(sockets_.size()); }
  // Called each time a client's bytes are handed to the core (the
  // benchmark times a request's arrival with it).
  void SetReadObserver(std::function<void()> observer) { read_observer_ = std::move(observer); }

  // ClientLink
  void Send(ClientId client, std::string_view line) override;

 private:
  void Accept();
  void ReadFrom(ClientId id);
  void Drop(ClientId id, const std::string& why);
  // A turn: lines sent meanwhile are gathered, and written when the
  // outermost turn ends.
  class Turn;
  void WriteGathered();

  EventSink events_;
  ControlCore* core_ = nullptr;
  QLocalServer server_;
  std::string path_;
  ClientId next_id_ = 1;
  struct Connection {
    QPointer<QLocalSocket> socket;
    bool dropping = false;
    std::string gathered;  // lines of this turn, not yet written
  };
  int turn_depth_ = 0;
  std::function<void()> read_observer_;
  std::map<ClientId, Connection> sockets_;
  std::int64_t own_uid_ = -1;
};

}  // namespace stage::control
