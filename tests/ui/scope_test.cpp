// Why: the Scope is how an operator tunes, so the figures it shows for a move
// must be the move the simulated controller really made; and it watches the
// console without touching it: opening it, using it and coming back must
// leave the main window's activation and target boxes exactly as they were.
#include <QCheckBox>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <qcustomplot.h>

#include "stage/scope/scope_recorder.h"
#include "stage/sim/axis_model.h"
#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/scope/frmScope.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

constexpr std::uint8_t kActive = 8;
// The start-up window's default mechanics.
constexpr double kCountsPerMicron = 128;

void ComeBackTo(QWidget& window) {
  window.activateWindow();
  if (!QTest::qWaitForWindowActive(&window)) qWarning("the window did not become active");
}

// A console on simulated controllers with the Scope beside it, fed by the
// exchanges on the simulator's own clock, F9 wired as in the program.
struct ScopedConsole {
  explicit ScopedConsole(std::uint32_t axes = 3)
      : console(StartUpWith(axes, fan_out)),
        recorder(axes, [clock = console.clock] { return clock->Now(); }),
        scope(console.tables, recorder),
        shortcut(scope) {
    fan_out.Add(recorder);
  }
  static StartUp StartUpWith(std::uint32_t axes, stage::scope::ExchangeFanOut& observer) {
    StartUp start_up;
    start_up.axes = axes;
    start_up.observer = &observer;
    return start_up;
  }
  QString Cell(int row, frmScope::Column column) const {
    const QTableWidgetItem* item = scope.tblMoves()->item(row, column);
    return item == nullptr ? QString() : item->text();
  }

  stage::scope::ExchangeFanOut fan_out;
  LiveConsole console;
  stage::scope::ScopeRecorder recorder;
  frmScope scope;
  ScopeShortcut shortcut;
};

// GO to `microns` on axis 0 as an operator does it: type, press, one tick,
// release.
void Go(LiveConsole& console, const QString& microns) {
  frmMain& main = console.Main();
  console.TypeTarget(0, microns);
  QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
  console.Tick();
  QTest::mouseRelease(main.cmdGo(0), Qt::LeftButton);
}

}  // namespace

class ScopeTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void a_go_move_shows_the_figures_of_the_simulators_motion() {
    ScopedConsole s;
    frmMain& main = s.console.Main();
    ComeBackTo(main);
    QTest::keyClick(&main, Qt::Key_F9);
    QVERIFY(QTest::qWaitForWindowActive(&s.scope));

    // The simple mover runs at Max Speed 80 x 4000 counts/s from the packet
    // that carries the GO: 3 mm at 128 counts/um takes 1.2 s, so 10 % to
    // 90 % takes 0.96 s, it is at the target on the 120th exchange after the
    // GO, and nothing overshoots or lags.
    const double speed = 80.0 * stage::sim::SimpleAxisModel::kCountsPerSecondPerMaxSpeed;
    const double distance = 3000 * kCountsPerMicron;
    s.console.Tick();
    Go(s.console, QStringLiteral("3000"));
    s.console.Tick(140);  // the move, then the 100 ms hold inside the band
    s.scope.Refresh();

    QCOMPARE(s.scope.tblMoves()->rowCount(), 1);
    QCOMPARE(s.Cell(0, frmScope::kAxisColumn), QStringLiteral("X"));
    QCOMPARE(s.Cell(0, frmScope::kMoveColumn), QStringLiteral("GO"));
    QCOMPARE(s.Cell(0, frmScope::kStepColumn), QStringLiteral("3000.000 um"));
    QCOMPARE(s.Cell(0, frmScope::kRiseColumn), QString::number(0.8 * distance / speed * 1000, 'f', 1));
    QCOMPARE(s.Cell(0, frmScope::kOvershootPercentColumn), QStringLiteral("0.00"));
    QCOMPARE(s.Cell(0, frmScope::kOvershootColumn), QStringLiteral("0.000 um"));
    QCOMPARE(s.Cell(0, frmScope::kSettlingColumn), QString::number(distance / speed * 1000, 'f', 1));
    QCOMPARE(s.Cell(0, frmScope::kSteadyStateColumn), QStringLiteral("0.000 um"));
    QCOMPARE(s.Cell(0, frmScope::kFollowingColumn), QStringLiteral("0.000 um"));
    QCOMPARE(s.Cell(0, frmScope::kEndColumn), QStringLiteral("settled"));

