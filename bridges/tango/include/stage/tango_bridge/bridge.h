// The bridge's side of one console: keeps a connection to the console's
// control API, reconnecting by itself, follows the stage through status
// notifications, and carries out a Tango client's commands. It never opens a
// controller; it takes control only to move an axis (acquire_control just
// before the move) and gives it back once its moves have ended, and the
// operator's revoke or refusal of remote moves refuses its moves as any other
// client's. Plain C++: the Tango adapter is a listener and a caller.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "stage/tango_bridge/control_client.h"
#include "stage/tango_bridge/stage_model.h"

namespace stage::tango_bridge {

using Clock = std::chrono::steady_clock;

// Everything a device shows, taken at one moment.
struct Snapshot {
  Link link;
  std::vector<AxisInfo> axes;
  ConsoleReading reading;
  // Per axis: until when a move just accepted counts as moving although the
  // controller's busy flag has not come back yet.
  std::vector<Clock::time_point> pending_until;
  // The last word from the console about this client's control.
  std::string control_note;

  bool MovePending(std::size_t axis, Clock::time_point now) const {
    return axis < pending_until.size() && now < pending_until[axis];
  }
  const AxisReading* Reading(std::size_t axis) const {
    return link.connected && axis < reading.axes.size() ? &reading.axes[axis] : nullptr;
  }
  const AxisInfo* Info(std::size_t axis) const { return axis < axes.size() ? &axes[axis] : nullptr; }
};

// A command the console refused, or could not be given: code as in
// rpc_code, message in the console's words.
struct CommandRefused {
  int code = 0;
  std::string message;
};

class BridgeListener {
 public:
  virtual ~BridgeListener() = default;
  // A new snapshot: after every status, on connection and loss, and at
  // least every heartbeat. Runs on one of the bridge's threads.
  virtual void OnSnapshot(const Snapshot& snapshot) = 0;
};

struct BridgeOptions {
  std::string socket_path;
  int status_rate_hz = 20;
  std::chrono::milliseconds reconnect_interval{500};
  std::chrono::milliseconds call_timeout{5000};
  std::chrono::milliseconds heartbeat{100};
  // How long a move just accepted counts as moving without a busy flag.
  std::chrono::milliseconds pending_move{1000};
  // How long after a stop an axis the bridge has not yet seen busy still
  // counts as moving: a move accepted just before may have started, and
  // the console's next status notifications say whether it did.
  std::chrono::milliseconds stop_settle{250};
  // How long after its last move has ended the bridge keeps control.
  std::chrono::milliseconds control_linger{1000};
};

class Bridge {
 public:
  explicit Bridge(BridgeOptions options);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  void Start(BridgeListener* listener);
  void Stop();

  Snapshot Current() const;

  // Each throws CommandRefused.
  void MoveAbsolute(std::size_t axis, double position);
  void StopAxis(std::size_t axis);
  void StopAll();

  const BridgeOptions& options() const { return options_; }

 private:
  void Supervise();
  bool Handshake(std::string& why);
  bool ReadAxes(std::string& why);
  void OnNotification(const std::string& method, const nlohmann::json& params);
  void OnClosed(const std::string& why);
  void Publish();
  void MarkDirty();
  void ReleaseControlWhenIdle();
  void Stopped(Clock::time_point& pending_until) const;
  nlohmann::json Require(const std::string& method, const nlohmann::json& params);

  BridgeOptions options_;
  BridgeListener* listener_ = nullptr;
  ControlClient client_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  Snapshot snapshot_;
  bool running_ = false;
  bool lost_ = false;  // the connection broke; the supervisor reconnects
  std::string lost_why_;
  // A snapshot waits to be published. Listeners run on the supervisor's
  // thread only, never on the reader's: a listener that waits for a Tango
  // device's lock while that device waits for a console answer must not hold
  // up the answer.
  bool dirty_ = false;
  // A status of another axis count came: the axes are read again.
  bool relist_ = false;
  // Moves and the release of control, one at a time.
  std::mutex command_mutex_;
  std::optional<Clock::time_point> last_move_;
  std::mutex publish_mutex_;
  std::thread supervisor_;
};

}  // namespace stage::tango_bridge
