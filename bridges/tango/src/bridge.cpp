#include "stage/tango_bridge/bridge.h"

namespace stage::tango_bridge {

using nlohmann::json;

Bridge::Bridge(BridgeOptions options)
    : options_(std::move(options)),
      client_([this](const std::string& method, const json& params) { OnNotification(method, params); },
              [this](const std::string& why) { OnClosed(why); }) {
  snapshot_.link = {false, "not connected yet"};
}

Bridge::~Bridge() { Stop(); }

void Bridge::Start(BridgeListener* listener) {
  std::lock_guard lock(mutex_);
  if (running_) return;
  listener_ = listener;
  running_ = true;
  supervisor_ = std::thread([this] { Supervise(); });
}

void Bridge::Stop() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    wake_.notify_all();
  }
  if (supervisor_.joinable()) supervisor_.join();
  client_.Close();
}

Snapshot Bridge::Current() const {
  std::lock_guard lock(mutex_);
  return snapshot_;
}

void Bridge::MarkDirty() {
  std::lock_guard lock(mutex_);
  dirty_ = true;
  wake_.notify_all();
}

void Bridge::Publish() {
  if (listener_ == nullptr) return;
  const Snapshot snapshot = Current();
  listener_->OnSnapshot(snapshot);
}

json Bridge::Require(const std::string& method, const json& params) {
  RpcResult r = client_.Call(method, params, options_.call_timeout);
  if (!r.ok()) throw CommandRefused{r.error->code, r.error->message};
  return std::move(r.result);
}

bool Bridge::Handshake(std::string& why) {
  try {
    const json version = Require("version", nullptr);
    if (!version.is_object() || version.value("api", 0) != 1) {
      why = "the socket's server does not speak the console's control API 1";
      return false;
    }
    if (!ReadAxes(why)) return false;
    Require("subscribe", json{{"rate_hz", options_.status_rate_hz}});
  } catch (const CommandRefused& refused) {
    why = refused.message;
    return false;
  }
  return true;
}

bool Bridge::ReadAxes(std::string& why) {
  const auto axes = ParseAxes(Require("list_axes", nullptr));
  if (!axes) {
    why = "the console's list of axes is malformed";
    return false;
  }
  const auto reading = ParseStatus(Require("get_status", nullptr), axes->size());
  if (!reading) {
    why = "the console's status is malformed";
    return false;
  }
  std::lock_guard lock(mutex_);
  snapshot_.axes = *axes;
  snapshot_.reading = *reading;
  snapshot_.pending_until.assign(axes->size(), Clock::time_point{});
  snapshot_.control_note.clear();
  relist_ = false;
  return true;
}

void Bridge::Supervise() {
  std::unique_lock lock(mutex_);
  while (running_) {
    lost_ = false;
    lost_why_.clear();
    lock.unlock();
    std::string why;
    bool up = false;
    if (const auto error = client_.Connect(options_.socket_path))
      why = "cannot connect to " + options_.socket_path + " (" + *error + ")";
    else
      up = Handshake(why);
    lock.lock();
    if (up && !lost_) {
      snapshot_.link = {true, ""};
      dirty_ = true;
      while (running_ && !lost_) {
        const bool relist = relist_;
        relist_ = false;
        lock.unlock();
        // The console's axes changed (they come with the start-up window's
        // OK): read them again.
        if (relist) {
          try {
            std::string ignored;
            ReadAxes(ignored);
          } catch (const CommandRefused&) {
          }
        }
        Publish();
        ReleaseControlWhenIdle();
        lock.lock();
        wake_.wait_for(lock, options_.heartbeat, [this] { return !running_ || lost_ || dirty_ || relist_; });
        dirty_ = false;
      }
      why = lost_why_.empty() ? "the connection to the console broke" : lost_why_;
    } else if (lost_ && !lost_why_.empty()) {
      why = lost_why_;
    }
    snapshot_.link = {false, why};
    snapshot_.reading.control_mine = false;
    lock.unlock();
    client_.Close();
    Publish();
    {
      std::lock_guard command(command_mutex_);
      last_move_.reset();
    }
    lock.lock();
    wake_.wait_for(lock, options_.reconnect_interval, [this] { return !running_; });
  }
}

