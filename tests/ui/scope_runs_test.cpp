// Why: a run saved before a change of gains is what the next run is judged
// against, so it must come back exactly, show beside the live one, and a file
// that is not a whole, valid run must load nothing at all (and say why); the
// loop figures must reach the table and the figures CSV as the core works
// them out. The Scope is fed packets made here, on a clock of the test's own,
// so every figure is known by hand.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <qcustomplot.h>

#include "stage/scope/run_file.h"
#include "stage/scope/scope_recorder.h"
#include "stage/usb/packet_codec.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"
#include "ui/scope/frmScope.h"

using namespace stage;
using stage::ui::frmScope;

namespace {

// The gains the packets carry, frame by frame.
const usb::TuningValues kGains{20, 6, 7, 60, 90, 210, 40, 0};

stage::modKVT_USB OneAxis() {
  stage::modKVT_USB tables;
  tables.AllocateAxisTables(0);
  tables.AxisName[0] = "X   ";
  tables.CountsPerMicron[0] = 10;
  tables.UnitSuffix[0] = " um";
  return tables;
}

// One axis, 10 counts per um, fed the trapezoid of the loop figures' core
// test: a GO to 100 at 10 ms, the ideal position travelling 10, 20, 20, 20,
// 20, 10 counts per 10 ms, following errors 0, -4 | -8, -6, -6, -2 | +3;
// in the band (+-2) for good at 90 ms, 20 ms after the profile ended at
// 70 ms; settled at 190 ms.
struct RecordedScope {
  // Judged by a band of +-2 counts, set before the move.
  RecordedScope() : tables(OneAxis()), recorder(1, [this] { return now; }), scope(tables, recorder) {
    scope.spnBand()->setValue(2);
  }

  void Exchange(std::int64_t t_ms, bool go, std::int32_t ideal, std::int32_t position, bool busy) {
    usb::CommandFields fields;
    fields.control_byte = static_cast<std::uint8_t>(usb::kActiveBit | (toggle ? usb::kToggleBit : 0) |
                                                    (go ? usb::kGoBit | usb::kPositionModeBit : 0));
    fields.frame_marker = toggle ? usb::kFrameA : usb::kFrameB;
    fields.tuning = kGains;
    fields.target_counts = go ? 100 : 0;
    toggle = !toggle;
    const usb::StatusReading reading{position, ideal, static_cast<std::uint8_t>(busy ? usb::kFlagBusy : 0)};
    poll::ExchangeResult result;
    result.outcome = poll::ExchangeResult::Outcome::kOk;
    result.reading = reading;
    result.count = 12;
    now = std::chrono::milliseconds(t_ms);
    recorder.OnExchange(0, *usb::EncodeCommand(fields).packet, usb::EncodeStatus(reading), result);
  }
  void PlayTrapezoid() {
    Exchange(0, false, 0, 0, false);
    const std::array<std::array<std::int32_t, 2>, 9> rows = {
        {{0, 0}, {10, 6}, {30, 22}, {50, 44}, {70, 64}, {90, 88}, {100, 103}, {100, 104}, {100, 101}}};
    for (std::size_t k = 0; k < rows.size(); ++k) {
      Exchange(10 + 10 * static_cast<std::int64_t>(k), true, rows[k][0], rows[k][1], true);
    }
    for (std::int64_t t = 100; t <= 300; t += 10) Exchange(t, true, 100, 100, false);
    // The next poll is overdue: a redraw is never put off for it.
    now += std::chrono::milliseconds(20);
  }
  // The trapezoid played, the Scope shown and drawn.
  bool PlayedAndShown() {
    PlayTrapezoid();
    scope.ShowScope();
    if (!QTest::qWaitForWindowExposed(&scope)) return false;
    scope.Refresh();
    return true;
  }
  QString Cell(int row, int column) const {
    const QTableWidgetItem* item = scope.tblMoves()->item(row, column);
    return item == nullptr ? QString() : item->text();
  }

