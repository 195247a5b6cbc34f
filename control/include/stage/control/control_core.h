// The control API's protocol, without sockets or windows: the clients as the
// transport announces them, their lines cut, checked and carried out against
// the console, control held by one client at a time, the waits for moves to
// end, and the status notifications of subscribers. The transport (a local
// socket server) hands in bytes and carries out lines; the console calls
// AfterTick once after every polling cycle, when the replies are in.
//
// The operator comes first: RevokeControl and SetRemoteMovesAllowed(false)
// take control away at once, and while remote moves are refused no client
// can take it back. Reads, stop and stop_all never need control.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stage/control/console_port.h"
#include "stage/control/line_framer.h"
#include "stage/control/request.h"

namespace stage::control {

using ClientId = std::uint64_t;

// Who a client is, from the socket's peer credentials.
struct Peer {
  std::int64_t pid = -1;
  std::int64_t uid = -1;
  std::string program;  // /proc/PID/comm, printable; empty when unknown
};

// The transport's side. Send queues a whole line for the client; it never
// calls back into the core (a client whose output overflows is disconnected
// later, from the event loop).
class ClientLink {
 public:
  virtual ~ClientLink() = default;
  virtual void Send(ClientId client, std::string_view line) = 0;
  // Whether the client has closed its end with nothing of it left unread:
  // its disconnection may not have been seen yet (a client that keeps
  // asking is read once a tick).
  virtual bool HungUp(ClientId /*client*/) { return false; }
};

// What the console's windows show of the API.
struct ClientView {
  ClientId id = 0;
  Peer peer;
  double since = 0;  // ConsolePort::Now() at connection
  bool holds_control = false;
  double rate_hz = 0;  // 0: not subscribed
};

struct CommandRecord {
  double time = 0;  // ConsolePort::Now()
  ClientId client = 0;
  std::int64_t pid = -1;
  std::string text;  // "move_absolute axis 0 to 1000 counts: accepted"
};

enum class Change : std::uint8_t {
  kClients,         // a client came or went
  kControl,         // control taken, released or revoked; remote moves allowed or refused
  kCommand,         // a command was carried out or refused (RecentCommands)
  kFirstControl,    // a client took control for the first time in this run
};

class ControlCore {
 public:
  static constexpr const char* kName = "stage-console";
  static constexpr int kApiVersion = 1;
  // Requests carried out for one client between two ticks; the rest waits
  // for the next tick, so that a burst never holds the event loop for long
  // and its answers come at a pace a reading client keeps up with.
  static constexpr int kRequestsPerTurn = 200;
  // Bytes of a client held unprocessed, beyond which the transport stops
  // reading its socket.
  static constexpr std::size_t kMaxBacklogBytes = 256 * 1024;
  // Ticks after a move was accepted during which the axis counts as moving
  // even before its busy flag shows.
  static constexpr int kMoveGraceTicks = 3;
  static constexpr double kMaxWaitS = 3600;
  static constexpr double kMinRateHz = 1;
  static constexpr double kMaxRateHz = 100;
  static constexpr std::size_t kRecentCommands = 50;

  using EventSink = std::function<void(std::string_view)>;
  using ChangeSink = std::function<void(Change)>;

  ControlCore(ConsolePort& console, ClientLink& link, std::string version, EventSink events = {},
              ChangeSink changes = {});

  void Connected(ClientId client, const Peer& peer);
  // `why` for the event log ("closed the connection", "1 MiB of output unread").
  void Disconnected(ClientId client, std::string_view why);
  // Bytes from the client: its whole lines are carried out, at most
  // kRequestsPerTurn of them now.
  void Received(ClientId client, std::string_view bytes);
  // Bytes of the client held, not yet carried out.
  std::size_t Backlog(ClientId client) const;
  // True while the client's whole lines wait for the next tick (its turn's
  // share was used, or a request waits for its axis): the transport reads
  // no more of it until then.
  bool HeldBack(ClientId client) const;

  // After each polling cycle: waits that ended are answered, requests that
  // waited for a tick are carried out, subscribers due get their status.
  void AfterTick();

  // The operator: control taken from its holder (told with control_lost).
  void RevokeControl(std::string_view reason);
  // Refused: control revoked and no move or acquire_control accepted until
  // allowed again.
  void SetRemoteMovesAllowed(bool allowed);
  bool RemoteMovesAllowed() const { return remote_moves_allowed_; }
  // The console ends: waits answered with kConsoleEnding, console_ending
  // sent to every client; nothing is carried out from here on.
  void Ending();

