// Why this exists: the bridge must never hang or crash on its console. These
// run the control API's client and the bridge against a scripted server on a
// real Unix socket: answers matched by id, a connection that breaks under a
// waiting call, a console that sends too much, control taken only to move and
// given back, the devices' listener that may block without holding up the
// console's answers, and a console that goes and comes back.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "stage/tango_bridge/bridge.h"
#include "stage/tango_bridge/control_client.h"
#include "stage/tango_bridge/line_splitter.h"

namespace stage::tango_bridge {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// A console's socket served by a script: each request line goes to
// `answer`, which returns the answer or null for none.
class ScriptedServer {
 public:
  using Answer = std::function<json(const json& request, ScriptedServer& server)>;

  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ScriptedServer(ScriptedServer&&) = delete;
  ScriptedServer& operator=(ScriptedServer&&) = delete;
  ScriptedServer(std::string path, Answer answer) : path_(std::move(path)), answer_(std::move(answer)) {
    ::unlink(path_.c_str());
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(::listen(listen_fd_, 4), 0);
    thread_ = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    ::shutdown(listen_fd_, SHUT_RDWR);
    Drop();
    thread_.join();
    ::close(listen_fd_);
    ::unlink(path_.c_str());
  }
  void Send(const json& message) { SendRaw(message.dump() + "\n"); }
  void SendRaw(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) (void)!::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Ends the present connection, as a console that dies.
  void Drop() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
  }
  std::vector<std::string> Methods() {
    std::lock_guard lock(mutex_);
    return methods_;
  }
  int connections() const { return connections_; }

 private:
  void Serve() {
    for (;;) {
      const int fd = ::accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      {
        std::lock_guard lock(mutex_);
        fd_ = fd;
      }
      ++connections_;
      LineSplitter lines(1 << 20);
      char buffer[4096];
      ssize_t n;
      while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
        lines.Feed(std::string_view(buffer, static_cast<std::size_t>(n)), [&](std::string_view line) {
          const json request = json::parse(line);
          {
            std::lock_guard lock(mutex_);
            methods_.push_back(request["method"]);
          }
          json reply = answer_(request, *this);
          if (!reply.is_null()) {
            reply["jsonrpc"] = "2.0";
            reply["id"] = request["id"];
            Send(reply);
          }
        }, [] {});
      }
      std::lock_guard lock(mutex_);
      ::close(fd);
      fd_ = -1;
    }
  }

  std::string path_;
  Answer answer_;
  int listen_fd_ = -1;
  std::mutex mutex_;
  int fd_ = -1;
  std::atomic<int> connections_{0};
  std::vector<std::string> methods_;
  std::thread thread_;
};

std::string SocketPath(const char* name) {
  return (std::filesystem::temp_directory_path() / ("tango-bridge-" + std::to_string(::getpid()) + "-" + name)).string();
}

json Result(json value) { return json{{"result", std::move(value)}}; }

TEST(ControlClient, MatchesAnswersByIdPassesNotificationsAndErrorsOn) {
  const std::string path = SocketPath("ids");
  ScriptedServer server(path, [](const json& request, ScriptedServer& s) -> json {
    if (request["method"] == "slow") {
      // Answered after the next request's answer, with a notification first.
      std::thread([&s, id = request["id"]] {
        std::this_thread::sleep_for(50ms);
        s.Send({{"jsonrpc", "2.0"}, {"method", "status"}, {"params", {{"n", 1}}}});
        s.Send({{"jsonrpc", "2.0"}, {"id", id}, {"result", "slow"}});
      }).detach();
      return nullptr;
    }
    if (request["method"] == "refuse") return json{{"error", {{"code", -32002}, {"message", "beyond the limit"}}}};
    return Result("fast");
  });
  std::promise<json> notified;
  ControlClient client([&](const std::string& method, const json& params) {
    if (method == "status") notified.set_value(params);
  }, [](const std::string&) {});
  ASSERT_FALSE(client.Connect(path));
  auto slow = std::async(std::launch::async, [&] { return client.Call("slow", nullptr, 10s); });
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(client.Call("fast", nullptr, 10s).result, "fast");
  EXPECT_EQ(slow.get().result, "slow");
  EXPECT_EQ(notified.get_future().get()["n"], 1);
  const RpcResult refused = client.Call("refuse", nullptr, 10s);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error->code, rpc_code::kTravelLimit);
  EXPECT_EQ(refused.error->message, "beyond the limit");
}

