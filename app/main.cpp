// stage-console: picks the device library from the command line (by default
// the console's own USB backend), then starts in the "Motor Settings" window.
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSpinBox>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/display_check.h"
#include "app/last_resort.h"
#include "app/stderr_relay.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/profile/admin_limits.h"
#include "stage/scope/scope_recorder.h"
#include "stage/scope/trace_writer.h"
#include "stage/sim/scenario.h"
#include "stage/sim/simulated_controllers.h"
#include "stage/usb/libusb_transport.h"
#include "stage/usb/native_usb.h"
#include "stage/usb/shared_library.h"
#include "ui/common/console_context.h"
#include "ui/common/fonts.h"
#include "ui/common/offscreen_screen.h"
#include "ui/common/outside_end.h"
#include "ui/common/profile_session.h"
#include "ui/common/program_exit.h"
#include "ui/common/window_icon.h"
#include "ui/main/frmMain.h"
#include "ui/remote/remote_console.h"
#include "stage/control/event_log.h"
#include "ui/scope/frmScope.h"
#include "ui/select/frmSelect.h"
#include "ui/tuning/frmXCtrl0.h"

namespace {

using stage::app::CommandLine;

// Lets the first polling cycles fill the main window before it is rendered.
constexpr int kRenderDelayMs = 300;
// The Scope's picture: a GO on axis 0 to this target, pictured once the move
// has settled and its figures are in.
constexpr const char* kRenderedMoveTarget = "1000";
constexpr int kRenderedMoveMs = 1500;

// One line on stderr whose text may hold what came from outside (a
// controller's strings, a word of the command line, a path): escaped, so that
// nothing in it can clear the screen, move the cursor or hide the line.
void PrintLine(const std::string& text) {
  std::fprintf(stderr, "stage-console: %s\n", stage::usb::PrintableText(text).c_str());
}
void PrintLine(const QString& text) { PrintLine(text.toStdString()); }

bool Save(QWidget& window, const QDir& dir, const char* file) {
  const QString path = dir.filePath(QString::fromLatin1(file));
  if (window.grab().save(path, "PNG")) return true;
  PrintLine(QStringLiteral("cannot write ") + path);
  return false;
}

// A render has no operator to answer a message box: ProcessExit's modal box
// would wait for ever on the offscreen platform. A fatal device message goes
// to stderr instead, the windows stop talking to the controllers (Ended()),
// and the render still pictures what it can, then ends with status 1.
class RenderExit final : public stage::ui::ProgramExit {
 public:
  void Fatal(QWidget* /*parent*/, const QString& message) override {
    if (!ended_) stage::ui::PrintFatalMessage(message);
    ended_ = true;
    failed_ = true;
  }
  void End(int status) override {
    ended_ = true;
    std::fflush(nullptr);
    stage::app::DrainStderrRelay();
    std::_Exit(status);
  }
  bool Ended() const override { return ended_; }
  bool Failed() const { return failed_; }

 private:
  bool ended_ = false;
  bool failed_ = false;
};

// What sees every exchange: the trace (with --trace) and the Scope's
// recorder, which needs the axis count and joins once the start-up window
// has counted the controllers.
struct Observers {
  Observers() = default;
  ~Observers() { trace_at_exit_ = nullptr; }
  Observers(const Observers&) = delete;
  Observers& operator=(const Observers&) = delete;

  stage::scope::ExchangeFanOut fan_out;
  std::unique_ptr<stage::scope::TraceWriter> trace;
  std::unique_ptr<stage::scope::TraceObserver> trace_observer;
  std::unique_ptr<stage::scope::ScopeRecorder> recorder;

