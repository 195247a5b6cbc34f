// The control API on a local (Unix) socket, served from the GUI thread's
// event loop: QLocalServer accepts, each connection's peer credentials are
// read from its descriptor (SO_PEERCRED) and any user but the console's own
// is turned away, and the bytes go to the protocol core. Nothing here ever
// waits for a client: answers are queued on the socket, and a client that
// leaves more than kMaxUnreadBytes of them unread is disconnected. The lines
// for a client are gathered over one turn of the event loop (its socket
// read, or the turn after a tick) and handed to its socket in one write.
//
// Wake-ups: QLocalServer only accepts; each connection's descriptor is read
// and written here, with a read notifier of its own. A quiet client's bytes
// are read and carried out as they come (a lone move leaves on the next
// tick). Once served, a client is busy: its notifier is off, and what it
// sends is read in one go by a timer shortly before each tick
// (kPreTickMargin ahead of it), so every request read by then reaches that
// tick. It stays busy while those reads find something, and is quiet again
// after one that finds nothing. A client asking a thousand times a second
// so costs the GUI thread one shared wake-up per tick, not ten; a request
// it sends within the margin waits for the tick after.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
  static constexpr std::size_t kReadChunkBytes = 16 * 1024;
  // How long before the next tick busy clients are read.
  static constexpr std::chrono::milliseconds kPreTickMargin{1};
  // How long after a tick that did not come busy clients are read anyway.
  static constexpr std::chrono::milliseconds kTickPeriodFallback{10};

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

  // After each tick: the core's turn, then sockets left unread while their
  // client's backlog was full are read. `to_next_tick` places the pre-tick
  // read of busy clients.
  void AfterTick(std::chrono::nanoseconds to_next_tick = std::chrono::milliseconds(10));
  // The busy clients are read; those that sent nothing are quiet again:
  // what a timer does shortly before each tick (a test that gives the
  // ticks itself calls it before each).
  void PreTick();
  // The end: console_ending to every client, what is queued is handed to
  // the kernel without waiting, and every connection closes.
  void Close();

  int ClientCount() const { return static_cast<int>(sockets_.size()); }
  // Called each time a client's bytes are handed to the core (the
  // benchmark times a request's arrival with it).
  void SetReadObserver(std::function<void()> observer) { read_observer_ = std::move(observer); }

  // ClientLink
  void Send(ClientId client, std::string_view line) override;
  bool HungUp(ClientId client) override;

 private:
  class Listener;
  void Accept(int descriptor);
  // Reads what the core has room for: the bytes read, -1 when the client
  // was dropped.
  std::ptrdiff_t ReadFrom(ClientId id);
  // A read notification: read, then the client is busy: read before each
  // tick until a pre-tick read finds nothing.
  void Readable(ClientId id);
  // The pre-tick read, kPreTickMargin before the next tick, unless armed.
  void ArmPreTick();
  void FlushOut(ClientId id);
  // Dropped from the event loop, never from inside a read or a write.
  void DropLater(ClientId id, std::string why);
  void Drop(ClientId id, const std::string& why);
  // A turn: lines sent meanwhile are gathered, and written when the
  // outermost turn ends.
  class Turn;
  void WriteGathered();

  EventSink events_;
  ControlCore* core_ = nullptr;
  std::unique_ptr<Listener> server_;
  std::string path_;
  ClientId next_id_ = 1;
  struct Connection {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;  // on while `out` is not empty
    bool dropping = false;
    bool busy = false;     // its notifier is off; read shortly before each tick
    std::string gathered;  // lines of this turn, not yet written
    std::string out;       // written, not yet taken by the kernel
  };
  QTimer pre_tick_;
  std::chrono::steady_clock::time_point next_tick_{};
  std::vector<char> chunk_;
  int turn_depth_ = 0;
  std::function<void()> read_observer_;
  std::map<ClientId, Connection> sockets_;
  std::int64_t own_uid_ = -1;
};

}  // namespace stage::control
