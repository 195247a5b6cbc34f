// Why: the Scope is how an operator tunes, so the figures it shows for a move
// must be the move the simulated controller really made; and it watches the
// console without touching it: opening it, using it and coming back must
// leave the main window's activation and target boxes exactly as they were.
#include <QCheckBox>
#include <cmath>
#include <QFile>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QPushButton>
#include <QSignalSpy>
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
#include "ui/scope/trace_layer.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

// A written file's non-empty lines; none when it cannot be read (every
// caller checks how many it got).
QStringList LinesOf(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
  return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

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
  explicit ScopedConsole(std::uint32_t axes = 3, bool simple_model = true)
      : console(StartUpWith(axes, fan_out, simple_model)),
        recorder(axes, [clock = console.clock] { return clock->Now(); }),
        scope(console.tables, recorder),
        shortcut(scope) {
    fan_out.Add(recorder);
  }
  static StartUp StartUpWith(std::uint32_t axes, stage::scope::ExchangeFanOut& observer, bool simple_model) {
    StartUp start_up;
    start_up.simple_model = simple_model;
    start_up.axes = axes;
    start_up.observer = &observer;
    return start_up;
  }
  // The Scope shown, then a tick at rest, a GO on axis 0 and `ticks` more.
  bool ShownWithAGo(const QString& microns, int ticks);
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

bool ScopedConsole::ShownWithAGo(const QString& microns, int ticks) {
  scope.ShowScope();
  if (!QTest::qWaitForWindowExposed(&scope)) return false;
  console.Tick();
  Go(console, microns);
  console.Tick(ticks);
  return true;
}

// The Scope's failure message, once the export thread has reported.
QMessageBox* ExportMessage(frmScope& scope) { return scope.findChild<QMessageBox*>(QStringLiteral("msgExportFailed")); }

// Waits for the export started last; fails the test rather than hang.
bool ExportOutcome(QSignalSpy& finished) {
  if (finished.isEmpty() && !finished.wait(30'000)) {
    qWarning("the export did not finish within 30 s");
    return false;
  }
  return finished.takeFirst().at(0).toBool();
}

// A tmpfs of `kilobytes` mounted on `dir`, unmounted when this ends.
struct SmallDisk {
  explicit SmallDisk(const QString& dir, int kilobytes) : path(dir) {
    mounted = QProcess::execute(QStringLiteral("mount"), {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                                                           QStringLiteral("size=%1k").arg(kilobytes), QStringLiteral("tmpfs"), dir}) == 0;
  }
  ~SmallDisk() {
    if (mounted) QProcess::execute(QStringLiteral("umount"), {path});
  }
  Q_DISABLE_COPY_MOVE(SmallDisk)
  QString path;
  bool mounted = false;
};

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
    // The GO went out on the second exchange, 10 ms after the first; judged
    // by the band set, 16 counts.
    QCOMPARE(s.Cell(0, frmScope::kStartColumn), QStringLiteral("0.010"));
    QCOMPARE(s.Cell(0, frmScope::kBandColumn), QStringLiteral("± 0.125 um"));

    // The plot ends where the main window's read-out does.
    QVERIFY(s.scope.Plot()->graph(0)->visible());
    QCOMPARE(s.scope.NewestDrawn(0), 3000.0);
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
    QVERIFY(s.ShownWithAGo(QStringLiteral("10"), 3));
    s.scope.Refresh();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scope.csv"));
    QVERIFY(s.scope.ExportCsv(path));
    const QStringList lines = LinesOf(path);
    QCOMPARE(lines.size(), 6);  // header, 5 replies of axis 0 only
    QCOMPARE(lines[0], QStringLiteral("time_s,axis,name,unit,position,ideal_position,following_error,busy,error"));
    QCOMPARE(lines[1], QStringLiteral("0.000000,0,\"X\",um,0,0,0,0,0"));
    QCOMPARE(lines[5], QStringLiteral("0.040000,0,\"X\",um,10,10,0,0,0"));
    QVERIFY(s.scope.ExportPng(dir.filePath(QStringLiteral("scope.png"))));
  }

  // After a long hide the replies reach the drawing thread in slices, one
  // after each poll, so that opening the Scope does not hold the poll back;
  // paused at once, before the slices are through, the plot and the export
  // still hold every reply up to the pause, and none after it.
  void paused_while_catching_up_it_keeps_every_reply_up_to_the_pause() {
    ScopedConsole s;
    // 3 axes x 4000 replies: more than one slice, the last axis's in the
    // second.
    s.console.Tick(4000);
    s.scope.lstAxes()->item(0)->setCheckState(Qt::Unchecked);
    s.scope.lstAxes()->item(2)->setCheckState(Qt::Checked);
    s.scope.ShowScope();
    s.scope.cmdPause()->click();
    const std::int64_t paused_at_us = s.recorder.LatestTimeUs();
    QVERIFY(QTest::qWaitForWindowExposed(&s.scope));
    s.console.Tick(20);  // not shown: after the pause
    QTRY_VERIFY_WITH_TIMEOUT(!std::isnan(s.scope.NewestDrawn(2)), 20'000);
    const QCPRange time = s.scope.Plot()->axisRect(0)->axis(QCPAxis::atBottom)->range();
    QCOMPARE(std::llround(time.upper * 1e6), paused_at_us);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("scope.csv"));
    QVERIFY(s.scope.ExportCsv(path));
    const QStringList lines = LinesOf(path);
    // Axis 2's replies over the 10 s window up to the pause, 10 ms apart.
    QCOMPARE(lines.size(), 1 + 1001);
    QVERIFY(lines.back().startsWith(QString::number(static_cast<double>(paused_at_us) / 1e6, 'f', 6) + QLatin1Char(',')));
  }

  // Enter in the target box leaves GO set; a distance typed afterwards and
  // Rel clicked make one Rel move from the GO's target, and nothing else
  // (a phantom "GO to the distance" used to appear and cut the Rel short).
  // On the servo simulator, which starts moves as the controller does.
  void enter_then_rel_records_the_two_moves_the_controller_made() {
    ScopedConsole s(3, false);
    frmMain& main = s.console.Main();
    s.scope.ShowScope();
    QVERIFY(QTest::qWaitForWindowExposed(&s.scope));
    s.console.Tick();
    s.console.TypeTarget(0, QStringLiteral("100"));
    QTest::keyClick(main.Text2(0), Qt::Key_Return);
    s.console.Tick(100);  // 12800 counts: 0.14 s of profile, then it settles and rests
    s.console.TypeTarget(0, QStringLiteral("50"));
    QTest::mouseClick(main.Command7(0), Qt::LeftButton);
    s.console.Tick(100);
    s.scope.Refresh();
    QCOMPARE(s.scope.tblMoves()->rowCount(), 2);
    // Newest first.
    QCOMPARE(s.Cell(0, frmScope::kMoveColumn), QStringLiteral("Rel"));
    QCOMPARE(s.Cell(0, frmScope::kStepColumn), QStringLiteral("50.000 um"));
    QCOMPARE(s.Cell(0, frmScope::kEndColumn), QStringLiteral("settled"));
    QCOMPARE(s.Cell(1, frmScope::kMoveColumn), QStringLiteral("GO"));
    QCOMPARE(s.Cell(1, frmScope::kStepColumn), QStringLiteral("100.000 um"));
    QCOMPARE(s.Cell(1, frmScope::kEndColumn), QStringLiteral("settled"));
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("150.00 um"));
  }

  // A trace with no motion keeps a fixed span round it, redraw after redraw
  // (it used to grow by a tenth per redraw, to 10^33 within seconds).
  void autoscale_gives_a_flat_trace_a_fixed_span() {
    ScopedConsole s;
    s.scope.ShowScope();
    QVERIFY(QTest::qWaitForWindowExposed(&s.scope));
    std::vector<std::pair<double, double>> ranges;
    for (int redraw = 0; redraw < 50; ++redraw) {
      s.console.Tick();
      s.scope.Refresh();
      const QCPRange position = s.scope.PositionAxis(0)->range();
      ranges.emplace_back(position.lower, position.upper);
    }
    // At rest at 0 um: the least span, 16 counts (0.125 um) either side.
    QCOMPARE(ranges.front(), std::make_pair(-0.125, 0.125));
    QCOMPARE(ranges.back(), ranges.front());
    QCOMPARE(s.scope.FollowingAxis(0)->range().lower, -0.125);
    QCOMPARE(s.scope.FollowingAxis(0)->range().upper, 0.125);
    // A move widens it to the move and 5 % either side; at rest again at 10 um
    // once the move has left the window... here it stays in the window.
    Go(s.console, QStringLiteral("10"));
    s.console.Tick(5);
    s.scope.Refresh();
    QCOMPARE(s.scope.PositionAxis(0)->range().lower, -0.5);
    QCOMPARE(s.scope.PositionAxis(0)->range().upper, 10.5);
  }

  // Axes in different units get a value axis each, labelled with its unit;
  // axes in the same unit share one.
  void mixed_units_get_separate_labelled_axes() {
    ScopedConsole s;
    s.console.tables.UnitSuffix[1] = " En";
    s.console.tables.CountsPerMicron[1] = 1;
    s.scope.ShowScope();
    QVERIFY(QTest::qWaitForWindowExposed(&s.scope));
    for (int row : {1, 2}) s.scope.lstAxes()->item(row)->setCheckState(Qt::Checked);
    s.console.Tick(2);
    s.scope.Refresh();
    QVERIFY(s.scope.PositionAxis(1) != nullptr);
    QVERIFY(s.scope.PositionAxis(2) == nullptr);
    QCOMPARE(s.scope.PositionAxis(0)->label(), QStringLiteral("Position (um)"));
    QCOMPARE(s.scope.PositionAxis(1)->label(), QStringLiteral("Position (En)"));
    QCOMPARE(s.scope.FollowingAxis(1)->label(), QStringLiteral("Following error (En)"));
    QVERIFY(s.scope.PositionAxis(0)->visible());
    QVERIFY(s.scope.PositionAxis(1)->visible());
    QCPAxis* x_axis = s.scope.Plot()->graph(0)->valueAxis();   // X actual
    QCPAxis* y_axis = s.scope.Plot()->graph(5)->valueAxis();   // Y actual
    QCPAxis* z_axis = s.scope.Plot()->graph(10)->valueAxis();  // Z actual
    QCOMPARE(x_axis, s.scope.PositionAxis(0));
    QCOMPARE(y_axis, s.scope.PositionAxis(1));
    QCOMPARE(z_axis, s.scope.PositionAxis(0));
    // Back to one unit: one axis.
    s.scope.lstAxes()->item(1)->setCheckState(Qt::Unchecked);
    s.console.Tick();
    s.scope.Refresh();
    QVERIFY(s.scope.PositionAxis(1) == nullptr);
  }

  // A move still going has its row, marked in progress, above the finished
  // ones; every column, the last included, shows whole.
  void a_move_in_progress_has_a_row_and_no_column_is_clipped() {
    ScopedConsole s;
    QVERIFY(s.ShownWithAGo(QStringLiteral("3000"), 20));
    s.scope.Refresh();
    QCOMPARE(s.scope.tblMoves()->rowCount(), 1);
    QCOMPARE(s.Cell(0, frmScope::kEndColumn), QStringLiteral("in progress"));
    QCOMPARE(s.Cell(0, frmScope::kSteadyStateColumn), QStringLiteral("-"));
    QCOMPARE(s.Cell(0, frmScope::kStartColumn), QStringLiteral("0.010"));
    s.console.Tick(130);
    s.scope.Refresh();
    QCOMPARE(s.scope.tblMoves()->rowCount(), 1);
    QCOMPARE(s.Cell(0, frmScope::kEndColumn), QStringLiteral("settled"));

    QTableWidget* table = s.scope.tblMoves();
    QHeaderView* header = table->horizontalHeader();
    for (int column = 0; column < frmScope::kColumnCount; ++column) {
      const int right = header->sectionViewportPosition(column) + header->sectionSize(column);
      QVERIFY2(right <= table->viewport()->width(), qPrintable(QStringLiteral("column %1 is clipped").arg(column)));
    }
    const int end_text = table->fontMetrics().horizontalAdvance(QStringLiteral("not settled"));
    QVERIFY(header->sectionSize(frmScope::kEndColumn) >= end_text);
  }

  // STOP while the GO runs: the row ends "stopped" with no steady-state error.
  void a_stopped_move_shows_no_steady_state_error() {
    ScopedConsole s;
    QVERIFY(s.ShownWithAGo(QStringLiteral("3000"), 20));
    QTest::mousePress(s.console.Main().Command1(0), Qt::LeftButton);
    s.console.Tick();
    QTest::mouseRelease(s.console.Main().Command1(0), Qt::LeftButton);
    s.console.Tick(5);
    s.scope.Refresh();
    QCOMPARE(s.scope.tblMoves()->rowCount(), 1);
    QCOMPARE(s.Cell(0, frmScope::kEndColumn), QStringLiteral("stopped"));
    QCOMPARE(s.Cell(0, frmScope::kSteadyStateColumn), QStringLiteral("-"));
    QCOMPARE(s.Cell(0, frmScope::kSettlingColumn), QStringLiteral("-"));
  }

  // An export that cannot be written says so and leaves no file: a path
  // nobody may create files in, and a disk too small for the file.
  void a_failed_export_says_so_and_leaves_no_file_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("where");
    QTest::newRow("CSV into /proc") << "csv" << "proc";
    QTest::newRow("PNG into /proc") << "png" << "proc";
    QTest::newRow("CSV onto a full disk") << "csv" << "full";
    QTest::newRow("PNG onto a full disk") << "png" << "full";
  }
  void a_failed_export_says_so_and_leaves_no_file() {
    QFETCH(QString, kind);
    QFETCH(QString, where);
    ScopedConsole s;
    s.scope.ShowScope();
    QVERIFY(QTest::qWaitForWindowExposed(&s.scope));
    for (int row : {1, 2}) s.scope.lstAxes()->item(row)->setCheckState(Qt::Checked);
    s.console.Tick();
    Go(s.console, QStringLiteral("3000"));
    s.console.Tick(300);  // 3 axes x 300 replies: about 40 kB of CSV
    s.scope.Refresh();

    QTemporaryDir dir;
    std::unique_ptr<SmallDisk> disk;
    QString path = QStringLiteral("/proc/scope.") + kind;
    if (where == QLatin1String("full")) {
      // 4 kB left: less than either file needs.
      disk = std::make_unique<SmallDisk>(dir.path(), 64);
      if (!disk->mounted) QSKIP("mounting a small tmpfs needs root (or CAP_SYS_ADMIN): not possible here");
      QFile filler(dir.filePath(QStringLiteral("filler")));
      QVERIFY(filler.open(QIODevice::WriteOnly));
      filler.write(QByteArray(qsizetype{60} * 1024, 'x'));
      filler.close();
      path = dir.filePath(QStringLiteral("scope.") + kind);
    }
    QSignalSpy finished(&s.scope, &frmScope::ExportFinished);
    if (kind == QLatin1String("csv")) {
      s.scope.StartExportCsv(path);
    } else {
      s.scope.StartExportPng(path);
    }
    QVERIFY(s.scope.Exporting());
    QVERIFY(!ExportOutcome(finished));
    QMessageBox* box = ExportMessage(s.scope);
    QVERIFY(box != nullptr);
    QVERIFY(box->isVisible());
    QVERIFY(box->text().startsWith(QStringLiteral("Could not export to ") + path));
    QVERIFY(!QFile::exists(path));
    if (disk) {
      // Nothing half-written beside it either: the filler alone.
      QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("filler")});
    }
    box->close();
    delete box;
    QVERIFY(!s.scope.Exporting());

    // A good path afterwards writes the whole file, and says nothing.
    QTemporaryDir good;
    const QString good_path = good.filePath(QStringLiteral("scope.") + kind);
    if (kind == QLatin1String("csv")) {
      s.scope.StartExportCsv(good_path);
    } else {
      s.scope.StartExportPng(good_path);
    }
    QVERIFY(ExportOutcome(finished));
    QVERIFY(QFileInfo(good_path).size() > 4096);
    QVERIFY(ExportMessage(s.scope) == nullptr);
  }

  // The traces are drawn on their own thread against ranges the plot's axes
  // are then given: a point at rest at the target lies where the axes put
  // 3000 um at that time, in the axis's colour (actual, or ideal on top).
  void the_traces_are_drawn_where_the_axes_say() {
    ScopedConsole s;
    QVERIFY(s.ShownWithAGo(QStringLiteral("3000"), 140));
    s.scope.Refresh();
    const TraceLayer* layer = nullptr;
    for (QCPLayerable* l : s.scope.Plot()->layer(QStringLiteral("main"))->children()) {
      if (auto* t = dynamic_cast<TraceLayer*>(l)) layer = t;
    }
    QVERIFY(layer != nullptr);
    const QImage& image = layer->Image();
    QCOMPARE(image.size(), s.scope.Plot()->size() * s.scope.Plot()->devicePixelRatioF());
    const QCPAxis* time = s.scope.Plot()->graph(0)->keyAxis();
    const int x = static_cast<int>(std::lround(time->coordToPixel(1.3)));  // at rest from 1.21 s
    const int y = static_cast<int>(std::lround(s.scope.PositionAxis(0)->coordToPixel(3000)));
    const QColor actual = s.scope.Plot()->graph(0)->pen().color();
    const QColor ideal = s.scope.Plot()->graph(1)->pen().color();
    bool found = false;
    for (int dy = -1; dy <= 1 && !found; ++dy) {
      const QRgb pixel = image.pixelColor(x, y + dy).rgb();  // 8 bits a channel
      found = pixel == actual.rgb() || pixel == ideal.rgb();
    }
    QVERIFY2(found, qPrintable(QStringLiteral("no trace at (%1, %2)").arg(x).arg(y)));
    // Nothing of it above the top of the range, nor right of the latest reply.
    QCOMPARE(image.pixelColor(x, static_cast<int>(s.scope.PositionAxis(0)->coordToPixel(3000)) - 10).alpha(), 0);
    QCOMPARE(image.pixelColor(static_cast<int>(time->coordToPixel(2.0)), y).alpha(), 0);
  }

  // --scope opens the Scope with the start-up window: never over its OK
  // button, and never over the main window once OK opens it.
  void the_scope_at_start_keeps_clear_of_the_console() {
    stage::scope::ExchangeFanOut fan_out;
    auto clock = std::make_shared<stage::sim::ManualClock>();
    stage::sim::SimulatorConfig config;
    config.controller_count = 3;
    stage::sim::SimulatedControllers devices(std::move(config), clock);
    stage::modKVT_USB tables;
    BoxedExit exit;
    frmSelect select(ConsoleContext{tables, devices, exit, &fan_out});
    select.show();
    QVERIFY(QTest::qWaitForWindowExposed(&select));
    stage::scope::ScopeRecorder recorder(3, [clock] { return clock->Now(); });
    fan_out.Add(recorder);
    frmScope scope(tables, recorder);
    scope.OpenAtStart();
    QCoreApplication::processEvents();
    auto clear_of = [&scope](const QRect& r) { return scope.isMinimized() || !scope.frameGeometry().intersects(r); };
    QWidget* ok = select.findChild<QWidget*>(QStringLiteral("cmdOK"));
    const QRect ok_rect(ok->mapToGlobal(QPoint(0, 0)), ok->size());
    QVERIFY(clear_of(ok_rect));
    QVERIFY(clear_of(select.frameGeometry()));
    QVERIFY(scope.isVisible() || scope.isMinimized());

    QTest::mouseClick(ok, Qt::LeftButton);
    QWidget* main = select.MainWindow();
    QVERIFY(main != nullptr);
    QVERIFY(QTest::qWaitForWindowExposed(main));
    QTRY_VERIFY_WITH_TIMEOUT(clear_of(main->frameGeometry()), 5000);
    static_cast<frmMain*>(main)->Timer1().stop();
  }
};

STAGE_UI_TEST_MAIN(ScopeTest)
#include "scope_test.moc"
