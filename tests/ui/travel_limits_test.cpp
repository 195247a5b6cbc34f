// Why this exists: a profile's soft travel limits must stop a mistyped target
// before it reaches the controller, from GO, Enter and Rel alike, with the
// target box's refusal line naming the limit; a Rel that would cross a limit
// is refused whole. A refused entry sends no command bit and leaves the mode
// as it was. Without limits (no profile, --no-profile) every entry goes out
// exactly as designed. Driven with real mouse and key events on a simulated
// controller whose profile sits in a temporary folder.
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <optional>

#include "stage/usb/packet_codec.h"
#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/profile_session.h"

using stage::ui::ProfileSession;
using stage::ui::testing::LiveConsole;
using stage::ui::testing::StartUp;

namespace {

constexpr int kGo = stage::usb::kGoBit;
constexpr int kRelMove = stage::usb::kRelMoveBit;
constexpr int kModes = stage::usb::kSpeedModeBit | stage::usb::kPositionModeBit;

enum class Limits { kInProfile, kNoProfileFile, kNoProfileOption };

// The simulator's only controller (serial SimX) with the limits -1280 and
// 6400 counts in its profile: -10 um and 50 um at the designed 128 counts
// per micron, or -1280 En and 6400 En with mechanics of exactly one count
// per micron.
struct LimitedAxis {
  LimitedAxis(Limits limits, bool in_counts)
      : profiles(limits == Limits::kNoProfileOption ? QString() : folder.path()) {
    if (limits == Limits::kInProfile) {
      QByteArray text = "schema_version = 1\nserial = 'SimX'\n[limits]\nlower_counts = -1280\nupper_counts = 6400\n";
      if (in_counts) text += "[mechanics]\ncounts_per_rotation = 1\ngearhead_ratio = 1\npitch_um = 1\n";
      QFile file(folder.filePath(QStringLiteral("SimX.toml")));
      if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) qFatal("cannot write the profile");
    }
    StartUp start_up;
    start_up.axes = 1;
    start_up.profiles = &profiles;
    if (in_counts && limits != Limits::kInProfile) start_up.mechanics = {{0, "1", "1", "1"}};
    console = std::make_unique<LiveConsole>(start_up);
    console->Tick(2);
  }
  stage::ui::frmMain& Main() { return console->Main(); }
  // The target field of the latest packet, in counts.
  double SentTarget() const {
    const auto fields = stage::usb::DecodeCommand(console->LastSent(0));
    return fields ? fields->target_counts : -1e300;
  }

  QTemporaryDir folder;
  ProfileSession profiles;
  std::unique_ptr<LiveConsole> console;
};

// Enters the box's text the way the row says: a press on GO or Rel (held),
// Enter in the box, or Space on Rel (held).
void Enter(LiveConsole& console, const QString& how) {
  stage::ui::frmMain& main = console.Main();
  if (how == QLatin1String("GO")) QTest::mousePress(main.cmdGo(0), Qt::LeftButton);
  if (how == QLatin1String("Rel")) QTest::mousePress(main.Command7(0), Qt::LeftButton);
  if (how == QLatin1String("Enter")) QTest::keyClick(main.Text2(0), Qt::Key_Return);
  if (how == QLatin1String("Space")) {
    main.Command7(0)->setFocus();
    QTest::keyPress(main.Command7(0), Qt::Key_Space);
  }
}

void Let(LiveConsole& console, const QString& how) {
  stage::ui::frmMain& main = console.Main();
  if (how == QLatin1String("GO")) QTest::mouseRelease(main.cmdGo(0), Qt::LeftButton);
  if (how == QLatin1String("Rel")) QTest::mouseRelease(main.Command7(0), Qt::LeftButton);
  if (how == QLatin1String("Space")) QTest::keyRelease(main.Command7(0), Qt::Key_Space);
}

}  // namespace

class TravelLimitsTest : public QObject {
  Q_OBJECT

 private slots:
  void entriesAtAndBeyondEachEdge_data();
  void entriesAtAndBeyondEachEdge();
  void aRelCountsFromTheMoveInForce();
};