  // A trace file that cannot be written is said on stderr; the console goes
  // on. Nothing here waits: a FIFO without a reader is opened by the trace's
  // writer thread once one comes.
  void OpenTrace(const std::string& path, const stage::modKVT_USB& tables) {
    if (path.empty()) return;
    stage::scope::TraceOpen opened = stage::scope::OpenTraceFile(path);
    if (!opened.sink) {
      PrintLine(opened.message + "; the console goes on without it");
      return;
    }
    if (!opened.message.empty()) PrintLine(opened.message);
    trace = std::make_unique<stage::scope::TraceWriter>(
        std::move(opened.sink),
        [](const std::string& message) { PrintLine(message); });
    trace_observer =
        std::make_unique<stage::scope::TraceObserver>(*trace, tables, stage::scope::SteadyExchangeClock());
    fan_out.Add(*trace_observer);
    // An exit() from inside Qt (the X connection lost) unwinds nothing:
    // the trace is finished by an atexit handler then.
    trace_at_exit_ = trace.get();
    static const bool registered = std::atexit([] {
      if (trace_at_exit_ != nullptr) trace_at_exit_->Finish();
    }) == 0;
    if (!registered) std::fprintf(stderr, "stage-console: cannot register the end-of-program trace finish\n");
  }
  void StartRecorder(const stage::modKVT_USB& tables) {
    const auto axes = static_cast<std::size_t>(std::max<stage::AxisIndex>(0, tables.AxisCount + 1));
    recorder = std::make_unique<stage::scope::ScopeRecorder>(axes, stage::scope::SteadyExchangeClock());
    fan_out.Add(*recorder);
  }

 private:
  static inline stage::scope::TraceWriter* trace_at_exit_ = nullptr;
};

// Start-up window, OK, main window, tuning panel: each rendered as the
// operator would first see it; then the Scope after a GO made the way an
// operator makes it (a target typed into axis 0's box and Enter).
int RenderWindows(stage::modKVT_USB& tables, stage::usb::DeviceLibrary& devices, Observers& observers,
                  const std::string& dir_path) {
  const QDir dir(QString::fromStdString(dir_path));
  if (!dir.mkpath(QStringLiteral("."))) {
    PrintLine("cannot create folder " + dir_path);
    return 1;
  }
  RenderExit exit;
  const stage::ui::ConsoleContext context{tables, devices, exit, &observers.fan_out};
  stage::ui::frmSelect select(context);
  if (exit.Ended()) return 1;  // the controllers could not be counted
  observers.StartRecorder(tables);
  stage::ui::frmScope scope(tables, *observers.recorder);
  select.show();
  if (!Save(select, dir, "motor-settings.png")) return 1;

  select.findChild<QPushButton*>(QStringLiteral("cmdOK"))->click();
  auto* main_window = dynamic_cast<stage::ui::frmMain*>(select.MainWindow());
  if (main_window == nullptr) {
    // A controller that cannot be opened has already said so.
    if (!exit.Failed()) std::fprintf(stderr, "stage-console: the main window did not open\n");
    return 1;
  }
  int status = 0;
  QTimer pictures;
  pictures.setSingleShot(true);
  QTimer scope_picture;
  scope_picture.setSingleShot(true);
  QObject::connect(&pictures, &QTimer::timeout, main_window, [&] {
    QWidget& panel = main_window->TuningPanel();
    panel.show();
    const bool saved = Save(*main_window, dir, "main-window.png") && Save(panel, dir, "axis-controls.png");
    if (!saved || exit.Failed()) {
      status = 1;
      QApplication::exit(status);
      return;
    }
    QLineEdit* target = main_window->Text2(0);
    target->setText(QString::fromLatin1(kRenderedMoveTarget));
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    scope.spnWindow()->setValue(stage::ui::frmScope::kMinWindowS);  // the move fills the plot
    scope.ShowScope();
  });
  // Runs only if the pictures above did not end the render.
  QObject::connect(&scope_picture, &QTimer::timeout, main_window, [&] {
    scope.Refresh();
    status = Save(scope, dir, "scope.png") && !exit.Failed() ? 0 : 1;
    QApplication::exit(status);
  });
  pictures.start(kRenderDelayMs);
  scope_picture.start(kRenderDelayMs + kRenderedMoveMs);
  QApplication::exec();
  return status;
}

// Qt's X11 platform ends the process with exit(1) when the X connection is
// lost ("The X11 connection broke"): no window event runs any more, but
// atexit handlers do. This one gives back the controllers that are open,
// unless the program is already on its way out through a fatal message
// (which closes nothing) or has closed them itself.
struct OpenControllers {
  stage::modKVT_USB* tables = nullptr;
  stage::usb::DeviceLibrary* devices = nullptr;
  const stage::ui::ProgramExit* exit = nullptr;
};

class ControllersAtExit {
 public:
  ControllersAtExit(stage::modKVT_USB& tables, stage::usb::DeviceLibrary& devices,
                    const stage::ui::ProgramExit& exit) {
    current_ = {&tables, &devices, &exit};
  }
  // Handlers run in reverse order of registration: registered once the
  // device library has answered its first calls, this one runs before the
  // library's own static state is torn down.
  static void Register() {
    static const bool registered = std::atexit(&ControllersAtExit::Close) == 0;
    if (!registered) std::fprintf(stderr, "stage-console: cannot register the end-of-program close\n");
  }
  // The event loop can also just end (the last window gone): the controllers
  // are closed before the tables go.
  ~ControllersAtExit() {
    Close();
    current_ = {};
  }
  ControllersAtExit(const ControllersAtExit&) = delete;
  ControllersAtExit& operator=(const ControllersAtExit&) = delete;

