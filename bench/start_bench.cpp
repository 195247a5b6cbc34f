// What remembering the controllers costs the start: from the program's first
// step towards the start-up window (counting the controllers, reading their
// names and, with profiles, reading and checking every profile) until
// "Motor Settings" is shown, on 17 simulated controllers, with no profile
// session, with an empty profile folder, and with 17 full profiles (one
// with a changed axis order too). Prints the median and the slowest run.
//
//   start_bench [--runs N]
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/profile/axis_order.h"
#include "stage/profile/controller_profile.h"
#include "stage/sim/simulated_controllers.h"
#include "ui/common/fonts.h"
#include "ui/common/profile_session.h"
#include "ui/common/program_exit.h"
#include "ui/select/frmSelect.h"

namespace {

constexpr int kControllers = 17;

// Ends nothing: a benchmark has no operator to show a fatal box to.
class QuietExit final : public stage::ui::ProgramExit {
 public:
  void Fatal(QWidget* /*parent*/, const QString& message) override {
    std::fprintf(stderr, "start_bench: %s\n", message.toUtf8().constData());
    std::exit(1);
  }
  void End(int /*status*/) override {}
  bool Ended() const override { return false; }
};

void Write(const QString& path, const std::string& text) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly)) std::abort();
  file.write(text.data(), static_cast<qint64>(text.size()));
}

// 17 profiles away from every default, as a well-used stage would have.
void FillFolder(const QString& folder, bool reordered) {
  std::vector<std::string> order;
  for (std::uint32_t k = 0; k < kControllers; ++k) {
    stage::profile::ControllerProfile p;
    p.serial = stage::sim::DefaultProductString(k);
    p.mechanics = {1000, 3.7, 2000};
    p.wiring.reverse_limit_switch = true;
    p.tuning.p = 40;
    p.limits = {-12800, 12800};
    p.notes = "Stage " + std::to_string(k) + ": leadscrew replaced in January.";
    Write(QDir(folder).filePath(QString::fromStdString(stage::profile::ProfileFileName(p.serial))),
          stage::profile::WriteProfile(p));
    order.push_back(p.serial);
  }
  if (reordered) std::swap(order[0], order[1]);
  Write(QDir(folder).filePath(QString::fromLatin1(stage::profile::kAxisOrderFileName.data())),
        stage::profile::WriteAxisOrder(order));
}

enum class Case { kNoSession, kEmptyFolder, kProfiles, kProfilesReordered };

// One start: the time until Motor Settings is exposed, in ms.
double OneStart(Case c, const QString& folder) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  stage::modKVT_USB tables;
  stage::sim::SimulatorConfig config;
  config.controller_count = kControllers;
  stage::sim::SimulatedControllers devices(config);
  QuietExit exit;
  stage::ui::ProfileSession profiles(c == Case::kNoSession ? QString() : folder);
  stage::ui::frmSelect window(stage::ui::ConsoleContext{tables, devices, exit, nullptr, &profiles});
  window.show();
  while (window.windowHandle() == nullptr || !window.windowHandle()->isExposed()) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (Clock::now() - start > std::chrono::seconds(10)) std::abort();
  }
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  // The profile message box (a changed order) is shown on the next turn.
  QCoreApplication::processEvents();
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 30;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: start_bench [--runs N]\n");
      return 2;
    }
  }
  // The offscreen platform's notes on every window would bury the figures.
  qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
    if (type != QtDebugMsg && type != QtInfoMsg && type != QtWarningMsg) {
      std::fprintf(stderr, "start_bench: %s\n", text.toUtf8().constData());
    }
  });
  QApplication app(argc, argv);
  stage::ui::InstallFontSubstitutions();

  struct Row {
    const char* name;
    Case c;
  };
  const Row rows[] = {{"no profiles (--no-profile)", Case::kNoSession},
                      {"empty profile folder", Case::kEmptyFolder},
                      {"17 profiles", Case::kProfiles},
                      {"17 profiles, order changed", Case::kProfilesReordered}};
  std::printf("start -> Motor Settings shown, %d simulated controllers, %d runs each\n", kControllers, runs);
  std::printf("%-28s %10s %10s\n", "case", "median ms", "max ms");
  for (const Row& row : rows) {
    QTemporaryDir folder;
    if (!folder.isValid()) return 1;
    if (row.c == Case::kProfiles || row.c == Case::kProfilesReordered) {
      FillFolder(folder.path(), row.c == Case::kProfilesReordered);
    }
    OneStart(row.c, folder.path());  // fonts, styles and caches warm
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(runs));
    for (int r = 0; r < runs; ++r) ms.push_back(OneStart(row.c, folder.path()));
    std::sort(ms.begin(), ms.end());
    std::printf("%-28s %10.2f %10.2f\n", row.name, ms[ms.size() / 2], ms.back());
  }
  return 0;
}
