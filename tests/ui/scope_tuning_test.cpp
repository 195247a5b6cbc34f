// Why: tuning is done with the Scope's step test: it moves the axis by itself,
// so it must make exactly the moves it shows, through the main window as the
// operator's GO does, stop at once when told, and let the runs before and
// after a gain change be compared move by move with the gains each ran with.
#include <QComboBox>
#include <QImage>
#include <QMouseEvent>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <qcustomplot.h>

#include "stage/scope/scope_recorder.h"
#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/scope/frmScope.h"
#include "ui/scope/plot_cursors.h"
#include "ui/scope/scope_step_test.h"

using stage::AxisIndex;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

constexpr double kCountsPerMicron = 128;  // the start-up window's default mechanics
// Every test ends within this many ticks of simulated time (60 s).
constexpr int kMostTicks = 6000;

// The console on the servo simulator, with the Scope fed on its clock and
// shown on its step-test tab.
struct TuningConsole {
  TuningConsole()
      : console(StartUpWith(fan_out)),
        recorder(3, [clock = console.clock] { return clock->Now(); }),
        scope(console.tables, recorder),
        step(scope.StepTest()) {
    fan_out.Add(recorder);
  }
  static StartUp StartUpWith(stage::scope::ExchangeFanOut& observer) {
    StartUp start_up;
    start_up.simple_model = false;  // the servo loop, which answers to its gains
    start_up.observer = &observer;
    return start_up;
  }

  bool Shown() {
    scope.ShowScope();
    if (!QTest::qWaitForWindowExposed(&scope)) return false;
    scope.Tabs()->setCurrentWidget(&step);
    console.Tick(3);
    return true;
  }
  // The fields as an operator fills them, and Start clicked.
  void Start(const QString& distance, int moves, bool back_and_forth = true, const QString& dwell = QStringLiteral("100")) {
    Type(step.spnDistance(), distance);
    Type(step.spnDwell(), dwell);
    Type(step.spnMoves(), QString::number(moves));
    step.cmbDirection()->setCurrentIndex(back_and_forth ? 0 : 1);
    QTest::mouseClick(step.cmdStart(), Qt::LeftButton);
  }
  static void Type(QAbstractSpinBox* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Tab);
  }
  // Ticks, the test polled after each as its timer does, until it ends or
  // `most` ticks have run; then a few more to show that nothing follows.
  int RunUntilEnded(int most = kMostTicks) {
    int ticks = 0;
    while (step.Running() && ticks < most) {
      console.Tick();
      step.Poll();
      ++ticks;
    }
    return ticks;
  }
  QString Cell(int row, int column) const {
    const QTableWidgetItem* item = step.tblRuns()->item(row, column);
    return item == nullptr ? QString() : item->text();
  }
  // The table's rows of one run's moves (not its mean and spread rows).
  std::vector<int> MoveRows(int run) const {
    std::vector<int> rows;
    for (int r = 0; r < step.tblRuns()->rowCount(); ++r) {
      if (Cell(r, ScopeStepTest::kRunColumn) == QString::number(run) &&
          !Cell(r, ScopeStepTest::kMoveColumn).startsWith(QLatin1String("mean")) &&
          !Cell(r, ScopeStepTest::kMoveColumn).startsWith(QLatin1String("spread"))) {
        rows.push_back(r);
      }
    }
    return rows;
  }

  stage::scope::ExchangeFanOut fan_out;
  LiveConsole console;
  stage::scope::ScopeRecorder recorder;
  frmScope scope;
  ScopeStepTest& step;
};

// The GO bits that reached axis 0's controller, one per packet.
int GoEdges(const LiveConsole& console) {
  int edges = 0;
  bool before = false;
  for (const Packet& packet : console.Sent(0)) {
    const bool go = (packet[3] & stage::usb::kGoBit) != 0;
    edges += go && !before ? 1 : 0;
    before = go;
  }
  return edges;
}

}  // namespace

class ScopeTuningTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  // Five moves back and forth, a gain changed on the tuning panel with a
  // key, five more: both runs in the overlay and the table, each with its
  // own gains, and the first pinned as the reference.
  void a_step_test_before_and_after_a_gain_change() {
    TuningConsole t;
    QVERIFY(t.Shown());
    frmMain& main = t.console.Main();
    t.Start(QStringLiteral("50"), 5);
    QCOMPARE(t.step.lblStatus()->text(), QStringLiteral("Run 1 on axis X: move 1 of 5 to 50.000 um."));
    QVERIFY(t.RunUntilEnded() < kMostTicks);
    QCOMPARE(t.step.lblStatus()->text(), QStringLiteral("Run 1 finished: 5 moves."));
    QCOMPARE(GoEdges(t.console), 5);
    // Through the main window: its target box shows the last target (the
    // fifth move goes out again).
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("50.00"));
    QCOMPARE(t.console.tables.TargetCounts[0], 50 * kCountsPerMicron);
    QCOMPARE(main.Text1(0)->text(), QStringLiteral("50.00 um"));

    // P up by one page on the tuning panel, as an operator does it.
    TuningSlider* p = t.console.Panel().Slider3(0);
    const int p_before = p->value();
    t.console.Panel().show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.console.Panel()));
    p->setFocus();
    QTest::keyClick(p, Qt::Key_PageUp);
    const int p_after = p->value();
    QVERIFY(p_after != p_before);
    t.console.Tick(3);

    t.Start(QStringLiteral("50"), 5);
    QVERIFY(t.RunUntilEnded() < kMostTicks);
    QCOMPARE(t.step.lblStatus()->text(), QStringLiteral("Run 2 finished: 5 moves."));
    QCOMPARE(GoEdges(t.console), 10);

    // Every move a row of its own, out and back, each with the P it ran with.
    for (const auto& [run, p_value] : {std::pair{1, p_before}, std::pair{2, p_after}}) {
      const std::vector<int> rows = t.MoveRows(run);
      QCOMPARE(rows.size(), std::size_t{5});
      for (std::size_t k = 0; k < rows.size(); ++k) {
        QCOMPARE(t.Cell(rows[k], ScopeStepTest::kMoveColumn),
                 QStringLiteral("%1 %2").arg(k + 1).arg(k % 2 == 0 ? QStringLiteral("out") : QStringLiteral("back")));
        // Run 2 starts where run 1 ended, at 50 um.
        const int from_um = run == 1 ? 0 : 50;
        QCOMPARE(t.Cell(rows[k], ScopeStepTest::kTargetColumn),
                 QStringLiteral("%1.000 um").arg(k % 2 == 0 ? from_um + 50 : from_um));
        QCOMPARE(t.Cell(rows[k], ScopeStepTest::kEndColumn), QStringLiteral("settled"));
        QCOMPARE(t.Cell(rows[k], ScopeStepTest::kPColumn), QString::number(p_value));
        QCOMPARE(t.Cell(rows[k], ScopeStepTest::kIColumn), QStringLiteral("5"));
      }
    }
    // Mean and spread per direction: 3 moves out, 2 back, for each run.
    int summaries = 0;
    for (int r = 0; r < t.step.tblRuns()->rowCount(); ++r) {
      const QString move = t.Cell(r, ScopeStepTest::kMoveColumn);
      if (move == QLatin1String("mean out") || move == QLatin1String("spread out")) {
        QCOMPARE(t.Cell(r, ScopeStepTest::kEndColumn), QStringLiteral("3 moves"));
        ++summaries;
      }
      if (move == QLatin1String("mean back")) QCOMPARE(t.Cell(r, ScopeStepTest::kEndColumn), QStringLiteral("2 moves"));
    }
    QCOMPARE(summaries, 4);

    // The overlay: both runs' ten moves, the legend naming each run's gains.
    QCustomPlot* overlay = t.step.Overlay();
    QCOMPARE(overlay->graphCount(), 2 * 10);
    QCOMPARE(overlay->legend->itemCount(), 2);
    auto legend_text = [overlay](int k) {
      auto* item = qobject_cast<QCPPlottableLegendItem*>(overlay->legend->item(k));
      return item == nullptr ? QString() : item->plottable()->name();
    };
    QVERIFY2(legend_text(0).startsWith(QStringLiteral("Run 1 (X): P %1  I 5  D 5").arg(p_before)), qPrintable(legend_text(0)));
    QVERIFY2(legend_text(1).startsWith(QStringLiteral("Run 2 (X): P %1  I 5  D 5").arg(p_after)), qPrintable(legend_text(1)));
    // Aligned on their GO: every trace starts before 0 ms and has its command at 0.
    for (int g = 0; g < overlay->graphCount(); ++g) {
      QVERIFY(overlay->graph(g)->data()->constBegin()->key < 0);
      QVERIFY(overlay->graph(g)->data()->findBegin(0, false)->key == 0);
    }

    // Run 1 pinned as the reference: drawn first, in black, named so.
    t.step.lstRuns()->setCurrentRow(0);
    QTest::mouseClick(t.step.cmdPin(), Qt::LeftButton);
    QVERIFY(t.step.Reference() == std::optional<std::size_t>(0));
    QVERIFY2(legend_text(0).startsWith(QStringLiteral("Reference: Run 1 (X): P %1").arg(p_before)), qPrintable(legend_text(0)));
    QCOMPARE(overlay->graph(0)->pen().color(), QColor(Qt::black));
    // Run 2 ticked off: only the reference stays.
    t.step.lstRuns()->item(1)->setCheckState(Qt::Unchecked);
    QCOMPARE(overlay->graphCount(), 10);
    QCOMPARE(overlay->legend->itemCount(), 1);

    // The live figures table names the gains too.
    t.scope.Refresh();
    const QTableWidgetItem* gains = t.scope.tblMoves()->item(0, frmScope::kGainsColumn);
    QVERIFY(gains != nullptr);
    QCOMPARE(gains->text(), QStringLiteral("%1 5 5").arg(p_after));
    QCOMPARE(gains->toolTip(), QStringLiteral("P %1  I 5  D 5  Acc 50  Max speed 80  Torque 200  F error 50  Speed 0").arg(p_after));
    QVERIFY(!t.console.exit.Ended());
  }

  // Ends that come from outside the test: nothing is commanded after them.
  void the_test_ends_at_once_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("status");
    QTest::newRow("STOP on the main window") << "stop" << "Run 1 ended after 1 of 6 moves: Stopped (STOP, Esc, ZERO or the servo off).";
    QTest::newRow("Esc") << "escape" << "Run 1 ended after 1 of 6 moves: Stopped (STOP, Esc, ZERO or the servo off).";
    QTest::newRow("Stop on the Scope") << "scope-stop" << "Run 1 ended after 1 of 6 moves: Stopped from the Scope.";
    QTest::newRow("the Scope closed") << "close" << "Run 1 ended after 1 of 6 moves: The Scope was closed.";
    QTest::newRow("a GO of the operator") << "go" << "Run 1 ended after 1 of 6 moves: Another move was made on the axis.";
  }
  void the_test_ends_at_once() {
    QFETCH(QString, how);
    QFETCH(QString, status);
    TuningConsole t;
    QVERIFY(t.Shown());
    frmMain& main = t.console.Main();
    t.Start(QStringLiteral("50"), 6);
    // Into the second move.
    int ticks = 0;
    while (t.step.Runs().back().rows.empty() && ticks++ < kMostTicks) {
      t.console.Tick();
      t.step.Poll();
    }
    while (!t.recorder.Moving(0) && ticks++ < kMostTicks) {
      t.console.Tick();
      t.step.Poll();
    }
    QVERIFY(t.recorder.Moving(0));
    QCOMPARE(GoEdges(t.console), 2);
    if (how == QLatin1String("stop")) {
      QTest::mousePress(main.Command1(0), Qt::LeftButton);
      t.console.Tick();
      QTest::mouseRelease(main.Command1(0), Qt::LeftButton);
    } else if (how == QLatin1String("escape")) {
      QTest::keyPress(&main, Qt::Key_Escape);
      t.console.Tick();
      QTest::keyRelease(&main, Qt::Key_Escape);
    } else if (how == QLatin1String("scope-stop")) {
      QTest::mouseClick(t.step.cmdStop(), Qt::LeftButton);
    } else if (how == QLatin1String("close")) {
      QVERIFY(t.scope.close());
    } else {
      t.console.TypeTarget(0, QStringLiteral("20"));
      QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
      t.console.Tick();
      QTest::mouseRelease(main.cmdGo(0), Qt::LeftButton);
    }
    t.RunUntilEnded(50);
    QVERIFY(!t.step.Running());
    QCOMPARE(t.step.lblStatus()->text(), status);
    // Nothing more is commanded: 3 s on, the GO edges are those before
    // (and the operator's own).
    const int edges = GoEdges(t.console);
    for (int tick = 0; tick < 300; ++tick) {
      t.console.Tick();
      t.step.Poll();
    }
    QCOMPARE(GoEdges(t.console), edges);
    QVERIFY(t.step.cmdStart()->isEnabled());
    // The Scope's own ends stop the axis through the main window's STOP.
    if (how == QLatin1String("scope-stop") || how == QLatin1String("close")) QVERIFY(t.recorder.InterruptionsOf(0).cuts > 0);
  }

  // A test whose moves would leave the travel limits is refused whole,
  // before it moves anything, with the limit check's own text.
  void a_test_beyond_the_travel_limits_is_refused_before_it_starts() {
    TuningConsole t;
    QVERIFY(t.Shown());
    t.console.Main().SetTravelLimits(0, stage::TravelLimits{-1000 * 128, 120 * 128});
    t.Start(QStringLiteral("50"), 3, false);
    QCOMPARE(t.step.lblStatus()->text(),
             QStringLiteral("Not started: Move 3 of the step test: Target 150.00 um is beyond the upper travel limit "
                            "of axis X, 120.00 um (15360 counts). The previous target is kept."));
    QVERIFY(!t.step.Running());
    t.console.Tick(50);
    t.step.Poll();
    QCOMPARE(GoEdges(t.console), 0);
    QVERIFY(t.step.Runs().empty());
  }

  // A move requested by another source goes the operator's way: the same
  // refusal line as a typed target, the target box showing the target, the
  // GO bit in exactly one packet, then position mode; a stop is STOP for one
  // packet.
  void a_requested_move_goes_the_way_of_the_operators_go() {
    TuningConsole t;
    QVERIFY(t.Shown());
    frmMain& main = t.console.Main();
    main.SetTravelLimits(0, stage::TravelLimits{std::nullopt, 40 * 128});
    t.console.TypeTarget(0, QStringLiteral("60"));
    QTest::keyClick(main.Text2(0), Qt::Key_Return);
    const QString typed_refusal = main.lblMessage()->text();
    QVERIFY(!typed_refusal.isEmpty());
    main.lblMessage()->clear();
    const frmMain::MoveVerdict refused = main.RequestMove(0, stage::MoveKind::kAbsolute, 60 * kCountsPerMicron);
    QVERIFY(!refused.accepted());
    QCOMPARE(refused.text, typed_refusal);
    QCOMPARE(main.lblMessage()->text(), typed_refusal);
    const std::size_t sent_before = t.console.Sent(0).size();
    t.console.Tick(2);
    QCOMPARE(GoEdges(t.console), 0);

    QVERIFY(main.RequestMove(0, stage::MoveKind::kAbsolute, 30 * kCountsPerMicron).accepted());
    QCOMPARE(main.Text2(0)->text(), QStringLiteral("30.00"));
    QVERIFY(main.lblMessage()->text().isEmpty());
    t.console.Tick(3);
    const std::vector<Packet>& sent = t.console.Sent(0);
    QCOMPARE(sent.size(), sent_before + 5);
    QVERIFY((sent[sent_before + 2][3] & stage::usb::kGoBit) != 0);
    QVERIFY((sent[sent_before + 3][3] & stage::usb::kGoBit) == 0);
    QVERIFY((sent[sent_before + 3][3] & stage::usb::kPositionModeBit) != 0);
    // A Rel counts from the move in force: 30 + 20 is beyond 40.
    const frmMain::MoveVerdict rel = main.RequestMove(0, stage::MoveKind::kRelative, 20 * kCountsPerMicron);
    QVERIFY(!rel.accepted());
    QVERIFY2(rel.text.startsWith(QStringLiteral("Rel 20.00 um from 30.00 um would end at 50.00 um")),
             qPrintable(rel.text));

    main.RequestStop(0);
    t.console.Tick(2);
    QVERIFY((t.console.Sent(0)[sent_before + 5][3] & stage::usb::kStopBit) != 0);
    QVERIFY((t.console.Sent(0)[sent_before + 6][3] & stage::usb::kStopBit) == 0);
  }

  // Limits that change under a running test: the move the console refuses
  // ends the test with the console's own refusal.
  void a_move_the_console_refuses_ends_the_test() {
    TuningConsole t;
    QVERIFY(t.Shown());
    frmMain& main = t.console.Main();
    t.Start(QStringLiteral("50"), 4);
    main.SetTravelLimits(0, stage::TravelLimits{std::nullopt, 40 * 128});
    QVERIFY(t.RunUntilEnded() < kMostTicks);
    QCOMPARE(t.step.lblStatus()->text(),
             QStringLiteral("Run 1 ended after 2 of 4 moves: Target 50.00 um is beyond the upper travel limit of axis X, "
                            "40.00 um (5120 counts). The previous target is kept."));
    QCOMPARE(GoEdges(t.console), 2);
    QCOMPARE(main.lblMessage()->text(), QStringLiteral("Target 50.00 um is beyond the upper travel limit of axis X, "
                                                       "40.00 um (5120 counts). The previous target is kept."));
  }

  // Capture on GO: the window starts the pre-trigger before the latest
  // command and its time axis counts from it.
  void capture_on_go_holds_the_window_from_the_command() {
    TuningConsole t;
    QVERIFY(t.Shown());
    t.scope.Tabs()->setCurrentIndex(0);
    t.scope.chkCapture()->setChecked(true);
    t.scope.spnPreTrigger()->setValue(100);
    t.console.Tick(150);  // 1.5 s at rest, then a GO
    t.console.TypeTarget(0, QStringLiteral("20"));
    QTest::keyClick(t.console.Main().Text2(0), Qt::Key_Return);
    t.console.Tick(30);
    t.scope.Refresh();
    QVERIFY(t.scope.CaptureOriginUs().has_value());
    const std::int64_t go_us = t.recorder.MoveInProgress(0) ? t.recorder.MoveInProgress(0)->start_us
                                                            : t.recorder.Moves(0).Newest().start_us;
    QCOMPARE(*t.scope.CaptureOriginUs(), go_us);
    const QCPRange time = t.scope.Plot()->axisRect(0)->axis(QCPAxis::atBottom)->range();
    QCOMPARE(time.lower, static_cast<double>(go_us - 100'000) / 1e6);
    QVERIFY(std::abs(time.size() - t.scope.spnWindow()->value()) < 1e-6);
    QCOMPARE(t.scope.Plot()->axisRect(0)->axis(QCPAxis::atBottom)->label(), QStringLiteral("Time from GO (s)"));
    // The ticks count from the command: one of them is 0 at the GO.
    QVector<double> ticks = t.scope.Plot()->axisRect(0)->axis(QCPAxis::atBottom)->tickVector();
    QVERIFY(std::find(ticks.begin(), ticks.end(), static_cast<double>(go_us) / 1e6) != ticks.end());
    QVector<QString> labels = t.scope.Plot()->axisRect(0)->axis(QCPAxis::atBottom)->tickVectorLabels();
    QVERIFY(labels.contains(QStringLiteral("0")));
    // Later samples do not move the window.
    t.console.Tick(50);
    t.scope.Refresh();
    QCOMPARE(t.scope.Plot()->axisRect(0)->axis(QCPAxis::atBottom)->range().lower, time.lower);
    // Off again: the rolling window, in time since the start.
    t.scope.chkCapture()->setChecked(false);
    t.scope.Refresh();
    QVERIFY(!t.scope.CaptureOriginUs().has_value());
    QCOMPARE(t.scope.Plot()->axisRect(0)->axis(QCPAxis::atBottom)->label(), QStringLiteral("Time (s)"));
  }

  // Cursors by click and right click with their differences; the wheel
  // zooms and the view stays as zoomed through later redraws until a
  // double click.
  void cursors_zoom_and_pan_on_the_live_plot() {
    TuningConsole t;
    QVERIFY(t.Shown());
    t.scope.Tabs()->setCurrentIndex(0);
    t.scope.spnWindow()->setValue(2);
    t.console.TypeTarget(0, QStringLiteral("20"));
    QTest::keyClick(t.console.Main().Text2(0), Qt::Key_Return);
    t.console.Tick(100);
    t.scope.Refresh();
    QCustomPlot* plot = t.scope.Plot();
    plot->replot();
    QCPAxisRect* rect = plot->axisRect(0);
    QCPAxis* time = rect->axis(QCPAxis::atBottom);
    const QPoint a(static_cast<int>(time->coordToPixel(0.5)), rect->center().y());
    const QPoint b(static_cast<int>(time->coordToPixel(1.0)), rect->center().y());
    QTest::mouseClick(plot, Qt::LeftButton, {}, a);
    QTest::mouseClick(plot, Qt::RightButton, {}, b);
    PlotCursors& cursors = t.scope.Cursors();
    QVERIFY(cursors.A().has_value() && cursors.B().has_value());
    QVERIFY(std::abs(cursors.A()->time - 0.5) < 0.01);
    QVERIFY(std::abs(cursors.B()->time - 1.0) < 0.01);
    const double dt_ms = (cursors.B()->time - cursors.A()->time) * 1000;
    QVERIFY2(t.scope.lblCursors()->text().contains(QStringLiteral("Δt = %1 ms").arg(QString::number(dt_ms, 'g', 6))),
             qPrintable(t.scope.lblCursors()->text()));
    QVERIFY(t.scope.lblCursors()->text().contains(QStringLiteral("Δy = 0 um")));
    QVERIFY(!cursors.ViewHeld());

    // The wheel over the plot zooms in; the next redraws keep that range.
    const QCPRange before = time->range();
    QWheelEvent wheel(QPointF(a), plot->mapToGlobal(QPointF(a)), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(plot, &wheel);
    QVERIFY(cursors.ViewHeld());
    const QCPRange zoomed = time->range();
    QVERIFY(zoomed.size() < before.size());
    t.console.Tick(20);
    t.scope.Refresh();
    // (to the microsecond the frame is cut at)
    QVERIFY(std::abs(time->range().lower - zoomed.lower) < 1e-6);
    QVERIFY(std::abs(time->range().upper - zoomed.upper) < 1e-6);
    // A double click: the rolling window again.
    QTest::mouseDClick(plot, Qt::LeftButton, {}, a);
    QVERIFY(!cursors.ViewHeld());
    t.console.Tick();
    t.scope.Refresh();
    QVERIFY(std::abs(time->range().size() - 2.0) < 1e-6);
  }

  // Paused, later replies change nothing shown; zooming and panning still
  // draw the traces again for the range they show.
  void zoom_and_pan_while_paused() {
    TuningConsole t;
    QVERIFY(t.Shown());
    t.scope.Tabs()->setCurrentIndex(0);
    t.scope.spnWindow()->setValue(2);
    t.console.Tick(50);
    t.console.TypeTarget(0, QStringLiteral("20"));
    QTest::keyClick(t.console.Main().Text2(0), Qt::Key_Return);
    t.console.Tick(100);
    t.scope.Refresh();
    QTest::mouseClick(t.scope.cmdPause(), Qt::LeftButton);
    QVERIFY(t.scope.cmdPause()->isChecked());
    QCustomPlot* plot = t.scope.Plot();
    QCPAxis* time = plot->axisRect(0)->axis(QCPAxis::atBottom);
    const QCPRange paused = time->range();
    const QImage paused_image = t.scope.TraceImage();
    QVERIFY(!paused_image.isNull());
    t.console.TypeTarget(0, QStringLiteral("0"));
    QTest::keyClick(t.console.Main().Text2(0), Qt::Key_Return);
    t.console.Tick(50);
    t.scope.Refresh();
    QCOMPARE(time->range(), paused);
    QVERIFY2(t.scope.TraceImage() == paused_image, "a paused Scope shows no later reply");

    // The wheel over the move's step (0.5 s after the GO) zooms in.
    const double step_s = paused.lower + 0.55 * paused.size();
    const QPoint at(static_cast<int>(time->coordToPixel(step_s)), plot->axisRect(0)->center().y());
    QWheelEvent wheel(QPointF(at), plot->mapToGlobal(QPointF(at)), QPoint(), QPoint(0, 240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(plot, &wheel);
    t.scope.Refresh();
    const QCPRange zoomed = time->range();
    QVERIFY(zoomed.size() < paused.size());
    const QImage zoomed_image = t.scope.TraceImage();
    QVERIFY2(zoomed_image != paused_image, "the zoomed range is drawn");

    // A drag pans by what it covers, and the panned range is drawn too.
    const QPoint from = at;
    const QPoint to = at + QPoint(plot->axisRect(0)->width() / 4, 0);
    QTest::mousePress(plot, Qt::LeftButton, {}, from);
    QMouseEvent move(QEvent::MouseMove, QPointF(to), plot->mapToGlobal(QPointF(to)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(plot, &move);
    QTest::mouseRelease(plot, Qt::LeftButton, {}, to);
    t.scope.Refresh();
    const QCPRange panned = time->range();
    QVERIFY2(panned.lower < zoomed.lower, qPrintable(QStringLiteral("%1 -> %2").arg(zoomed.lower).arg(panned.lower)));
    QVERIFY(std::abs(panned.size() - zoomed.size()) < 1e-6);
    QVERIFY2(t.scope.TraceImage() != zoomed_image, "the panned range is drawn");
    QVERIFY(t.scope.cmdPause()->isChecked());
  }
};

STAGE_UI_TEST_MAIN(ScopeTuningTest)
#include "scope_tuning_test.moc"