 private:
  static void Close() {
    const OpenControllers current = current_;
    current_ = {};
    if (current.tables == nullptr || current.exit->Ended()) return;
    for (stage::usb::Handle& handle : current.tables->DeviceHandle) {
      if (handle != 0) current.devices->Close(handle);
      handle = 0;
    }
  }
  static inline OpenControllers current_{};
};

// What the USB stack said, for the operator's terminal (the windows show
// the console's own messages). The backend has escaped the device text in
// it already.
void PrintUsbDiagnostic(const std::string& message) { std::fprintf(stderr, "stage-console: %s\n", message.c_str()); }

std::unique_ptr<stage::usb::NativeUsb> MakeNativeUsb(const std::vector<stage::usb::UsbId>& ids) {
  return std::make_unique<stage::usb::NativeUsb>(std::make_unique<stage::usb::LibusbTransport>(), ids,
                                                 PrintUsbDiagnostic);
}

// --list-devices: one line per controller found, status 1 when there is none.
int ListDevices(const std::vector<stage::usb::UsbId>& ids) {
  const auto devices = MakeNativeUsb(ids);
  std::uint32_t count = 0;
  devices->GetNumDevices(count);
  if (devices->ListError() != stage::usb::kTransportOk) return 1;  // already said why
  if (count == 0) {
    std::string wanted;
    for (const stage::usb::UsbId& id : ids.empty() ? std::vector{stage::usb::kControllerUsbId} : ids) {
      char text[16];
      std::snprintf(text, sizeof text, "%s%04X:%04X", wanted.empty() ? "" : ", ", id.vendor_id, id.product_id);
      wanted += text;
    }
    std::printf("No controller found (USB ID %s).\n", wanted.c_str());
    return 1;
  }
  const bool rule_installed = stage::usb::AccessRuleInstalled();
  for (std::uint32_t i = 0; i < count; ++i) {
    std::printf("%s\n", stage::usb::DescribeDevice(i, devices->Devices()[i], rule_installed).c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  stage::app::InstallLastResortHandlers();
  const CommandLine line = stage::app::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.action) {
    case CommandLine::Action::kHelp:
      std::fputs(stage::app::HelpText("stage-console").c_str(), stdout);
      return 0;
    case CommandLine::Action::kVersion:
      std::fputs(stage::app::VersionText("stage-console", STAGE_CONSOLE_VERSION).c_str(), stdout);
      return 0;
    case CommandLine::Action::kError:
      PrintLine(line.error);
      std::fputs("Try 'stage-console --help'.\n", stderr);
      return 2;
    case CommandLine::Action::kListDevices:
      return ListDevices(line.usb_ids);  // no display needed: before any QApplication
    case CommandLine::Action::kRun:
      // Before any controller is touched, and before Qt would abort.
      if (const std::string reason = stage::app::NoDisplayReason(stage::app::SystemDisplayEnvironment());
          !reason.empty()) {
        std::fprintf(stderr, "%s\n", stage::app::NoDisplayMessage(stage::usb::PrintableText(reason)).c_str());
        return 1;
      }
      break;
    case CommandLine::Action::kRenderWindows:
      break;
  }

  // From here on the program runs for as long as the operator likes, and
  // every line it says goes through a relay that never waits on stderr.
  // (Before any thread exists; a relay that cannot be made leaves stderr as
  // it is.)
  stage::app::InstallStderrRelay();
  // The administrator's travel bounds. A file that is there but cannot be
  // read, or is wrong anywhere, stops the start before any controller is
  // opened: the bounds it meant to set are unknown, and running without them
  // could drive a stage into the ends they were written to keep it from.
  stage::profile::AdminReading admin;
  if (line.action == CommandLine::Action::kRun) {
    const std::string admin_path =
        line.admin_limits_path.empty() ? stage::profile::kDefaultAdminLimitsPath : line.admin_limits_path;
    admin = stage::profile::LoadAdminLimitsFile(admin_path);
    if (!admin.bounds) {
      PrintLine(admin.error + ". The administrator's travel bounds cannot be read: the console does not start "
                              "until the file is mended or removed.");
      return 1;
    }
  }

  // The backend is settled before any window exists.
  std::unique_ptr<stage::usb::DeviceLibrary> devices;
  if (line.backend == CommandLine::Backend::kSimulated) {
    stage::sim::SimulatorConfig config;
    config.controller_count = line.simulated_count;
    config.record_history = false;  // nothing reads it, and a console runs for days
    if (!line.scenario.empty()) {
      std::string error;
      auto played = stage::sim::ApplyScenario(line.scenario, std::move(config), error);
      if (!played) {
        PrintLine("--scenario: " + error);
        std::fputs("Try 'stage-console --help'.\n", stderr);
        return 2;
      }
      config = std::move(*played);
    }
    devices = std::make_unique<stage::sim::SimulatedControllers>(std::move(config));
  } else if (line.backend == CommandLine::Backend::kNativeUsb) {
    devices = MakeNativeUsb(line.usb_ids);
  } else {
    stage::usb::SharedLibraryLoad load = stage::usb::SharedLibrary::Load(line.library_path);
    if (!load.library) {
      PrintLine(load.error);
      return 1;
    }
    devices = std::move(load.library);
  }

  const bool render = line.action == CommandLine::Action::kRenderWindows;
  std::unique_ptr<stage::ui::OffscreenScreen> render_screen;
  if (render) {
    // The pictures come out the same on any machine: no display, 96 dpi, and
    // a screen that holds every window at its designed size.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "offscreen") {
      render_screen =
          std::make_unique<stage::ui::OffscreenScreen>(stage::ui::kLargeScreenPx, stage::ui::kLargeScreenPx);
    }
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  }
  // On X the window's pixels normally reach the server through shared memory,
  // and before painting over a region whose previous picture the server may
  // still be reading, Qt waits for the server: with a read-out changing on
  // every tick that is a round trip and two thread wake-ups every 10 ms, about
  // half of what a moving axis costs. Sending the few changed pixels over the
  // connection instead waits for nothing. Whoever sets the variable
  // themselves keeps their choice.
  if (!qEnvironmentVariableIsSet("QT_XCB_NO_MITSHM")) qputenv("QT_XCB_NO_MITSHM", "1");
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("stage-console"));
  QApplication::setApplicationVersion(QStringLiteral(STAGE_CONSOLE_VERSION));
  // The desktop matches the windows to the menu entry and its icon by this.
  QGuiApplication::setDesktopFileName(QStringLiteral(STAGE_APP_ID));
  stage::ui::InstallWindowIcon();
  // One style everywhere, so palettes (lamp colours, button faces) look alike.
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  stage::ui::InstallFontSubstitutions();