void TravelLimitsTest::entriesAtAndBeyondEachEdge_data() {
  QTest::addColumn<bool>("in_counts");
  QTest::addColumn<QString>("how");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<double>("sent");  // the packet's target field when taken
  // The refusal with the limits; without them every entry is taken.
  QTest::addColumn<QString>("refusal");
  const QString upper_um = QStringLiteral("the upper travel limit of axis X, 50.00 um (6400 counts)");
  const QString lower_um = QStringLiteral("the lower travel limit of axis X, -10.00 um (-1280 counts)");
  const QString upper_en = QStringLiteral("the upper travel limit of axis X, 6400.00 En (6400 counts)");
  const QString lower_en = QStringLiteral("the lower travel limit of axis X, -1280.00 En (-1280 counts)");
  const QString kept = QStringLiteral(". The previous target is kept.");
  const auto target = [&kept](const char* end, const QString& limit) {
    return QStringLiteral("Target %1 is beyond %2").arg(QLatin1String(end), limit) + kept;
  };
  const auto rel = [&kept](const char* distance, const char* end, const QString& limit) {
    return QStringLiteral("Rel %1 from 0.00 um would end at %2, beyond %3")
               .arg(QLatin1String(distance), QLatin1String(end), limit) +
           kept;
  };
  const auto rel_en = [&kept](const char* distance, const char* end, const QString& limit) {
    return QStringLiteral("Rel %1 from 0.00 En would end at %2, beyond %3")
               .arg(QLatin1String(distance), QLatin1String(end), limit) +
           kept;
  };

  // Microns: on each limit is taken, a hundredth beyond is refused.
  QTest::newRow("um, GO on the upper") << false << "GO" << "50" << 6400.0 << QString();
  QTest::newRow("um, GO beyond the upper") << false << "GO" << "50.01" << 6401.28 << target("50.01 um", upper_um);
  QTest::newRow("um, Enter on the lower") << false << "Enter" << "-10" << -1280.0 << QString();
  QTest::newRow("um, Enter beyond the lower")
      << false << "Enter" << "-10.01" << -1281.28 << target("-10.01 um", lower_um);
  QTest::newRow("um, GO far beyond the lower") << false << "GO" << "-5000" << -640000.0 << target("-5000.00 um", lower_um);
  QTest::newRow("um, Rel to the upper") << false << "Rel" << "50" << 6400.0 << QString();
  QTest::newRow("um, Rel beyond the upper")
      << false << "Rel" << "50.01" << 6401.28 << rel("50.01 um", "50.01 um", upper_um);
  QTest::newRow("um, Space on Rel to the lower") << false << "Space" << "-10" << -1280.0 << QString();
  QTest::newRow("um, Space on Rel beyond the lower")
      << false << "Space" << "-10.01" << -1281.28 << rel("-10.01 um", "-10.01 um", lower_um);
  // Encoder counts: the packet carries whole counts, rounded half to even,
  // and that is what is compared.
  QTest::newRow("En, GO on the upper") << true << "GO" << "6400" << 6400.0 << QString();
  QTest::newRow("En, GO half a count over, rounds onto the upper") << true << "GO" << "6400.5" << 6400.5 << QString();
  QTest::newRow("En, GO beyond the upper") << true << "GO" << "6401" << 6401.0 << target("6401.00 En", upper_en);
  QTest::newRow("En, Enter 1.5 over, rounds beyond the upper")
      << true << "Enter" << "6401.5" << 6401.5 << target("6402.00 En", upper_en);
  QTest::newRow("En, Enter on the lower") << true << "Enter" << "-1280" << -1280.0 << QString();
  QTest::newRow("En, GO beyond the lower") << true << "GO" << "-1281" << -1281.0 << target("-1281.00 En", lower_en);
  QTest::newRow("En, Rel to the upper") << true << "Rel" << "6400" << 6400.0 << QString();
  QTest::newRow("En, Rel beyond the upper")
      << true << "Rel" << "6401" << 6401.0 << rel_en("6401.00 En", "6401.00 En", upper_en);
  QTest::newRow("En, Space on Rel to the lower") << true << "Space" << "-1280.5" << -1280.5 << QString();
  QTest::newRow("En, Space on Rel beyond the lower")
      << true << "Space" << "-1281" << -1281.0 << rel_en("-1281.00 En", "-1281.00 En", lower_en);
}

