// Why this exists: a saved profile must put each controller's own mechanics,
// wiring and tuning back where the operator left them, in the designed
// controls; without one (or with --no-profile) not one control may differ
// from the design; and a damaged file must be said, not half-applied, and
// never overwritten. Driven with real mouse and key events on simulated
// controllers.
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "stage/axis/modKVT_USB.h"
#include "stage/profile/controller_profile.h"
#include "stage/sim/simulated_controllers.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/control_family.h"
#include "ui/common/profile_session.h"
#include "ui/common/program_exit.h"
#include "ui/main/frmMain.h"
#include "ui/select/frmSelect.h"
#include "ui/tuning/frmXCtrl0.h"

using stage::ui::FindElement;
using stage::ui::ProfileSession;

namespace {

enum class Profiles { kNoSession, kInFolder, kNoProfileOption };

// The start-up window on three simulated controllers (SimX, SimY, SimZ),
// with the program's own main window behind OK.
struct ProfiledStart {
  ProfiledStart(Profiles mode, const QString& folder)
      : devices(Config()),
        profiles(mode == Profiles::kInFolder ? folder : QString()),
        window(stage::ui::ConsoleContext{tables, devices, exit, nullptr,
                                         mode == Profiles::kNoSession ? nullptr : &profiles}) {
    window.show();
    if (!QTest::qWaitForWindowExposed(&window)) qWarning("start-up window not exposed");
  }
  ~ProfiledStart() {
    if (stage::ui::frmMain* main = Main()) main->Timer1().stop();
  }
  ProfiledStart(const ProfiledStart&) = delete;
  ProfiledStart& operator=(const ProfiledStart&) = delete;

  static stage::sim::SimulatorConfig Config() {
    stage::sim::SimulatorConfig config;
    config.controller_count = 3;
    return config;
  }
  stage::ui::frmMain* Main() const { return qobject_cast<stage::ui::frmMain*>(window.MainWindow()); }
  QString Text(const char* family, int k) const {
    return FindElement<QLineEdit>(&window, QString::fromLatin1(family), k)->text();
  }
  bool Checked(const char* family, int k) const {
    return FindElement<QCheckBox>(&window, QString::fromLatin1(family), k)->isChecked();
  }
  void ClickOk() { QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton); }

  stage::modKVT_USB tables;
  stage::sim::SimulatedControllers devices;
  stage::ui::RecordingExit exit;
  ProfileSession profiles;
  stage::ui::frmSelect window;
};

void Put(const QString& path, const QByteArray& text) {
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(text);
}

QByteArray Contents(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

// SimY's profile: everything away from the defaults.
const QByteArray kSimY =
    "schema_version = 1\n"
    "serial = 'SimY'\n"
    "notes = 'kept'\n"
    "[mechanics]\ncounts_per_rotation = 1000\ngearhead_ratio = 3.7\npitch_um = 2000\n"
    "[wiring]\nreverse_limit_switch = true\ncancel_when_error = true\n"
    "[tuning]\np = 40\nmax_speed = 120\nf_error = 9\nspeed = 300\n";

}  // namespace

class ProfilesTest : public QObject {
  Q_OBJECT

 private slots:
  void withoutAProfileEveryControlIsAsDesigned_data();
  void withoutAProfileEveryControlIsAsDesigned();
  void motorSettingsAndSlidersStartFromTheProfile();
  void anUnchangedProfileIsNotWrittenAgain();
  void aBadProfileIsSaidAndNeverOverwritten();
  void theOrderlyEndSavesTheSliders();
  void aChangedAxisOrderIsSaidAndSettingsFollowTheSerial();
};

void ProfilesTest::withoutAProfileEveryControlIsAsDesigned_data() {
  QTest::addColumn<int>("mode");
  QTest::addColumn<bool>("saved_at_ok");
  QTest::newRow("no profiles at all") << static_cast<int>(Profiles::kNoSession) << false;
  QTest::newRow("an empty profile folder") << static_cast<int>(Profiles::kInFolder) << true;
  QTest::newRow("--no-profile beside a saved profile") << static_cast<int>(Profiles::kNoProfileOption) << false;
}