TEST(ControlClient, ABrokenConnectionFailsTheWaitingCallAtOnceAndIsReportedOnce) {
  const std::string path = SocketPath("broken");
  ScriptedServer server(path, [](const json&, ScriptedServer& s) -> json {
    s.Drop();
    return nullptr;
  });
  std::atomic<int> closes{0};
  std::string why;
  ControlClient client([](const std::string&, const json&) {}, [&](const std::string& w) {
    why = w;
    ++closes;
  });
  ASSERT_FALSE(client.Connect(path));
  const auto begun = std::chrono::steady_clock::now();
  const RpcResult r = client.Call("version", nullptr, 60s);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error->code, rpc_code::kNotConnected);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 30s);
  for (int i = 0; i < 1000 && closes == 0; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(closes, 1);
  EXPECT_EQ(why, "the console closed the connection");
  EXPECT_EQ(client.Call("version", nullptr, 1s).error->code, rpc_code::kNotConnected);
  EXPECT_TRUE(client.Connect(SocketPath("nobody-listens")).has_value());
}

TEST(ControlClient, ALineBeyondTheBoundEndsTheConnectionInsteadOfGrowing) {
  const std::string path = SocketPath("overlong");
  ScriptedServer server(path, [](const json&, ScriptedServer& s) -> json {
    const std::string chunk(1 << 20, 'x');
    for (std::size_t sent = 0; sent <= ControlClient::kMaxLineBytes; sent += chunk.size()) s.SendRaw(chunk);
    return nullptr;
  });
  std::promise<std::string> closed;
  ControlClient client([](const std::string&, const json&) {}, [&](const std::string& w) { closed.set_value(w); });
  ASSERT_FALSE(client.Connect(path));
  EXPECT_FALSE(client.Call("version", nullptr, 60s).ok());
  EXPECT_EQ(closed.get_future().get(), "the console sent a line longer than the bridge takes");
}

// A console of one axis that moves at once and is at rest on the next status.
class FakeConsole {
 public:
  explicit FakeConsole(const std::string& path)
      : server(path, [this](const json& request, ScriptedServer&) { return Answer(request); }) {}

  json Answer(const json& request) {
    const std::string method = request["method"];
    if (method == "version") return Result({{"name", "stage-console"}, {"version", "0.1.0"}, {"api", 1}});
    if (method == "list_axes") {
      json axes = json::array();
      for (int i = 0; i < axis_count; ++i)
        axes.push_back({{"index", i}, {"name", i == 0 ? "X" : "Y"}, {"serial", "S"}, {"units", "um"}, {"counts_per_unit", 128}});
      return Result({{"axes", axes}});
    }
    if (method == "get_status") return Result(Status());
    if (method == "subscribe") return Result({{"rate_hz", request["params"]["rate_hz"]}});
    if (method == "acquire_control") {
      mine = true;
      return Result({{"control", true}});
    }
    if (method == "release_control") {
      mine = false;
      return Result({{"control", false}});
    }
    if (method == "move_absolute") {
      if (!mine) return json{{"error", {{"code", -32001}, {"message", "no control"}}}};
      return Result({{"axis", 0}, {"target", request["params"]["position"]}});
    }
    if (method == "stop_all") return Result(json::object());
    return json{{"error", {{"code", -32601}, {"message", "unknown"}}}};
  }
  json Status() const {
    json axes = json::array();
    for (int i = 0; i < axis_count; ++i)
      axes.push_back({{"position", 1.0}, {"ideal_position", 1.0}, {"busy", false}, {"error", false}, {"limit", false},
                      {"target", nullptr}});
    return {{"remote_moves_allowed", true}, {"control", {{"held", mine.load()}, {"mine", mine.load()}}}, {"axes", axes}};
  }
  void PushStatus() { server.Send({{"jsonrpc", "2.0"}, {"method", "status"}, {"params", Status()}}); }

  std::atomic<bool> mine{false};
  std::atomic<int> axis_count{1};
  ScriptedServer server;
};