void TravelLimitsTest::entriesAtAndBeyondEachEdge() {
  QFETCH(bool, in_counts);
  QFETCH(QString, how);
  QFETCH(QString, typed);
  QFETCH(double, sent);
  QFETCH(QString, refusal);
  const int command = how == QLatin1String("GO") || how == QLatin1String("Enter") ? kGo : kRelMove;

  for (const Limits limits : {Limits::kInProfile, Limits::kNoProfileFile, Limits::kNoProfileOption}) {
    LimitedAxis axis(limits, in_counts);
    LiveConsole& console = *axis.console;
    QCOMPARE(console.tables.UnitSuffix[0], std::string(in_counts ? " En" : " um"));
    const int modes_before = console.LastControlByte(0) & kModes;
    console.TypeTarget(0, typed);
    Enter(console, how);
    console.Tick();
    QLabel* line = axis.Main().lblMessage();

    if (limits == Limits::kInProfile && !refusal.isEmpty()) {
      QCOMPARE(line->text(), refusal);
      QVERIFY(line->isVisible());
      // The box shows the target in force again; nothing goes out.
      QCOMPARE(axis.Main().Text2(0)->text(), QStringLiteral("0"));
      QCOMPARE(console.tables.TargetCounts[0], 0.0);
      QCOMPARE(axis.SentTarget(), 0.0);
      QCOMPARE(console.LastControlByte(0) & (kGo | kRelMove), 0);
      Let(console, how);
      console.Tick();
      QCOMPARE(console.LastControlByte(0) & (kGo | kRelMove | kModes), modes_before);
    } else {
      // Taken, as designed: the command bit and the target or distance go out.
      QVERIFY2(line->text().isEmpty(), qPrintable(line->text()));
      QCOMPARE(console.tables.TargetCounts[0], sent);
      QCOMPARE(axis.SentTarget(), static_cast<double>(*stage::usb::EncodedTargetCounts(sent)));
      QCOMPARE(console.LastControlByte(0) & command, command);
      Let(console, how);
    }
    QVERIFY(!console.exit.Ended());
  }
}

// The end of a Rel is counted from the target of the move in force (where
// the controller counts it from), not from where the axis is now; after STOP
// it is counted from the ideal position again.
void TravelLimitsTest::aRelCountsFromTheMoveInForce() {
  LimitedAxis axis(Limits::kInProfile, false);
  LiveConsole& console = *axis.console;
  stage::ui::frmMain& main = axis.Main();
  QLabel* line = main.lblMessage();
  console.TypeTarget(0, QStringLiteral("40"));
  Enter(console, QStringLiteral("GO"));
  console.Tick();
  Let(console, QStringLiteral("GO"));
  console.Tick();

  // 40 + 10.01 um: beyond 50 um, wherever the axis is on its way.
  bool read = false;
  const int ideal = stage::ui::testing::ShownText(main.Text3(0)).toInt(&read);
  QVERIFY(read);
  QVERIFY2(ideal < 5120, qPrintable(QString::number(ideal)));
  console.TypeTarget(0, QStringLiteral("10.01"));
  Enter(console, QStringLiteral("Rel"));
  console.Tick();
  QCOMPARE(line->text(), QStringLiteral("Rel 10.01 um from 40.00 um would end at 50.01 um, beyond the upper travel "
                                        "limit of axis X, 50.00 um (6400 counts). The previous target is kept."));
  QCOMPARE(console.LastControlByte(0) & (kGo | kRelMove), 0);
  QCOMPARE(main.Text2(0)->text(), QStringLiteral("40.00"));
  Let(console, QStringLiteral("Rel"));

  // 40 + 10 um ends on the limit: taken, and the next Rel counts from 50 um.
  console.TypeTarget(0, QStringLiteral("10"));
  Enter(console, QStringLiteral("Rel"));
  console.Tick();
  QVERIFY(line->text().isEmpty());
  QCOMPARE(console.LastControlByte(0) & kRelMove, kRelMove);
  Let(console, QStringLiteral("Rel"));
  console.Tick();
  console.TypeTarget(0, QStringLiteral("0.01"));
  Enter(console, QStringLiteral("Rel"));
  QVERIFY(line->text().startsWith(QStringLiteral("Rel 0.01 um from 50.00 um would end at 50.01 um")));
  Let(console, QStringLiteral("Rel"));

  // ZERO ends the move: the ideal position (0 now) is the base again, from
  // which -10.01 um is beyond the lower limit (from 50 um it would not be).
  QTest::mousePress(main.Command2(0), Qt::LeftButton);
  console.Tick(2);
  QTest::mouseRelease(main.Command2(0), Qt::LeftButton);
  console.Tick(2);
  QCOMPARE(stage::ui::testing::ShownText(main.Text3(0)), QStringLiteral("0"));
  console.TypeTarget(0, QStringLiteral("-10.01"));
  Enter(console, QStringLiteral("Rel"));
  QCOMPARE(line->text(), QStringLiteral("Rel -10.01 um from 0.00 um would end at -10.01 um, beyond the lower travel "
                                        "limit of axis X, -10.00 um (-1280 counts). The previous target is kept."));
  Let(console, QStringLiteral("Rel"));
}

STAGE_UI_TEST_MAIN(TravelLimitsTest)
#include "travel_limits_test.moc"