  stage::modKVT_USB tables;
  std::chrono::nanoseconds now{0};
  bool toggle = true;
  scope::ScopeRecorder recorder;
  frmScope scope;
};

// Waits for a signal of the export thread; false after 30 s rather than hang.
bool Outcome(QSignalSpy& spy) {
  if (spy.isEmpty() && !spy.wait(30'000)) {
    qWarning("the export thread did not answer within 30 s");
    return false;
  }
  return spy.takeFirst().at(0).toBool();
}

QString ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The text of the failure message box `name`, shown as plain text; closed
// and gone afterwards. Empty when there is none.
QString FailureSaid(frmScope& scope, const QString& name) {
  auto* box = scope.findChild<QMessageBox*>(name);
  if (box == nullptr || !box->isVisible() || box->textFormat() != Qt::PlainText) return {};
  QString text = box->text();
  box->close();
  delete box;
  return text;
}

// Answers the next file dialog with `path`, once it is up; a dialog still up
// after ten seconds is cancelled, so that the test fails rather than hangs.
void AnswerFileDialog(const QString& path) {
  QTimer::singleShot(0, [path] {
    for (int tries = 0; tries < 1000; ++tries) {
      if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        return;
      }
      QTest::qWait(10);
    }
    qWarning("no file dialog came up");
  });
  QTimer::singleShot(10'000, [] {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) dialog->reject();
  });
}

}  // namespace

class ScopeRunsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    stage::ui::InstallFontSubstitutions();
    // Qt's own dialog, which the test can answer, on every platform.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  }

  void the_loop_figures_are_columns_of_the_table() {
    RecordedScope s;
    QVERIFY(s.PlayedAndShown());
    QCOMPARE(s.scope.tblMoves()->rowCount(), 1);
    QCOMPARE(s.Cell(0, frmScope::kEndColumn), QStringLiteral("settled"));
    QCOMPARE(s.Cell(0, frmScope::kInPositionColumn), QStringLiteral("20.0"));
    // Counts / 10, in um: -4, sqrt(8); -8, sqrt(35); 3, 3.
    QCOMPARE(s.Cell(0, frmScope::kAcceleratingPeakColumn), QStringLiteral("-0.400"));
    QCOMPARE(s.Cell(0, frmScope::kAcceleratingRmsColumn), QStringLiteral("0.283"));
    QCOMPARE(s.Cell(0, frmScope::kCruisingPeakColumn), QStringLiteral("-0.800"));
    QCOMPARE(s.Cell(0, frmScope::kCruisingRmsColumn), QStringLiteral("0.592"));
    QCOMPARE(s.Cell(0, frmScope::kBrakingPeakColumn), QStringLiteral("0.300"));
    QCOMPARE(s.Cell(0, frmScope::kBrakingRmsColumn), QStringLiteral("0.300"));
    QCOMPARE(s.Cell(0, frmScope::kSettlingColumn), QStringLiteral("80.0"));
  }

  // Saved through the button and its dialog, loaded back: the file holds the
  // window's samples, the move and the gains the packets carried, and the
  // loaded run shows beside the live one.
  void a_saved_run_loads_back_beside_the_live_one() {
    RecordedScope s;
    QVERIFY(s.PlayedAndShown());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run.json"));
    QSignalSpy saved(&s.scope, &frmScope::ExportFinished);
    AnswerFileDialog(path);
    QTest::mouseClick(s.scope.cmdSaveRun(), Qt::LeftButton);
    QVERIFY(Outcome(saved));

    const std::string text = ReadAll(path).toStdString();
    const scope::RunRead read = scope::ReadRun(text);
    QVERIFY2(read.run.has_value(), read.error.c_str());
    QCOMPARE(read.run->axes.size(), std::size_t{1});
    const scope::RunAxis& x = read.run->axes[0];
    QCOMPARE(x.name, std::string("X"));
    QCOMPARE(x.unit, std::string("um"));
    QCOMPARE(x.counts_per_unit, 10.0);
    QVERIFY(x.gains == kGains);
    QCOMPARE(x.samples.size(), std::size_t{31});  // 0 to 300 ms
    QCOMPARE(x.samples[7].position, 103);  // at 70 ms
    QCOMPARE(x.moves.size(), std::size_t{1});
    QCOMPARE(x.moves[0].loop.in_position_us, std::optional<std::int64_t>(20'000));

    QSignalSpy loaded(&s.scope, &frmScope::RunLoaded);
    s.scope.StartLoadRun(path);
    QVERIFY(Outcome(loaded));
    QVERIFY(s.scope.LoadedRun() != nullptr);
    QCOMPARE(s.scope.tblMoves()->rowCount(), 2);
    QCOMPARE(s.Cell(0, frmScope::kAxisColumn), QStringLiteral("X"));
    QCOMPARE(s.Cell(1, frmScope::kAxisColumn), QStringLiteral("X (run.json)"));
    for (int column = frmScope::kMoveColumn; column < frmScope::kColumnCount; ++column) {
      QCOMPARE(s.Cell(1, column), s.Cell(0, column));
    }
    // Its traces: actual, ideal and following error, against the top axis.
    QCustomPlot* plot = s.scope.Plot();
    QCPGraph* actual = plot->graph(plot->graphCount() - 3);
    QCOMPARE(actual->name(), QStringLiteral("X (run.json) actual"));
    QCOMPARE(actual->keyAxis(), s.scope.PositionAxis(0)->axisRect()->axis(QCPAxis::atTop));
    QCOMPARE(actual->data()->size(), 31);
    QCOMPARE((actual->data()->constBegin() + 7)->value, 10.3);

    // A second load replaces the first: still one loaded run, three graphs more.
    const int graphs = plot->graphCount();
    s.scope.StartLoadRun(path);
    QVERIFY(Outcome(loaded));
    QCOMPARE(plot->graphCount(), graphs);
    QCOMPARE(s.scope.tblMoves()->rowCount(), 2);
  }

  // A file that is not a whole, valid run loads nothing: the run loaded
  // before stays, and the message names the fault.
  void a_bad_run_file_loads_nothing_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");  // empty: `name` is not a file written here
    QTest::addColumn<QString>("fault");
    QTest::newRow("missing") << "missing.json" << QByteArray() << "No such file or directory";
    QTest::newRow("a folder") << "folder" << QByteArray() << "it is not a regular file";
    QTest::newRow("not JSON") << "text.json" << QByteArray("hello") << "the file is not valid JSON";
    QTest::newRow("cut short") << "cut.json" << QByteArray(R"({"format":"stage-console run","version":1,"axes":[)")
                               << "the file is not valid JSON";
    QTest::newRow("another format") << "other.json" << QByteArray(R"({"format":"x"})")
                                    << "the file is not a stage-console run";
    QTest::newRow("no axes") << "empty.json"
                             << QByteArray(R"({"format":"stage-console run","version":1,"saved_utc":"","axes":[]})")
                             << "the run has no axis";
  }
  void a_bad_run_file_loads_nothing() {
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, fault);
    RecordedScope s;
    QVERIFY(s.PlayedAndShown());
    QTemporaryDir dir;
    // A good run loaded first.
    const QString good = dir.filePath(QStringLiteral("good.json"));
    QSignalSpy saved(&s.scope, &frmScope::ExportFinished);
    s.scope.StartSaveRun(good);
    QVERIFY(Outcome(saved));
    QSignalSpy loaded(&s.scope, &frmScope::RunLoaded);
    s.scope.StartLoadRun(good);
    QVERIFY(Outcome(loaded));
    const scope::Run* before = s.scope.LoadedRun();
    QVERIFY(before != nullptr);
    const std::string good_text = scope::WriteRun(*before);
    const int graphs = s.scope.Plot()->graphCount();

    const QString path = dir.filePath(name);
    if (!content.isEmpty()) {
      QFile file(path);
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write(content);
    } else if (name == QLatin1String("folder")) {
      QVERIFY(QDir(dir.path()).mkdir(name));
    }
    s.scope.StartLoadRun(path);
    QVERIFY(!Outcome(loaded));
    QCOMPARE(FailureSaid(s.scope, QStringLiteral("msgLoadFailed")),
             QStringLiteral("Could not load a run from %1: %2. Nothing was loaded.").arg(path, fault));
    // Nothing of it applied.
    QVERIFY(s.scope.LoadedRun() != nullptr);
    QCOMPARE(scope::WriteRun(*s.scope.LoadedRun()), good_text);
    QCOMPARE(s.scope.Plot()->graphCount(), graphs);
    QCOMPARE(s.scope.tblMoves()->rowCount(), 2);
    QVERIFY(!s.scope.Exporting());
  }

  // The figures table as CSV: a row per move, lengths in the axis's unit,
  // the gains; into /proc it fails with a message and leaves no file.
  void the_figures_export_as_csv() {
    RecordedScope s;
    QVERIFY(s.PlayedAndShown());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("figures.csv"));
    QSignalSpy finished(&s.scope, &frmScope::ExportFinished);
    s.scope.StartExportFigures(path);
    QVERIFY(Outcome(finished));
    const QStringList lines = ReadAll(path).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QStringLiteral(
                           "source,axis,name,unit,move,start_s,end_s,step,rise_time_ms,overshoot_percent,overshoot,"
                           "settling_time_ms,steady_state_error,peak_following_error,in_position_ms,"
                           "accelerating_peak_error,accelerating_rms_error,cruising_peak_error,cruising_rms_error,"
                           "braking_peak_error,braking_rms_error,band,end,p,i,d,acc,max_speed,torque,f_error"));
    // By hand: step 100 counts = 10 um; overshoot 4 counts (104) = 0.4 um, 4 %;
    // settled 80 ms after the start, 20 ms after the profile; at rest from
    // 90 ms (101, then ten times 100): r - y = 100 - 1101 / 11 = -1/11 count
    // = -1/110 um; peak following error -8 counts; rise 10 % (10 counts) to
    // 90 % (90): 10 at 22.5 ms (6 to 22 between 20 and 30), 90 at 61.33 ms
    // (88 to 103 between 60 and 70): 116.5 / 3 ms.
    const QStringList row = lines[1].split(QLatin1Char(','));
    QCOMPARE(row.size(), 30);
    QCOMPARE(row.mid(0, 5), (QStringList{"\"live\"", "0", "\"X\"", "\"um\"", "GO"}));
    QCOMPARE(row.mid(5, 3), (QStringList{"0.01", "0.19", "10"}));
    QVERIFY(std::abs(row[8].toDouble() - 116.5 / 3) < 1e-6);  // rise time, ms
    QCOMPARE(row.mid(9, 3), (QStringList{"4", "0.4", "80"}));
    QVERIFY(std::abs(row[12].toDouble() + 1.0 / 110) < 1e-9);
    QCOMPARE(row.mid(13, 2), (QStringList{"-0.8", "20"}));
    QCOMPARE(row.mid(15, 6)[0], QStringLiteral("-0.4"));
    QVERIFY(std::abs(row[16].toDouble() - std::sqrt(8.0) / 10) < 1e-9);  // ten significant digits
    QCOMPARE(row[17], QStringLiteral("-0.8"));
    QVERIFY(std::abs(row[18].toDouble() - std::sqrt(35.0) / 10) < 1e-9);
    QCOMPARE(row.mid(19, 4), (QStringList{"0.3", "0.3", "0.2", "settled"}));
    QCOMPARE(row.mid(23), (QStringList{"20", "6", "7", "60", "90", "210", "40"}));

    // Into /proc: said, and no file.
    const QString proc = QStringLiteral("/proc/figures.csv");
    s.scope.StartExportFigures(proc);
    QVERIFY(!Outcome(finished));
    QVERIFY(FailureSaid(s.scope, QStringLiteral("msgExportFailed"))
                .startsWith(QStringLiteral("Could not export to ") + proc + QStringLiteral(": ")));
    QVERIFY(!QFile::exists(proc));
  }
};

STAGE_UI_TEST_MAIN(ScopeRunsTest)
#include "scope_runs_test.moc"