class Recorder : public BridgeListener {
 public:
  void OnSnapshot(const Snapshot& snapshot) override {
    std::lock_guard gate(gate_);  // a test may hold it, as a device's lock
    std::lock_guard lock(mutex_);
    last_ = snapshot;
    ++count_;
  }
  template <typename Predicate>
  bool WaitFor(Predicate predicate) {
    for (int i = 0; i < 3000; ++i) {  // 30 s
      {
        std::lock_guard lock(mutex_);
        if (count_ > 0 && predicate(last_)) return true;
      }
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::mutex gate_;

 private:
  std::mutex mutex_;
  Snapshot last_;
  int count_ = 0;
};

BridgeOptions Options(const std::string& path) {
  BridgeOptions options;
  options.socket_path = path;
  options.reconnect_interval = 20ms;
  options.heartbeat = 10ms;
  options.control_linger = 50ms;
  options.pending_move = 50ms;
  options.call_timeout = 20s;
  return options;
}

TEST(Bridge, TakesControlOnlyToMoveGivesItBackAndIsNotHeldUpByABlockedListener) {
  const std::string path = SocketPath("control");
  FakeConsole console(path);
  Recorder recorder;
  Bridge bridge(Options(path));
  bridge.Start(&recorder);
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) { return s.link.connected; }));
  EXPECT_FALSE(console.mine);
  {
    // The devices' listener waits (as for a device's lock held by the very
    // Tango call that moves): the move must still get its answers.
    std::lock_guard held(recorder.gate_);
    console.PushStatus();
    bridge.MoveAbsolute(0, 500.0);
  }
  const auto methods = console.server.Methods();
  const auto acquire = std::find(methods.begin(), methods.end(), "acquire_control");
  ASSERT_NE(acquire, methods.end());
  EXPECT_EQ(*(acquire + 1), "move_absolute");
  console.PushStatus();
  ASSERT_TRUE(recorder.WaitFor([&](const Snapshot&) { return !console.mine; })) << "control is never given back";
  EXPECT_THROW(bridge.MoveAbsolute(3, 1.0), CommandRefused);
  bridge.Stop();
}

// A stop right after a move, before any status showed the axis busy: the
// move may have started, so the axis counts as moving until the console's
// status says otherwise, for a short while at most; it must not read ON
// while it may still be braking.
TEST(Bridge, AMoveStoppedBeforeItShowedBusyCountsAsMovingForAShortWhile) {
  const std::string path = SocketPath("stopped");
  FakeConsole console(path);
  Recorder recorder;
  BridgeOptions options = Options(path);
  options.pending_move = 10s;
  options.stop_settle = 300ms;
  Bridge bridge(options);
  bridge.Start(&recorder);
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) { return s.link.connected; }));
  console.PushStatus();
  bridge.MoveAbsolute(0, 500.0);
  bridge.StopAll();
  const auto stopped = std::chrono::steady_clock::now();
  EXPECT_TRUE(bridge.Current().MovePending(0, stopped));
  EXPECT_FALSE(bridge.Current().MovePending(0, stopped + 400ms));
  bridge.Stop();
}

TEST(Bridge, GoesUnknownSayingWhyWhenTheConsoleGoesAndReconnectsWhenItComesBack) {
  const std::string path = SocketPath("reconnect");
  Recorder recorder;
  Bridge bridge(Options(path));
  bridge.Start(&recorder);
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) {
    return !s.link.connected && s.link.why_not.find("cannot connect to") != std::string::npos;
  }));
  auto console = std::make_unique<FakeConsole>(path);
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) { return s.link.connected && s.axes.size() == 1; }));
  // Axes that come later (the start-up window's OK) are read when a status
  // shows them.
  console->axis_count = 2;
  console->PushStatus();
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) { return s.axes.size() == 2 && s.reading.axes.size() == 2; }));
  console->server.Drop();
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) {
    return !s.link.connected && s.link.why_not == "the console closed the connection";
  }));
  try {
    bridge.MoveAbsolute(0, 1.0);
    ADD_FAILURE() << "a move without a console";
  } catch (const CommandRefused& refused) {
    EXPECT_EQ(refused.code, rpc_code::kNotConnected);
  }
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) { return s.link.connected; }));
  EXPECT_GE(console->server.connections(), 2);
  // A server that is not the console's API: not connected, saying so.
  console.reset();
  ScriptedServer stranger(path, [](const json&, ScriptedServer&) { return Result({{"api", 7}}); });
  ASSERT_TRUE(recorder.WaitFor([](const Snapshot& s) {
    return !s.link.connected && s.link.why_not.find("control API 1") != std::string::npos;
  }));
  bridge.Stop();
}

}  // namespace
}  // namespace stage::tango_bridge