void ProfilesTest::withoutAProfileEveryControlIsAsDesigned() {
  QFETCH(int, mode);
  QFETCH(bool, saved_at_ok);
  const QTemporaryDir folder;
  QVERIFY(folder.isValid());
  // --no-profile must not read this one.
  if (static_cast<Profiles>(mode) == Profiles::kNoProfileOption) Put(folder.filePath("SimY.toml"), kSimY);

  ProfiledStart start(static_cast<Profiles>(mode), folder.path());
  for (int k = 0; k < 3; ++k) {
    QCOMPARE(start.Text("Text1", k), QStringLiteral("128"));
    QCOMPARE(start.Text("Text2", k), QStringLiteral("256"));
    QCOMPARE(start.Text("Text3", k), QStringLiteral("250"));
    QCOMPARE(start.Text("Text4", k), QStringLiteral("500"));
    for (const char* check : {"Check1", "Check2", "Check3", "Check4"}) QVERIFY(!start.Checked(check, k));
  }
  QVERIFY(start.window.findChild<QMessageBox*>() == nullptr);

  start.ClickOk();
  stage::ui::frmMain* main = start.Main();
  QVERIFY(main != nullptr);
  stage::ui::frmXCtrl0& panel = main->TuningPanel();
  for (int k = 0; k < 3; ++k) {
    QCOMPARE(start.tables.CountsPerMicron[static_cast<std::size_t>(k)], 128.0);
    QCOMPARE(panel.Slider3(k)->value(), 15);
    QCOMPARE(panel.Slider2(k)->value(), 80);
    QCOMPARE(panel.Slider8(k)->value(), 50);
    QCOMPARE(panel.Slider1(k)->value(), 0);
  }
  // An empty folder gets the confirmed settings; --no-profile writes nothing
  // and leaves the file it did not read as it was.
  QCOMPARE(QFile::exists(folder.filePath("SimX.toml")), saved_at_ok);
  if (static_cast<Profiles>(mode) == Profiles::kNoProfileOption) {
    start.profiles.SaveAtEnd();
    QCOMPARE(Contents(folder.filePath("SimY.toml")), kSimY);
    QVERIFY(!QFile::exists(folder.filePath("SimY.toml.bak")));
  }
}

void ProfilesTest::motorSettingsAndSlidersStartFromTheProfile() {
  const QTemporaryDir folder;
  QVERIFY(folder.isValid());
  Put(folder.filePath("SimY.toml"), kSimY);
  ProfiledStart start(Profiles::kInFolder, folder.path());

  // SimY's column shows its saved mechanics and wiring; its neighbours keep
  // the designed defaults.
  QCOMPARE(start.Text("Text2", 1), QStringLiteral("1000"));
  QCOMPARE(start.Text("Text3", 1), QStringLiteral("3.7"));
  QCOMPARE(start.Text("Text4", 1), QStringLiteral("2000"));
  QCOMPARE(start.Text("Text1", 1), QStringLiteral("1.85"));
  QVERIFY(!start.Checked("Check1", 1));
  QVERIFY(start.Checked("Check2", 1));
  QVERIFY(!start.Checked("Check3", 1));
  QVERIFY(start.Checked("Check4", 1));
  for (const int k : {0, 2}) {
    QCOMPARE(start.Text("Text1", k), QStringLiteral("128"));
    QVERIFY(!start.Checked("Check2", k));
  }

  // The operator still confirms with OK, here after unticking "Cancel When
  // Error": the wiring goes out as ticked.
  QCheckBox* cancel = FindElement<QCheckBox>(&start.window, QStringLiteral("Check4"), 1);
  QTest::mouseClick(cancel, Qt::LeftButton, {}, QPoint(6, cancel->height() / 2));
  QVERIFY(!cancel->isChecked());
  start.ClickOk();
  QVERIFY(start.Main() != nullptr);
  QCOMPARE(start.tables.CountsPerMicron[1], 1.85);
  QCOMPARE(int{start.tables.RevLimitBit[1]}, 2);
  QCOMPARE(int{start.tables.CancelOnErrorBit[1]}, 0);
  QCOMPARE(int{start.tables.RevLimitBit[0]}, 0);
  stage::ui::frmXCtrl0& panel = start.Main()->TuningPanel();
  QCOMPARE(panel.Slider3(1)->value(), 40);
  QCOMPARE(panel.Slider2(1)->value(), 120);
  QCOMPARE(panel.Slider8(1)->value(), 9);
  QCOMPARE(panel.Slider4(1)->value(), 5);  // not in the file: the default
  QCOMPARE(panel.Slider1(1)->value(), 0);  // Speed always starts at 0
  QCOMPARE(panel.Slider3(0)->value(), 15);

  // OK saved every controller; SimY keeps its notes and its new wiring, the
  // previous file is its .bak.
  const stage::profile::ProfileReading saved =
      stage::profile::ReadProfile(Contents(folder.filePath("SimY.toml")).toStdString(), "SimY.toml");
  QVERIFY2(saved.profile.has_value(), saved.error.message.c_str());
  QCOMPARE(saved.profile->notes, std::string("kept"));
  QCOMPARE(saved.profile->mechanics.counts_per_rotation, std::int64_t{1000});
  QVERIFY(saved.profile->wiring.reverse_limit_switch);
  QVERIFY(!saved.profile->wiring.cancel_when_error);
  QVERIFY(saved.profile->saved_at.has_value());
  QCOMPARE(Contents(folder.filePath("SimY.toml.bak")), kSimY);
  QVERIFY(QFile::exists(folder.filePath("SimX.toml")));
  QVERIFY(QFile::exists(folder.filePath("SimZ.toml")));
}