  stage::modKVT_USB tables;
  Observers observers;
  observers.OpenTrace(line.trace_path, tables);
  if (render) return RenderWindows(tables, *devices, observers, line.render_dir);
  // SIGTERM, SIGINT and SIGHUP end the run from the event loop as Exit does,
  // also when they come while the console is still starting (acted on once
  // the start-up window is there).
  stage::ui::TerminationSignals termination(nullptr);
  stage::ui::ProcessExit exit;
  // The process ends with std::_Exit: the lines still on their way to stderr
  // (the event log's last ones) get their bounded time first.
  exit.AtLast([] { stage::app::DrainStderrRelay(); });
  // No destructor runs when the program ends: the trace is finished first.
  if (observers.trace) exit.BeforeEnd([&observers] { observers.trace->Finish(); });
  // The controllers' profiles; the rendered pictures above never use them.
  stage::ui::ProfileSession profiles(line.no_profile            ? QString()
                                     : line.profile_dir.empty() ? stage::ui::ProfileSession::DefaultFolder()
                                                                : QString::fromStdString(line.profile_dir));
  profiles.SetAdminBounds(std::move(*admin.bounds));
  exit.BeforeOrderlyEnd([&profiles] { profiles.SaveAtEnd(); });

  // The event log: every source's commands, on stderr and with --log in a file.
  stage::control::EventLog events;
  if (!line.log_path.empty()) {
    std::string error;
    if (!events.OpenFile(line.log_path, error)) PrintLine(error + "; the console goes on without it");
  }
  // The control API, unless --no-control. A socket another console serves
  // on is left to it: this console runs without the API.
  stage::ui::frmSelect* select_window = nullptr;
  std::unique_ptr<stage::ui::RemoteConsole> remote;
  if (!line.no_control) {
    remote = std::make_unique<stage::ui::RemoteConsole>(
        [&select_window] {
          return select_window == nullptr ? nullptr : dynamic_cast<stage::ui::frmMain*>(select_window->MainWindow());
        },
        &events, STAGE_CONSOLE_VERSION);
    std::string message;
    if (!remote->Start(line.control_path, message)) {
      PrintLine(message);
      remote.reset();
    }
  }
  // Clients hear that the console ends, and the log is written out.
  exit.BeforeEnd([&remote, &events] {
    if (remote) remote->Close();
    events.Flush();
  });
  const stage::ui::ConsoleContext context{tables, *devices, exit, &observers.fan_out, &profiles, &events,
                                          remote.get()};

  const ControllersAtExit close_at_exit(tables, *devices, exit);

  stage::ui::frmSelect select(context);
  select_window = &select;
  ControllersAtExit::Register();
  termination.OnSignal([&select, &events](int signal_number) {
    const char* name = signal_number == SIGTERM ? "SIGTERM" : signal_number == SIGINT ? "SIGINT" : "SIGHUP";
    events.Log(std::string("the console ends on ") + name);
    select.EndProgram();
  });
  stage::ui::WindowDestroyWatch destroy_watch;
  app.installNativeEventFilter(&destroy_watch);
  observers.StartRecorder(tables);
  stage::ui::frmScope scope(tables, *observers.recorder);
  const stage::ui::ScopeShortcut shortcut(scope);
  select.show();
  if (line.open_scope) scope.OpenAtStart();
  if (line.start) {
    // OK, as soon as the event loop runs: what the operator's click does.
    QTimer::singleShot(0, &select, [&select] {
      if (auto* ok = select.findChild<QPushButton*>(QStringLiteral("cmdOK"))) ok->click();
    });
  }
  return QApplication::exec();
}