  std::optional<ClientId> Holder() const { return holder_; }
  std::vector<ClientView> Clients() const;
  const std::deque<CommandRecord>& RecentCommands() const { return recent_; }
  // "pid 123 uid 1000 (python3)": how the log names a client.
  std::string ClientName(ClientId client) const;

 private:
  struct Client {
    Peer peer;
    double since = 0;
    LineFramer framer;
    // A request that must wait for the next tick (its axis has a command
    // not yet sent); lines after it wait with it, in order.
    std::optional<Request> parked;
    bool held_back = false;  // the turn's share was used up
    int turn_left = kRequestsPerTurn;  // requests left to carry out before the next tick
    double rate_hz = 0;
    double period_s = 0;
    double next_due = 0;
  };
  struct Wait {
    ClientId client = 0;
    Json id;
    int axis = 0;
    double deadline = 0;
    std::uint64_t stops_at_start = 0;
  };
  // The answer to one request.
  struct Answer {
    // kStatus: get_status, written from the status of this tick (status_axis
    // -1: every axis).
    enum class Kind : std::uint8_t { kResult, kError, kNone, kParked, kStatus };
    Answer() = default;
    explicit Answer(Kind answer_kind) : kind(answer_kind) {}
    Answer(Kind answer_kind, Json answer_result) : kind(answer_kind), result(std::move(answer_result)) {}
    Kind kind = Kind::kResult;
    Json result;
    int code = 0;
    std::string message;
    int status_axis = -1;
  };

  void Process(ClientId id, Client& client);
  // Carries out one request; kParked leaves it to the next tick.
  Answer Dispatch(ClientId id, Client& client, const Request& request);
  void Reply(ClientId id, const Request& request, const Answer& answer);

  // Methods.
  Answer Version() const;
  Answer ListAxes() const;
  Answer GetStatus(const Json& params) const;
  Answer MoveCommand(ClientId id, const Json& params, MoveKind kind);
  Answer Stop(ClientId id, const Json& params);
  Answer StopAll(ClientId id);
  Answer Zero(ClientId id, const Json& params);
  Answer GetTuning(const Json& params) const;
  Answer SetTuning(ClientId id, const Json& params);
  Answer StartWait(ClientId id, const Request& request);
  Answer Subscribe(ClientId id, Client& client, const Json& params);
  Answer Unsubscribe(ClientId id, Client& client);
  Answer AcquireControl(ClientId id);
  Answer ReleaseControl(ClientId id);

  // Params.
  static std::optional<Answer> Unexpected(const Json& params, std::initializer_list<const char*> known);
  std::optional<int> AxisParam(const Json& params, Answer& error) const;
  static std::optional<double> UnitsFactor(const Json& params, const AxisInfo& axis, Answer& error);
  std::optional<Answer> NeedsControl(ClientId id) const;

  // The axes' status as text, made once per tick and shared by every
  // status notification and get_status answer until the tick after, or
  // until an axis's state changes (a command accepted between ticks).
  void RefreshAxesText();
  void WriteAxisStatus(int axis, const AxisInfo& info, const AxisState& state);
  // {"time":..,"remote_moves_allowed":..,"control":{..},"axes":[..]} for
  // the client, appended to `out`.
  void AppendStatus(std::string& out, ClientId id, double time, int only_axis);
  void AppendControl(std::string& out, ClientId id) const;
  bool Moving(int axis, const AxisState& state) const;
  void AnswerEndedWaits(double now);
  void SendStatus(double now);
  void LoseControl(std::string_view reason);
  void Record(ClientId id, std::string text);
  void Event(const std::string& text) const;
  void Changed(Change change) const;

  ConsolePort& console_;
  ClientLink& link_;
  std::string version_;
  EventSink events_;
  ChangeSink changes_;
  std::map<ClientId, Client> clients_;
  std::vector<Wait> waits_;
  std::vector<int> move_grace_;  // per axis: ticks left of kMoveGraceTicks
  std::optional<ClientId> holder_;
  bool remote_moves_allowed_ = true;
  bool control_ever_taken_ = false;
  bool ending_ = false;
  std::deque<CommandRecord> recent_;

  // The status text of this tick, and what it was made from.
  struct AxesText {
    std::uint64_t tick = 0;  // ticks_ when made; 0: never made
    std::vector<AxisInfo> infos;
    std::vector<AxisState> states;
    std::string text;                       // "[{..},{..}]"
    std::vector<std::size_t> axis_start;    // where each axis's object starts in text
    std::vector<std::size_t> axis_end;
  };
  AxesText axes_text_;
  std::uint64_t ticks_ = 1;
  std::string line_;  // the line being written (reused)
};

}  // namespace stage::control