void ProfilesTest::anUnchangedProfileIsNotWrittenAgain() {
  const QTemporaryDir folder;
  QVERIFY(folder.isValid());
  // (With a saved Speed, the end would save the 0 the slider starts at.)
  const QByteArray resting = QByteArray(kSimY).replace("speed = 300\n", "");
  Put(folder.filePath("SimY.toml"), resting);
  ProfiledStart start(Profiles::kInFolder, folder.path());
  start.ClickOk();
  QVERIFY(start.Main() != nullptr);
  start.profiles.SaveAtEnd();
  QCOMPARE(Contents(folder.filePath("SimY.toml")), resting);
  QVERIFY(!QFile::exists(folder.filePath("SimY.toml.bak")));
  // The controllers without a profile got theirs at OK, once.
  QVERIFY(QFile::exists(folder.filePath("SimX.toml")));
  QVERIFY(!QFile::exists(folder.filePath("SimX.toml.bak")));
  QVERIFY(start.profiles.SaveErrors().isEmpty());
}

void ProfilesTest::aBadProfileIsSaidAndNeverOverwritten() {
  const QTemporaryDir folder;
  QVERIFY(folder.isValid());
  const QByteArray bad = "schema_version = 1\nserial = 'SimY'\n[tuning]\np = 999\n";
  Put(folder.filePath("SimY.toml"), bad);
  ProfiledStart start(Profiles::kInFolder, folder.path());

  QCOMPARE(start.Text("Text1", 1), QStringLiteral("128"));
  QMessageBox* box = start.window.findChild<QMessageBox*>(QStringLiteral("profileMessage"));
  QVERIFY(box != nullptr);
  QTRY_VERIFY(box->isVisible());
  QCOMPARE(box->textFormat(), Qt::PlainText);
  QVERIFY2(box->text().startsWith(folder.filePath("SimY.toml") +
                                  QStringLiteral(" line 4, column 5: tuning.p: 999 is out of range (0 to 155)")),
           qPrintable(box->text()));
  QVERIFY(box->text().contains(QStringLiteral("the file is left as it is")));

  start.ClickOk();
  start.profiles.SaveAtEnd();
  QCOMPARE(Contents(folder.filePath("SimY.toml")), bad);
  QVERIFY(!QFile::exists(folder.filePath("SimY.toml.bak")));
  QVERIFY(QFile::exists(folder.filePath("SimX.toml")));
  QCOMPARE(start.Main()->TuningPanel().Slider3(1)->value(), 15);
}

void ProfilesTest::theOrderlyEndSavesTheSliders() {
  const QTemporaryDir folder;
  QVERIFY(folder.isValid());
  ProfiledStart start(Profiles::kInFolder, folder.path());
  start.ClickOk();
  QVERIFY(start.Main() != nullptr);
  stage::ui::TuningSlider* p = start.Main()->TuningPanel().Slider3(2);
  p->setFocus();
  QTest::keyClick(p, Qt::Key_Up);
  QTest::keyClick(p, Qt::Key_Up);
  const int moved = p->value();
  QVERIFY(moved != 15);

  start.profiles.SaveAtEnd();
  const stage::profile::ProfileReading saved =
      stage::profile::ReadProfile(Contents(folder.filePath("SimZ.toml")).toStdString(), "SimZ.toml");
  QVERIFY2(saved.profile.has_value(), saved.error.message.c_str());
  QCOMPARE(int{saved.profile->tuning.p}, moved);
  QCOMPARE(int{saved.profile->tuning.i}, 5);
}

void ProfilesTest::aChangedAxisOrderIsSaidAndSettingsFollowTheSerial() {
  const QTemporaryDir folder;
  QVERIFY(folder.isValid());
  // The last run had SimY first and SimX second; the simulator brings them
  // up as SimX, SimY, SimZ.
  Put(folder.filePath(".axis-order.toml"), "schema_version = 1\nserials = ['SimY', 'SimX', 'SimZ']\n");
  Put(folder.filePath("SimY.toml"), kSimY);
  {
    ProfiledStart start(Profiles::kInFolder, folder.path());
    QMessageBox* box = start.window.findChild<QMessageBox*>(QStringLiteral("profileMessage"));
    QVERIFY(box != nullptr);
    QTRY_VERIFY(box->isVisible());
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QCOMPARE(box->text(), QStringLiteral("The controllers come up in another order than in the last run: \"SimX\" was "
                                         "the 2nd axis and is the 1st now; \"SimY\" was the 1st axis and is the "
                                         "2nd now. Each controller keeps its own settings."));
    // SimY's settings are in SimY's column, wherever it stands; SimX's are
    // the designed ones.
    QCOMPARE(start.Text("Text2", 1), QStringLiteral("1000"));
    QVERIFY(start.Checked("Check2", 1));
    QCOMPARE(start.Text("Text2", 0), QStringLiteral("256"));
    QVERIFY(!start.Checked("Check2", 0));
    start.ClickOk();
    QVERIFY(start.Main() != nullptr);
    QCOMPARE(start.Main()->TuningPanel().Slider3(1)->value(), 40);
    QCOMPARE(start.Main()->TuningPanel().Slider3(0)->value(), 15);
  }
  // OK kept this run's order: the next start has nothing to say.
  ProfiledStart again(Profiles::kInFolder, folder.path());
  QTest::qWait(50);
  QVERIFY(again.window.findChild<QMessageBox*>(QStringLiteral("profileMessage")) == nullptr);
}

STAGE_UI_TEST_MAIN(ProfilesTest)
#include "profiles_test.moc"
