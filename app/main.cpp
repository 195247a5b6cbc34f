// stage-console: picks the device library from the command line, then starts
// in the "Motor Settings" window.
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
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "stage/axis/modKVT_USB.h"
#include "stage/scope/scope_recorder.h"
#include "stage/scope/trace_writer.h"
#include "stage/sim/scenario.h"
#include "stage/sim/simulated_controllers.h"
#include "stage/usb/shared_library.h"
#include "ui/common/console_context.h"
#include "ui/common/fonts.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"
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

bool Save(QWidget& window, const QDir& dir, const char* file) {
  const QString path = dir.filePath(QString::fromLatin1(file));
  if (window.grab().save(path, "PNG")) return true;
  std::fprintf(stderr, "stage-console: cannot write %s\n", qPrintable(path));
  return false;
}

// A render has no operator to answer a message box: ProcessExit's modal box
// would wait for ever on the offscreen platform. A fatal device message goes
// to stderr instead, the windows stop talking to the controllers (Ended()),
// and the render still pictures what it can, then ends with status 1.
class RenderExit final : public stage::ui::ProgramExit {
 public:
  void Fatal(QWidget* /*parent*/, const QString& message) override {
    if (!ended_) std::fprintf(stderr, "stage-console: %s\n", qPrintable(message));
    ended_ = true;
    failed_ = true;
  }
  void End(int status) override {
    ended_ = true;
    std::fflush(nullptr);
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
  stage::scope::ExchangeFanOut fan_out;
  std::unique_ptr<stage::scope::TraceWriter> trace;
  std::unique_ptr<stage::scope::TraceObserver> trace_observer;
  std::unique_ptr<stage::scope::ScopeRecorder> recorder;

  // A trace file that cannot be written is said on stderr; the console goes on.
  void OpenTrace(const std::string& path, const stage::modKVT_USB& tables) {
    if (path.empty()) return;
    std::string error;
    auto sink = stage::scope::OpenTraceFile(path, error);
    if (!sink) {
      std::fprintf(stderr, "stage-console: %s; the console goes on without it\n", error.c_str());
      return;
    }
    trace = std::make_unique<stage::scope::TraceWriter>(
        std::move(sink), [](const std::string& message) { std::fprintf(stderr, "stage-console: %s\n", message.c_str()); });
    trace_observer =
        std::make_unique<stage::scope::TraceObserver>(*trace, tables, stage::scope::SteadyExchangeClock());
    fan_out.Add(*trace_observer);
  }
  void StartRecorder(const stage::modKVT_USB& tables) {
    const auto axes = static_cast<std::size_t>(std::max<stage::AxisIndex>(0, tables.AxisCount + 1));
    recorder = std::make_unique<stage::scope::ScopeRecorder>(axes, stage::scope::SteadyExchangeClock());
    fan_out.Add(*recorder);
  }
};

// Start-up window, OK, main window, tuning panel: each rendered as the
// operator would first see it; then the Scope after a GO made the way an
// operator makes it (a target typed into axis 0's box and Enter).
int RenderWindows(stage::modKVT_USB& tables, stage::usb::DeviceLibrary& devices, Observers& observers,
                  const std::string& dir_path) {
  const QDir dir(QString::fromStdString(dir_path));
  if (!dir.mkpath(QStringLiteral("."))) {
    std::fprintf(stderr, "stage-console: cannot create folder %s\n", dir_path.c_str());
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

}  // namespace

int main(int argc, char** argv) {
  const CommandLine line = stage::app::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.action) {
    case CommandLine::Action::kHelp:
      std::fputs(stage::app::HelpText("stage-console").c_str(), stdout);
      return 0;
    case CommandLine::Action::kVersion:
      std::printf("stage-console %s\n", STAGE_CONSOLE_VERSION);
      return 0;
    case CommandLine::Action::kError:
      std::fprintf(stderr, "stage-console: %s\nTry 'stage-console --help'.\n", line.error.c_str());
      return 2;
    case CommandLine::Action::kRun:
    case CommandLine::Action::kRenderWindows:
      break;
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
        std::fprintf(stderr, "stage-console: --scenario: %s\nTry 'stage-console --help'.\n", error.c_str());
        return 2;
      }
      config = std::move(*played);
    }
    devices = std::make_unique<stage::sim::SimulatedControllers>(std::move(config));
  } else {
    stage::usb::SharedLibraryLoad load = stage::usb::SharedLibrary::Load(line.library_path);
    if (!load.library) {
      std::fprintf(stderr, "stage-console: %s\n", load.error.c_str());
      return 1;
    }
    devices = std::move(load.library);
  }

  const bool render = line.action == CommandLine::Action::kRenderWindows;
  if (render) {
    // The pictures come out the same on any machine: no display, 96 dpi.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("stage-console"));
  QApplication::setApplicationVersion(QStringLiteral(STAGE_CONSOLE_VERSION));
  // One style everywhere, so palettes (lamp colours, button faces) look alike.
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  stage::ui::InstallFontSubstitutions();

  stage::modKVT_USB tables;
  Observers observers;
  observers.OpenTrace(line.trace_path, tables);
  if (render) return RenderWindows(tables, *devices, observers, line.render_dir);
  stage::ui::ProcessExit exit;
  // No destructor runs when the program ends: the trace is finished first.
  if (observers.trace) exit.BeforeEnd([&observers] { observers.trace->Finish(); });
  const stage::ui::ConsoleContext context{tables, *devices, exit, &observers.fan_out};

  stage::ui::frmSelect select(context);
  observers.StartRecorder(tables);
  stage::ui::frmScope scope(tables, *observers.recorder);
  const stage::ui::ScopeShortcut shortcut(scope);
  select.show();
  if (line.open_scope) scope.ShowScope();
  return QApplication::exec();
}