    // The plot ends where the main window's read-out does.
    QCPGraph* position = s.scope.Plot()->graph(0);
    QVERIFY(position->visible());
    QCOMPARE((position->data()->constEnd() - 1)->value, 3000.0);
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("3000.00 um"));
    QVERIFY(!s.console.exit.Ended());
  }

  void coming_back_from_the_scope_is_not_an_activation_data() {
    QTest::addColumn<QString>("from");
    QTest::newRow("F9 on the main window") << "main";
    QTest::newRow("F9 on the tuning panel") << "panel";
    QTest::newRow("F9, then the Scope closed") << "closed";
  }
  void coming_back_from_the_scope_is_not_an_activation() {
    QFETCH(QString, from);
    ScopedConsole s(2);
    LiveConsole& console = s.console;
    frmMain& main = console.Main();
    ComeBackTo(main);
    Go(console, QStringLiteral("12.5"));
    console.TypeTarget(1, QStringLiteral("5"));
    console.Tick();
    console.tables.ActiveBit[1] = 0;  // shows whether activation ran

    if (from == QLatin1String("panel")) {
      QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
      QVERIFY(QTest::qWaitForWindowActive(&console.Panel()));
    }
    // On the panel, or in the target box the operator is typing in.
    QWidget* keys_to = from == QLatin1String("panel") ? static_cast<QWidget*>(&console.Panel()) : main.Text2(1);
    QTest::keyClick(keys_to, Qt::Key_F9);
    QVERIFY(QTest::qWaitForWindowActive(&s.scope));
    // Used: another axis traced, paused and resumed.
    QListWidgetItem* y = s.scope.lstAxes()->item(1);
    y->setCheckState(Qt::Checked);
    QTest::mouseClick(s.scope.cmdPause(), Qt::LeftButton);
    QCOMPARE(s.scope.cmdPause()->text(), QStringLiteral("Resume"));
    QTest::mouseClick(s.scope.cmdPause(), Qt::LeftButton);
    if (from == QLatin1String("closed")) {
      QVERIFY(s.scope.close());
      QVERIFY(!s.scope.isVisible());
    }
    ComeBackTo(main);

    QCOMPARE(console.tables.ActiveBit[1], std::uint8_t{0});
    QCOMPARE(main.Text2(1)->text(), QStringLiteral("5"));
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("12.50"));
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("12.50 um"));
    QCOMPARE(console.tables.TargetCounts[0], 1600.0);

    // Back from the tuning panel itself, activation still runs as designed.
    QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
    QVERIFY(QTest::qWaitForWindowActive(&console.Panel()));
    ComeBackTo(main);
    QCOMPARE(console.tables.ActiveBit[1], kActive);
    QCOMPARE(main.Text2(1)->text(), QStringLiteral("0"));
    QVERIFY(!console.exit.Ended());
  }

  void the_visible_traces_export_as_csv() {
    ScopedConsole s;
    s.scope.ShowScope();
    QVERIFY(QTest::qWaitForWindowExposed(&s.scope));
    s.console.Tick();
    Go(s.console, QStringLiteral("10"));
    s.console.Tick(3);
    s.scope.Refresh();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scope.csv"));
    QVERIFY(s.scope.ExportCsv(path));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 6);  // header, 5 replies of axis 0 only
    QCOMPARE(lines[0], QStringLiteral("time_s,axis,name,unit,position,ideal_position,following_error,busy,error"));
    QCOMPARE(lines[1], QStringLiteral("0.000000,0,\"X\",um,0,0,0,0,0"));
    QCOMPARE(lines[5], QStringLiteral("0.040000,0,\"X\",um,10,10,0,0,0"));
    QVERIFY(s.scope.ExportPng(dir.filePath(QStringLiteral("scope.png"))));
  }
};

STAGE_UI_TEST_MAIN(ScopeTest)
#include "scope_test.moc"
