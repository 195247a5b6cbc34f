// Why this exists: scripts drive the stage through the console's control API,
// and the operator must stay first. A client's move must reach the
// controller exactly as the operator's GO does; any client may stop; Esc
// takes control away from scripts and refuses their moves until the
// operator allows them again; one client holds control at a time, and one
// that dies mid-move leaves the move running to its target and control
// free; a client that never reads, a megabyte line, bytes that are not
// UTF-8, deep nesting and a burst of requests must neither crash the console
// nor hold its ticks up. The clients here are plain Unix sockets, as a
// script's are; the polling cycle is run by the test, one tick at a time.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "stage/control/event_log.h"
#include "stage/control/request.h"
#include "stage/usb/packet_codec.h"
#include "tests/ui/live_console.h"
#include "tests/ui/slider_handle.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/accessible_names.h"
#include "ui/common/fonts.h"
#include "ui/main/event_recorder.h"
#include "ui/remote/frmRemote.h"
#include "ui/remote/remote_console.h"
#include "ui/tuning/frmXCtrl0.h"

using stage::AxisIndex;
using stage::control::Json;
using namespace stage::ui;
using namespace stage::ui::testing;

// nlohmann's conversions confuse QCOMPARE's overloads: JSON is compared here.
#define JSON_COMPARE(actual, expected)                                                          \
  do {                                                                                          \
    const Json json_actual = (actual);                                                          \
    QVERIFY2(json_actual == Json(expected), qPrintable(QString::fromStdString(json_actual.dump()))); \
  } while (false)

namespace {

constexpr int kStop = stage::usb::kStopBit;
// How long a test waits for what must come at once, before it fails.
constexpr int kPatienceMs = 10000;

// A script's end of the socket: non-blocking, read while the test lets the
// console's event loop run.
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    QCoreApplication::processEvents();  // accepted
  }
  ~RawClient() { Close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool Connected() const { return connected_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Writes all of `bytes`, letting the console read meanwhile.
  bool Write(const std::string& bytes) {
    std::size_t done = 0;
    QElapsedTimer waited;
    waited.start();
    while (done < bytes.size()) {
      const ssize_t wrote = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (wrote > 0) {
        done += static_cast<std::size_t>(wrote);
        continue;
      }
      if (wrote < 0 && errno != EAGAIN) return false;
      if (waited.elapsed() > kPatienceMs) return false;
      // A script reads its answers while it writes, or the console drops it.
      Pump();
      if (after_each_wait) after_each_wait();
    }
    return true;
  }

  // The next line from the console within the patience, else nullopt.
  std::optional<Json> Next(int patience_ms = kPatienceMs) {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
      if (auto line = TakeLine()) return Json::parse(*line);
      if (closed_) return std::nullopt;
      if (Pump()) continue;
      if (closed_) return std::nullopt;
      if (waited.elapsed() > patience_ms) return std::nullopt;
      if (after_each_wait) after_each_wait();
    }
  }
  // Reads what is left until the console's end of the connection closes.
  bool ClosedByConsole() {
    QElapsedTimer waited;
    waited.start();
    while (!closed_ && waited.elapsed() < kPatienceMs) Next(200);
    return closed_;
  }

  // A request answered: notifications that come first are kept.
  Json Call(const std::string& method, const Json& params = Json::object()) {
    const int id = ++last_id_;
    Json request = {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
    if (!params.empty()) request["params"] = params;
    if (!Write(request.dump() + "\n")) return Json();
    for (;;) {
      std::optional<Json> line = Next();
      if (!line) return Json();
      if (line->contains("id") && (*line)["id"] == id) return *line;
      notifications.push_back(*line);
    }
  }

  std::vector<Json> notifications;
  // Run while the client waits (the test's ticks).
  std::function<void()> after_each_wait;

 private:
  // Lets the console run and reads what it sent, until neither has more to
  // do: true when something came.
  bool Pump() {
    bool came = false;
    for (int round = 0; round < 1000; ++round) {
      QCoreApplication::processEvents();
      bool got_any = false;
      for (;;) {
        char chunk[65536];
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got > 0) {
          inbox_.append(chunk, static_cast<std::size_t>(got));
          got_any = true;
          continue;
        }
        if (got == 0) closed_ = true;
        break;
      }
      if (!got_any) break;
      came = true;
    }
    return came;
  }

  std::optional<std::string> TakeLine() {
    const std::size_t end = inbox_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = inbox_.substr(0, end);
    inbox_.erase(0, end + 1);
    return line;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string inbox_;
  int last_id_ = 0;
};

// A console on the simulator with its control API on a socket of its own,
// and its event log kept for the test.
struct RemoteRig {
  explicit RemoteRig(std::uint32_t axes = 3)
      : events([this](const std::string& line) {
          const std::lock_guard lock(log_mutex);
          log.push_back(line);
        }),
        remote([this] { return console ? console->main : nullptr; }, &events, "9.9.9",
               [this] {
                 // The simulator's clock: ten milliseconds a tick.
                 return console ? std::chrono::duration<double>(console->clock->Now()).count() : 0.0;
               }) {
    path = folder.filePath(QStringLiteral("control.sock")).toStdString();
    std::string message;
    if (!remote.Start(path, message)) qFatal("the control API did not start: %s", message.c_str());
    StartUp start_up;
    start_up.axes = axes;
    start_up.events = &events;
    start_up.remote = &remote;
    console = std::make_unique<LiveConsole>(start_up);
    Tick(2);
  }

  // The paused clients' read, one polling cycle, then the API's turn, as
  // the timers give them.
  void Tick(int ticks = 1) {
    for (int t = 0; t < ticks; ++t) {
      remote.Server().PreTick();
      console->Tick();
      remote.AfterTick(std::chrono::milliseconds(10));
      QCoreApplication::processEvents();
    }
  }
  std::unique_ptr<RawClient> Client() {
    auto client = std::make_unique<RawClient>(path);
    client->after_each_wait = [this] { Tick(); };
    return client;
  }
  bool Logged(const std::string& part) {
    events.Flush();
    const std::lock_guard lock(log_mutex);
    return std::any_of(log.begin(), log.end(), [&part](const std::string& line) {
      return line.find(part) != std::string::npos;
    });
  }
  frmMain& Main() { return console->Main(); }

  QTemporaryDir folder;
  std::string path;
  std::mutex log_mutex;
  std::vector<std::string> log;
  stage::control::EventLog events;
  RemoteConsole remote;
  std::unique_ptr<LiveConsole> console;
};

}  // namespace

class ControlTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  // The packets of axis 0 over a move to 10 µm: made by the operator's
  // quick click on GO, and by a client's move_absolute.
  void a_clients_move_sends_the_packets_of_the_operators_go() {
    std::vector<Packet> by_operator;
    {
      LiveConsole console;
      console.Tick(2);
      console.TypeTarget(0, QStringLiteral("10"));
      const std::size_t before = console.Sent(0).size();
      QTest::mouseClick(console.Main().cmdGo(0), Qt::LeftButton);
      console.Tick(12);
      by_operator.assign(console.Sent(0).begin() + static_cast<std::ptrdiff_t>(before), console.Sent(0).end());
      QCOMPARE(console.Main().Text2(0)->text(), QStringLiteral("10.00"));
    }
    RemoteRig rig;
    auto client = rig.Client();
    client->after_each_wait = nullptr;  // no tick between the move and the count
    JSON_COMPARE(client->Call("acquire_control")["result"]["control"], true);
    const std::size_t before = rig.console->Sent(0).size();
    const Json moved = client->Call("move_absolute", {{"axis", "X"}, {"position", 10}});
    QCOMPARE(moved["result"]["target_counts"].get<double>(), 1280.0);
    // The target box shows the new target, as after the operator's GO.
    QCOMPARE(rig.Main().Text2(0)->text(), QStringLiteral("10.00"));
    rig.Tick(12);
    const std::vector<Packet> by_client(rig.console->Sent(0).begin() + static_cast<std::ptrdiff_t>(before),
                                        rig.console->Sent(0).end());
    QCOMPARE(by_client.size(), by_operator.size());
    for (std::size_t i = 0; i < by_client.size(); ++i) {
      // The toggle bit alternates with the run's own packet count.
      Packet a = by_client[i];
      Packet b = by_operator[i];
      a[3] &= static_cast<std::uint8_t>(~stage::usb::kToggleBit);
      b[3] &= static_cast<std::uint8_t>(~stage::usb::kToggleBit);
      QVERIFY2(a == b, qPrintable(QStringLiteral("packet %1 differs").arg(i)));
    }
    // It has moved, and the client sees where it went.
    const Json status = client->Call("get_status", {{"axis", 0}});
    QCOMPARE(status["result"]["axes"][0]["target_counts"].get<double>(), 1280.0);
    QVERIFY(rig.Logged("move_absolute axis 0 position 1280 counts: accepted"));
  }

  void a_travel_limit_refuses_a_client_as_it_refuses_the_operator() {
    RemoteRig rig;
    rig.Main().SetTravelLimits(0, stage::TravelLimits{-1280, 6400});
    auto client = rig.Client();
    client->Call("acquire_control");
    const std::size_t before = rig.console->Sent(0).size();
    const Json refused = client->Call("move_absolute", {{"axis", 0}, {"position", 51}});
    QCOMPARE(refused["error"]["code"].get<int>(), stage::control::kBeyondLimit);
    const QString line = rig.Main().lblMessage()->text();
    QVERIFY(!line.isEmpty());
    QCOMPARE(QString::fromStdString(refused["error"]["message"].get<std::string>()), line);
    const Json relative = client->Call("move_relative", {{"axis", 0}, {"distance", -11}});
    QCOMPARE(relative["error"]["code"].get<int>(), stage::control::kBeyondLimit);
    const Json range = client->Call("move_absolute", {{"axis", 0}, {"position", 2e9}, {"units", "counts"}});
    QCOMPARE(range["error"]["code"].get<int>(), stage::control::kMoveRefused);
    rig.Tick(3);
    for (std::size_t i = before; i < rig.console->Sent(0).size(); ++i) {
      QCOMPARE(rig.console->Sent(0)[i][3] & stage::usb::kGoBit, 0);
    }
  }

  void moves_one_per_tick_on_an_axis() {
    RemoteRig rig;
    auto client = rig.Client();
    client->Call("acquire_control");
    // Two moves of axis 0 and one of axis 1, in one write.
    const std::string burst =
        R"({"jsonrpc":"2.0","id":1,"method":"move_absolute","params":{"axis":0,"position":1}})" "\n"
        R"({"jsonrpc":"2.0","id":2,"method":"move_absolute","params":{"axis":0,"position":2}})" "\n"
        R"({"jsonrpc":"2.0","id":3,"method":"move_absolute","params":{"axis":1,"position":3}})" "\n";
    client->after_each_wait = nullptr;  // the ticks are the test's here
    QVERIFY(client->Write(burst));
    std::optional<Json> first = client->Next();
    QVERIFY(first);
    JSON_COMPARE((*first)["id"], 1);
    QVERIFY(!client->Next(100));  // the second waits for the tick
    QCOMPARE(rig.console->tables.TargetCounts[0], 128.0);
    rig.Tick();
    // The first target went out; then the second was taken.
    QCOMPARE(stage::usb::DecodeCommand(rig.console->Sent(0).back())->target_counts, 128.0);
    JSON_COMPARE((*client->Next())["id"], 2);
    JSON_COMPARE((*client->Next())["id"], 3);
    QCOMPARE(rig.console->tables.TargetCounts[0], 256.0);
  }

  void any_client_stops_without_control() {
    RemoteRig rig;
    auto holder = rig.Client();
    auto other = rig.Client();
    holder->Call("acquire_control");
    holder->Call("move_absolute", {{"axis", 0}, {"position", 100}});
    holder->Call("move_absolute", {{"axis", 2}, {"position", -100}});
    rig.Tick(3);
    QCOMPARE(other->Call("move_absolute", {{"axis", 0}, {"position", 1}})["error"]["code"].get<int>(),
             stage::control::kNoControl);
    std::vector<std::size_t> before;
    for (std::uint32_t d = 0; d < 3; ++d) before.push_back(rig.console->Sent(d).size());
    JSON_COMPARE(other->Call("stop_all")["result"], Json::object());
    rig.Tick();
    // A quick click on STOP: the bit in the next packet of every axis.
    for (std::uint32_t d = 0; d < 3; ++d) QCOMPARE(rig.console->Sent(d)[before[d]][3] & kStop, kStop);
    rig.Tick(30);
    // Stopped short of the targets, and stopped by a STOP.
    QVERIFY(!rig.Main().MoveEnd(0).has_value());
    QVERIFY(rig.Logged("): stop_all"));
    // The holder keeps control.
    JSON_COMPARE(holder->Call("get_status")["result"]["control"]["mine"], true);
  }

  // A client served since the tick is read again only shortly before the
  // next tick, and stays on that read while it keeps sending: a stop it
  // sends behind a read still reaches that tick. Once a read before the
  // tick finds nothing, it is answered at once again.
  void a_busy_client_is_read_once_a_tick_and_quiet_one_at_once() {
    RemoteRig rig;
    auto holder = rig.Client();
    holder->Call("acquire_control");
    holder->Call("move_absolute", {{"axis", 0}, {"position", 100}});
    rig.Tick(3);
    auto client = rig.Client();
    client->after_each_wait = nullptr;  // the ticks are the test's here
    // The next tick is a while off, so the pause shows.
    rig.remote.AfterTick(std::chrono::milliseconds(1500));
    QVERIFY(client->Write(R"({"jsonrpc":"2.0","id":1,"method":"get_status"})" "\n"));
    std::optional<Json> first = client->Next();
    QVERIFY(first);
    JSON_COMPARE((*first)["id"], 1);
    QVERIFY(client->Write(R"({"jsonrpc":"2.0","id":2,"method":"get_status"})" "\n"
                          R"({"jsonrpc":"2.0","id":3,"method":"stop_all"})" "\n"));
    QVERIFY(!client->Next(100));  // not read at once
    // Read in one go before the tick, in order, with no tick between.
    const std::size_t before = rig.console->Sent(0).size();
    std::optional<Json> second = client->Next();
    QVERIFY(second);
    JSON_COMPARE((*second)["id"], 2);
    std::optional<Json> third = client->Next();
    QVERIFY(third);
    JSON_COMPARE((*third)["id"], 3);
    QCOMPARE(rig.console->Sent(0).size(), before);
    // Still sending: read before the next tick, not at once (the API's turn
    // after a tick, with the next one far off again).
    rig.remote.AfterTick(std::chrono::milliseconds(1500));
    QVERIFY(client->Write(R"({"jsonrpc":"2.0","id":4,"method":"get_status"})" "\n"));
    QVERIFY(!client->Next(100));
    rig.Tick();
    QCOMPARE(rig.console->Sent(0)[before][3] & kStop, kStop);
    std::optional<Json> fourth = client->Next();
    QVERIFY(fourth);
    JSON_COMPARE((*fourth)["id"], 4);
    // A tick with nothing from it: answered at once again, with no tick.
    rig.Tick();
    QVERIFY(client->Write(R"({"jsonrpc":"2.0","id":5,"method":"get_status"})" "\n"));
    std::optional<Json> fifth = client->Next();
    QVERIFY(fifth);
    JSON_COMPARE((*fifth)["id"], 5);
  }

  // With no tick coming (the rig's ticks are the test's, and it gives
  // none), a client that keeps asking is still read, once a tick period.
  void a_busy_client_is_served_while_no_tick_comes() {
    RemoteRig rig;
    auto client = rig.Client();
    client->after_each_wait = nullptr;
    for (int id = 1; id <= 4; ++id) {
      QVERIFY(client->Write(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"get_status"})" "\n"));
      std::optional<Json> answer = client->Next();
      QVERIFY(answer);
      JSON_COMPARE((*answer)["id"], id);
    }
  }

  // A holder that was just served and then closes is not seen closing until
  // the read before the next tick; a client asking for control meanwhile
  // gets it all the same.
  void a_holder_that_closes_between_ticks_leaves_control_free() {
    RemoteRig rig;
    rig.remote.AfterTick(std::chrono::milliseconds(1500));
    auto holder = rig.Client();
    holder->after_each_wait = nullptr;
    JSON_COMPARE(holder->Call("acquire_control")["result"]["control"], true);
    holder->Close();
    auto other = rig.Client();
    other->after_each_wait = nullptr;
    JSON_COMPARE(other->Call("acquire_control")["result"]["control"], true);
    QVERIFY(rig.Logged("released control (disconnected)"));
  }

  void escape_revokes_control_and_refuses_until_allowed() {
    RemoteRig rig;
    auto client = rig.Client();
    client->Call("acquire_control");
    QVERIFY(rig.remote.Window().isVisible());
    client->Call("move_absolute", {{"axis", 1}, {"position", 50}});
    rig.Tick(3);
    QWindow* window = rig.Main().windowHandle();
    QTest::keyPress(window, Qt::Key_Escape);
    QTest::keyRelease(window, Qt::Key_Escape);
    rig.Tick();
    QCOMPARE(rig.console->LastControlByte(1) & kStop, kStop);
    // Told at once, without asking.
    std::optional<Json> told = client->Next();
    QVERIFY(told);
    JSON_COMPARE((*told)["method"], "control_lost");
    JSON_COMPARE((*told)["params"]["reason"], "remote moves refused by the operator");
    QCOMPARE(client->Call("move_absolute", {{"axis", 1}, {"position", 1}})["error"]["code"].get<int>(),
             stage::control::kRemoteMovesRefused);
    QCOMPARE(client->Call("acquire_control")["error"]["code"].get<int>(), stage::control::kRemoteMovesRefused);
    JSON_COMPARE(client->Call("stop", {{"axis", 1}})["result"], Json::object());
    frmRemote& remote_window = rig.remote.Window();
    remote_window.Refresh();
    QVERIFY(remote_window.lblMoves()->text().contains(QStringLiteral("refused")));
    QTest::mouseClick(remote_window.cmdMoves(), Qt::LeftButton);
    JSON_COMPARE(client->Call("acquire_control")["result"]["control"], true);
    QVERIFY(rig.Logged("operator: Esc"));
    QVERIFY(rig.Logged("the operator allows remote moves"));
    // And the Revoke button takes it back without refusing.
    remote_window.Refresh();
    QVERIFY(remote_window.cmdRevoke()->isEnabled());
    QTest::mouseClick(remote_window.cmdRevoke(), Qt::LeftButton);
    told = client->Next();
    QVERIFY(told);
    JSON_COMPARE((*told)["params"]["reason"], "revoked by the operator");
    JSON_COMPARE(client->Call("acquire_control")["result"]["control"], true);
  }

  // The event log is the console's, not the API's: with --no-control and
  // --log FILE (no RemoteConsole here) the operator's Exit, More Controls
  // and tuning and a controller's fault reach stderr and the file, each
  // with its time. The fault is recorded on the tick and written after it;
  // a slider is logged once it settles, not once per step of a drag.
  void the_event_log_needs_no_api_and_has_every_source() {
    QTemporaryDir folder;
    const std::string path = folder.filePath(QStringLiteral("events.log")).toStdString();
    std::mutex mutex;
    std::vector<std::string> lines;
    const auto logged = [&](const std::string& part) {
      const std::lock_guard lock(mutex);
      return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&part](const std::string& line) {
        return line.find(part) != std::string::npos;
      }));
    };
    {
      stage::control::EventLog events([&](const std::string& line) {
        const std::lock_guard lock(mutex);
        lines.push_back(line);
      });
      std::string error;
      QVERIFY2(events.OpenFile(path, error), error.c_str());
      StartUp start_up;
      start_up.axes = 2;
      start_up.events = &events;
      // Axis 0's replies of ticks 3 and 4 report busy and error.
      for (const std::uint32_t nth : {3U, 4U}) {
        stage::sim::TransferFault fault;
        fault.op = stage::sim::TransferOp::kRead;
        fault.device = 0;
        fault.nth = nth;
        fault.kind = stage::sim::TransferFault::Kind::kVerbatimReply;
        fault.reply = Reply(0, static_cast<std::uint8_t>(stage::usb::kFlagBusy | stage::usb::kFlagError), 0);
        start_up.faults.push_back(fault);
      }
      LiveConsole console(start_up);
      frmMain& main = console.Main();
      const QString axis0 = stage::ui::AxisLabel(console.tables, 0);
      console.Tick(6);
      QTRY_COMPARE_WITH_TIMEOUT(logged("fault: axis " + axis0.toStdString() + " reports an error"), 1, kPatienceMs);
      QTRY_COMPARE_WITH_TIMEOUT(logged("fault: axis " + axis0.toStdString() + " no longer reports an error"), 1,
                                kPatienceMs);

      QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
      frmXCtrl0& panel = console.Panel();
      QVERIFY(QTest::qWaitForWindowExposed(&panel));
      // Three key steps on P gain: one line once it settles.
      TuningSlider* p_gain = panel.Slider3(0);
      const int p_before = p_gain->value();
      p_gain->setFocus();
      for (int step = 0; step < 3; ++step) QTest::keyClick(p_gain, Qt::Key_Up);
      const int p_after = p_gain->value();
      QVERIFY(p_after != p_before);
      // A drag of Torque over many pixels: one line, after the release.
      TuningSlider* torque = panel.Slider7(1);
      const int torque_before = torque->value();
      const QPoint handle = HandleCentre(*torque);
      QTest::mousePress(torque, Qt::LeftButton, {}, handle);
      for (int pixel = 1; pixel <= 30; ++pixel) {
        const QPointF to(handle - QPoint(0, pixel));
        QMouseEvent drag(QEvent::MouseMove, to, torque->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                         Qt::NoModifier);
        QApplication::sendEvent(torque, &drag);
      }
      QTest::qWait(2 * EventRecorder::kSettledAfterMs);
      QCOMPARE(logged("Torque"), 0);  // still held
      QTest::mouseRelease(torque, Qt::LeftButton, {}, handle - QPoint(0, 30));
      const int torque_after = torque->value();
      QVERIFY(torque_after != torque_before);
      // Values set by others (a script's set_tuning, a profile) are not the operator's.
      panel.Slider5(0)->setValue(panel.Slider5(0)->value() + 1);
      const std::string p_line = QStringLiteral("operator: P gain of axis %1 from %2 to %3")
                                     .arg(axis0)
                                     .arg(p_before)
                                     .arg(p_after)
                                     .toStdString();
      QTRY_COMPARE_WITH_TIMEOUT(logged(p_line), 1, kPatienceMs);
      const std::string torque_line = QStringLiteral("operator: Torque of axis %1 from %2 to %3")
                                          .arg(stage::ui::AxisLabel(console.tables, 1))
                                          .arg(torque_before)
                                          .arg(torque_after)
                                          .toStdString();
      QTRY_COMPARE_WITH_TIMEOUT(logged(torque_line), 1, kPatienceMs);
      QCOMPARE(logged("P gain"), 1);
      QCOMPARE(logged("Torque"), 1);
      QCOMPARE(logged("D gain"), 0);

      QTest::mouseClick(main.cmdExit(), Qt::LeftButton);
      QVERIFY(events.Flush());
      QCOMPARE(logged("operator: More Controls"), 1);
      QCOMPARE(logged("operator: Exit"), 1);
    }
    // The file has the same lines, each "TIME text", without the prefix.
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::string expected;
    for (const std::string& line : lines) expected += line.substr(std::strlen("stage-console: "));
    QCOMPARE(QString::fromStdString(text.str()), QString::fromStdString(expected));
    QVERIFY(lines.size() >= 6);
    for (const std::string& line : lines) QCOMPARE(line.substr(15 + 23, 2), std::string("Z "));
  }

  void two_clients_contend_for_control() {
    RemoteRig rig;
    auto first = rig.Client();
    auto second = rig.Client();
    JSON_COMPARE(first->Call("acquire_control")["result"]["control"], true);
    const Json refused = second->Call("acquire_control");
    QCOMPARE(refused["error"]["code"].get<int>(), stage::control::kNoControl);
    QVERIFY(QString::fromStdString(refused["error"]["message"].get<std::string>())
                .contains(QString::number(::getpid())));
    QCOMPARE(second->Call("zero", {{"axis", 0}})["error"]["code"].get<int>(), stage::control::kNoControl);
    JSON_COMPARE(first->Call("release_control")["result"]["control"], false);
    JSON_COMPARE(second->Call("acquire_control")["result"]["control"], true);
    JSON_COMPARE(first->Call("get_status")["result"]["control"]["mine"], false);
    // The Remote window shows both and who holds control.
    frmRemote& window = rig.remote.Window();
    window.Refresh();
    QCOMPARE(window.tblClients()->rowCount(), 2);
    QVERIFY(window.lblControl()->text().contains(QString::number(::getpid())));
    QVERIFY(window.lstCommands()->count() >= 4);
  }

  // A client process that takes control, starts a move and is killed.
  void a_client_killed_mid_move_leaves_the_move_running_and_control_free() {
    RemoteRig rig;
    const std::string request =
        R"({"jsonrpc":"2.0","id":1,"method":"acquire_control"})" "\n"
        R"({"jsonrpc":"2.0","id":2,"method":"move_absolute","params":{"axis":0,"position":20}})" "\n";
    const pid_t child = ::fork();
    if (child == 0) {
      // Only async-signal-safe calls here.
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::memcpy(address.sun_path, rig.path.c_str(), rig.path.size());
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(1);
      if (::write(fd, request.data(), request.size()) < 0) ::_exit(1);
      for (;;) ::pause();
    }
    QVERIFY(child > 0);
    QElapsedTimer waited;
    waited.start();
    while (rig.console->tables.TargetCounts[0] != 2560.0 && waited.elapsed() < kPatienceMs) {
      QCoreApplication::processEvents();
      rig.Tick();
    }
    QCOMPARE(rig.console->tables.TargetCounts[0], 2560.0);
    QVERIFY(rig.remote.Core().Holder().has_value());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    waited.restart();
    while (rig.remote.Core().Holder() && waited.elapsed() < kPatienceMs) rig.Tick();
    QVERIFY(!rig.remote.Core().Holder());
    QVERIFY(rig.Logged("client pid " + std::to_string(child)));
    QVERIFY(rig.Logged("released control (disconnected)"));
    rig.Tick(200);
    // The move ran to its target.
    QCOMPARE(rig.Main().LastReply(0).position, 2560);
    rig.remote.Window().Refresh();
    QCOMPARE(rig.remote.Window().tblClients()->rowCount(), 0);
  }

  void a_subscriber_that_never_reads_is_dropped_and_the_ticks_go_on() {
    RemoteRig rig;
    auto reader = rig.Client();
    auto stalled = rig.Client();
    stalled->after_each_wait = nullptr;
    QCOMPARE(stalled->Call("subscribe", {{"rate_hz", 100}})["result"]["rate_hz"].get<double>(), 100.0);
    // From here it never reads. Every tick queues one status for it.
    int ticks = 0;
    const std::size_t packets_before = rig.console->Sent(0).size();
    while (rig.remote.Server().ClientCount() == 2 && ticks < 20000) {
      rig.Tick();
      ++ticks;
    }
    QCOMPARE(rig.remote.Server().ClientCount(), 1);
    QVERIFY(rig.Logged("its unread output passed 1 MiB"));
    // Every tick polled the controllers meanwhile.
    QCOMPARE(rig.console->Sent(0).size() - packets_before, static_cast<std::size_t>(ticks));
    // The other client is served as before.
    JSON_COMPARE(reader->Call("version")["result"]["version"], "9.9.9");
    QVERIFY(stalled->ClosedByConsole());
  }

  void hostile_lines_are_answered_and_the_connection_stays() {
    RemoteRig rig;
    auto client = rig.Client();
    // A line of 1 MiB: one error, the rest skipped.
    QVERIFY(client->Write(std::string(std::size_t{1024} * 1024, 'x') + "\n"));
    std::optional<Json> answer = client->Next();
    QVERIFY(answer);
    QCOMPARE((*answer)["error"]["code"].get<int>(), stage::control::kInvalidRequest);
    QVERIFY((*answer)["id"].is_null());
    // Bytes that are not UTF-8.
    QVERIFY(client->Write("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xFF\xFE\"}\n"));
    QCOMPARE((*client->Next())["error"]["code"].get<int>(), stage::control::kParseError);
    // Nesting far deeper than allowed.
    QVERIFY(client->Write(std::string(10000, '[') + std::string(10000, ']') + "\n"));
    QCOMPARE((*client->Next())["error"]["code"].get<int>(), stage::control::kParseError);
    QVERIFY(client->Write(std::string(50000, '{') + "\n"));
    QCOMPARE((*client->Next())["error"]["code"].get<int>(), stage::control::kParseError);
    // Still served.
    QCOMPARE(client->Call("version")["result"]["api"].get<int>(), 1);
  }

  void a_burst_of_ten_thousand_requests_is_answered_in_order() {
    RemoteRig rig;
    auto client = rig.Client();
    std::string burst;
    for (int id = 1; id <= 10000; ++id) {
      burst += R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"get_status"})" "\n";
    }
    const std::size_t packets_before = rig.console->Sent(0).size();
    QVERIFY2(client->Write(burst), rig.Logged("unread output") ? "dropped for unread output" : "not dropped");
    for (int id = 1; id <= 10000; ++id) {
      const std::optional<Json> answer = client->Next();
      QVERIFY2(answer, qPrintable(QStringLiteral("no answer %1").arg(id)));
      QCOMPARE((*answer)["id"].get<int>(), id);
      QVERIFY((*answer).contains("result"));
    }
    // Served a few hundred per tick: the polling went on through it.
    QVERIFY(rig.console->Sent(0).size() - packets_before >= 10000 / stage::control::ControlCore::kRequestsPerTurn - 1);
  }

  void the_remote_window_opens_beside_and_coming_back_does_not_activate() {
    RemoteRig rig;
    rig.Main().activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig.Main()));
    auto client = rig.Client();
    client->Call("acquire_control");
    frmRemote& window = rig.remote.Window();
    QVERIFY(window.isVisible());
    // Clear of the main window, which keeps the keyboard.
    QVERIFY(!window.frameGeometry().intersects(rig.Main().frameGeometry()));
    QTRY_COMPARE(QApplication::activeWindow(), &rig.Main());
    // F10 from the main window brings it in front.
    client->Call("move_absolute", {{"axis", 0}, {"position", 5}});
    rig.Tick(2);
    QTest::keyClick(rig.Main().windowHandle(), Qt::Key_F10);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    rig.console->tables.ActiveBit[0] = 0;  // set again only by activation
    rig.Main().activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&rig.Main()));
    QCOMPARE(rig.console->tables.ActiveBit[0], std::uint8_t{0});
    QCOMPARE(rig.Main().Text2(0)->text(), QStringLiteral("5.00"));
    // What a client sent is shown as it is, never as markup.
    QCOMPARE(window.lblControl()->textFormat(), Qt::PlainText);
  }

  void a_live_socket_is_left_alone_and_a_stale_one_replaced() {
    QTemporaryDir folder;
    const std::string path = folder.filePath(QStringLiteral("c.sock")).toStdString();
    std::string message;
    {
      stage::control::LocalControlServer first({});
      QCOMPARE(first.Listen(path, false, message), stage::control::LocalControlServer::Started::kServing);
      struct stat info {};
      QCOMPARE(::stat(path.c_str(), &info), 0);
      QCOMPARE(info.st_mode & 0777, 0600U);
      stage::control::LocalControlServer second({});
      QCOMPARE(second.Listen(path, false, message), stage::control::LocalControlServer::Started::kInUse);
      QVERIFY(QString::fromStdString(message).contains(QStringLiteral("another console")));
    }
    // A socket file nobody answers on.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    stage::control::LocalControlServer third({});
    QCOMPARE(third.Listen(path, false, message), stage::control::LocalControlServer::Started::kServing);
    // Not a socket: never deleted.
    const std::string file = folder.filePath(QStringLiteral("plain")).toStdString();
    QFile plain(QString::fromStdString(file));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    stage::control::LocalControlServer fourth({});
    QCOMPARE(fourth.Listen(file, false, message), stage::control::LocalControlServer::Started::kFailed);
    QVERIFY(QFile::exists(QString::fromStdString(file)));
    // The default folder is made private.
    const std::string nested = folder.filePath(QStringLiteral("run/stage-console/control.sock")).toStdString();
    QVERIFY(QDir().mkpath(folder.filePath(QStringLiteral("run"))));
    stage::control::LocalControlServer fifth({});
    QCOMPARE(fifth.Listen(nested, true, message), stage::control::LocalControlServer::Started::kServing);
    struct stat info {};
    QCOMPARE(::stat(folder.filePath(QStringLiteral("run/stage-console")).toLocal8Bit().constData(), &info), 0);
    QCOMPARE(info.st_mode & 0777, 0700U);
  }

  // As root, a client of another user is turned away by its credentials.
  void another_users_client_is_refused() {
    if (::getuid() != 0) QSKIP("needs root to connect as another user");
    RemoteRig rig;
    ::chmod(rig.folder.path().toLocal8Bit().constData(), 0755);
    ::chmod(rig.path.c_str(), 0666);
    const pid_t child = ::fork();
    if (child == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::memcpy(address.sun_path, rig.path.c_str(), rig.path.size());
      if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) ::_exit(4);
      const char request[] = "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"version\"}\n";
      if (::write(fd, request, sizeof request - 1) < 0) ::_exit(5);
      char reply[16];
      // Closed without an answer: 0 bytes (or a reset).
      ::_exit(::read(fd, reply, sizeof reply) <= 0 ? 0 : 6);
    }
    int status = -1;
    QElapsedTimer waited;
    waited.start();
    while (::waitpid(child, &status, WNOHANG) == 0 && waited.elapsed() < kPatienceMs) {
      QCoreApplication::processEvents();
      QTest::qWait(5);
    }
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);
    QVERIFY(rig.Logged("refused a connection from pid " + std::to_string(child) + " uid 65534"));
    QCOMPARE(rig.remote.Server().ClientCount(), 0);
  }
};

STAGE_UI_TEST_MAIN(ControlTest)
#include "control_test.moc"