void Bridge::OnNotification(const std::string& method, const json& params) {
  std::lock_guard lock(mutex_);
  if (method == "status") {
    auto reading = ParseStatus(params, snapshot_.axes.size());
    if (!reading) {
      const auto axes = params.is_object() ? params.find("axes") : params.end();
      if (axes != params.end() && axes->is_array() && axes->size() != snapshot_.axes.size()) relist_ = true;
      else return;
    } else {
      // A busy flag answers a move just accepted: it no longer needs to
      // count as pending.
      for (std::size_t i = 0; i < reading->axes.size() && i < snapshot_.pending_until.size(); ++i)
        if (reading->axes[i].busy) snapshot_.pending_until[i] = Clock::time_point{};
      snapshot_.reading = std::move(*reading);
    }
  } else if (method == "control_lost") {
    std::string reason = "lost control";
    if (params.is_object() && params.contains("reason") && params["reason"].is_string())
      reason = params["reason"].get<std::string>().substr(0, 200);
    snapshot_.control_note = "Control taken from the bridge: " + reason + ".";
    snapshot_.reading.control_mine = false;
  } else if (method == "console_ending") {
    lost_why_ = "the console is ending";
  } else {
    return;
  }
  dirty_ = true;
  wake_.notify_all();
}

void Bridge::OnClosed(const std::string& why) {
  std::lock_guard lock(mutex_);
  lost_ = true;
  if (lost_why_.empty()) lost_why_ = why;
  wake_.notify_all();
}

void Bridge::MoveAbsolute(std::size_t axis, double position) {
  std::lock_guard command(command_mutex_);
  bool mine;
  {
    std::lock_guard lock(mutex_);
    if (!snapshot_.link.connected) throw CommandRefused{rpc_code::kNotConnected, "No console: " + snapshot_.link.why_not};
    if (axis >= snapshot_.axes.size()) throw CommandRefused{rpc_code::kAxisUnknown, "The console has no such axis"};
    mine = snapshot_.reading.control_mine;
  }
  if (!mine) Require("acquire_control", nullptr);
  {
    std::lock_guard lock(mutex_);
    snapshot_.reading.control_mine = true;
    snapshot_.control_note.clear();
  }
  last_move_ = Clock::now();
  Require("move_absolute", json{{"axis", axis}, {"position", position}, {"units", "native"}});
  {
    std::lock_guard lock(mutex_);
    if (axis < snapshot_.pending_until.size()) snapshot_.pending_until[axis] = Clock::now() + options_.pending_move;
    dirty_ = true;
    wake_.notify_all();
  }
}

// A move stopped before the bridge saw it busy may have started all the
// same: it counts as moving until the console's status says (busy, then at
// rest) or, if it never started, for stop_settle at most.
void Bridge::Stopped(Clock::time_point& pending_until) const {
  pending_until = std::min(pending_until, Clock::now() + options_.stop_settle);
}

void Bridge::StopAxis(std::size_t axis) {
  Require("stop", json{{"axis", axis}});
  std::lock_guard lock(mutex_);
  if (axis < snapshot_.pending_until.size()) Stopped(snapshot_.pending_until[axis]);
  dirty_ = true;
  wake_.notify_all();
}

void Bridge::StopAll() {
  Require("stop_all", nullptr);
  std::lock_guard lock(mutex_);
  for (auto& until : snapshot_.pending_until) Stopped(until);
  dirty_ = true;
  wake_.notify_all();
}

void Bridge::ReleaseControlWhenIdle() {
  std::unique_lock command(command_mutex_, std::try_to_lock);
  if (!command.owns_lock()) return;  // a move is being given
  const auto now = Clock::now();
  {
    std::lock_guard lock(mutex_);
    if (!snapshot_.link.connected || !snapshot_.reading.control_mine) return;
    for (std::size_t i = 0; i < snapshot_.reading.axes.size(); ++i)
      if (snapshot_.reading.axes[i].busy || snapshot_.MovePending(i, now)) {
        last_move_ = now;  // the linger counts from the end of the last move
        return;
      }
  }
  if (last_move_ && now - *last_move_ < options_.control_linger) return;
  const RpcResult r = client_.Call("release_control", nullptr, options_.call_timeout);
  if (!r.ok()) return;
  last_move_.reset();
  std::lock_guard lock(mutex_);
  snapshot_.reading.control_mine = false;
}

}  // namespace stage::tango_bridge
