// Why this exists: the Axis Settings window changes a live axis while the
// console polls. Wiring must reach the controller in the next packet, new
// mechanics must count from the next command without moving the limits,
// limits set there must stop a GO in the main window, the administrator's
// bound must never be widened, a profile must travel to a file and back (a
// bad file refused whole), and coming back from the window must not blank
// the main window as an activation does. Driven with real mouse and key
// events on simulated controllers (SimX, SimY, SimZ).
#include <QCheckBox>
#include <QFileInfo>
#include <QDialogButtonBox>
#include <QPointer>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "stage/profile/admin_limits.h"
#include "stage/profile/controller_profile.h"
#include "stage/usb/packet_codec.h"
#include "tests/ui/live_console.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/profile_session.h"
#include "ui/settings/frmAxisSettings.h"

using stage::TravelLimits;
using stage::ui::frmAxisSettings;
using stage::ui::frmMain;
using stage::ui::ProfileSession;
using stage::ui::testing::LiveConsole;
using stage::ui::testing::StartUp;

namespace {

constexpr int kGo = stage::usb::kGoBit;
constexpr std::uint8_t kActive = stage::usb::kActiveBit;

enum class Profiles { kFolder, kNoProfileOption };

// A console on three simulated controllers with a profile folder (or
// --no-profile), optional profiles and administrator's bounds.
struct SettingsConsole {
  explicit SettingsConsole(Profiles mode = Profiles::kFolder, const QByteArray& simx_profile = {},
                           const stage::profile::AdminBounds& admin = {})
      : profiles(mode == Profiles::kFolder ? folder.path() : QString()) {
    if (!simx_profile.isEmpty()) {
      QFile file(folder.filePath(QStringLiteral("SimX.toml")));
      if (!file.open(QIODevice::WriteOnly) || file.write(simx_profile) != simx_profile.size()) {
        qFatal("cannot write the profile");
      }
    }
    profiles.SetAdminBounds(admin);
    StartUp start_up;
    start_up.profiles = &profiles;
    console = std::make_unique<LiveConsole>(start_up);
    console->Tick(2);
  }
  frmMain& Main() { return console->Main(); }
  frmAxisSettings& Settings() { return Main().AxisSettings(); }

  // F2 where the operator is: the main window, active.
  frmAxisSettings& OpenWithF2(QWidget* from = nullptr) {
    QWidget* window = from != nullptr ? from : &Main();
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window)) qWarning("the window did not become active");
    QTest::keyClick(window, Qt::Key_F2);
    if (!QTest::qWaitForWindowActive(&Settings())) qWarning("Axis Settings did not become active");
    return Settings();
  }
  void ChooseAxis(int axis) {
    QComboBox* combo = Settings().cmbAxis();
    combo->setFocus();
    while (combo->currentIndex() < axis) QTest::keyClick(combo, Qt::Key_Down);
    while (combo->currentIndex() > axis) QTest::keyClick(combo, Qt::Key_Up);
  }
  void Apply() { QTest::mouseClick(Settings().cmdApply(), Qt::LeftButton); }
  void Click(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); }

  // A GO with the mouse on axis `axis` to `typed`, held over one tick.
  void Go(int axis, const QString& typed) {
    console->TypeTarget(axis, typed);
    QTest::mousePress(Main().cmdGo(axis), Qt::LeftButton);
    console->Tick();
    QTest::mouseRelease(Main().cmdGo(axis), Qt::LeftButton);
  }
  std::optional<stage::usb::CommandFields> LastCommand(std::uint32_t device) const {
    return stage::usb::DecodeCommand(console->LastSent(device));
  }

  QTemporaryDir folder;
  ProfileSession profiles;
  std::unique_ptr<LiveConsole> console;
};

// Chooses `path` in the window's file dialog the way an operator does: the
// file's name typed into the file name box, then a click on Open or Save once
// the dialog's view of its folder has caught up and enabled it. The dialog
// opens in the file's folder; the window manager's part, activating the new
// dialog, is done here.
void ChooseFile(frmAxisSettings& settings, const char* dialog_name, const QString& path) {
  const QFileInfo file(path);
  settings.SetDialogFolder(file.absolutePath());
  QPushButton* opener = QString::fromLatin1(dialog_name) == QLatin1String("dlgImport") ? settings.cmdImport()
                                                                                      : settings.cmdExport();
  QTest::mouseClick(opener, Qt::LeftButton);
  QFileDialog* dialog = nullptr;
  QTRY_VERIFY((dialog = settings.findChild<QFileDialog*>(QString::fromLatin1(dialog_name))) != nullptr &&
              dialog->isVisible());
  dialog->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(dialog));
  QCOMPARE(dialog->directory().absolutePath(), file.absolutePath());
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
  QVERIFY(name != nullptr && buttons != nullptr);
  LiveConsole::Type(name, file.fileName());
  QPushButton* accept = buttons->button(dialog->acceptMode() == QFileDialog::AcceptOpen ? QDialogButtonBox::Open
                                                                                          : QDialogButtonBox::Save);
  QVERIFY(accept != nullptr);
  QTRY_VERIFY(accept->isEnabled());
  const QPointer<QFileDialog> guard(dialog);
  QTest::mouseClick(accept, Qt::LeftButton);
  QTRY_VERIFY(guard.isNull() || !guard->isVisible());
  // Remembered for the next dialog.
  QCOMPARE(settings.DialogFolder(), file.absolutePath());
}

const QByteArray kSimXLimits =
    "schema_version = 1\nserial = 'SimX'\n[limits]\nlower_counts = -1280\nupper_counts = 6400\n";

}  // namespace

class AxisSettingsTest : public QObject {
  Q_OBJECT

 private slots:
  void f2OpensTheWindowFromTheConsolesWindows();
  void wiringGoesOutInTheNextPacket();
  void newMechanicsShowTheLimitsInTheNewUnitAndCountFromTheNextCommand();
  void limitsSetHereRefuseAGoInTheMainWindow_data();
  void limitsSetHereRefuseAGoInTheMainWindow();
  void theAdministratorsBoundIsNeverWidened();
  void aProfileTravelsToAFileAndBack();
  void aBadImportIsRefusedWhole();
  void comingBackToTheMainWindowIsNoActivation();
  void theReferenceButtonWaitsForItsStarter();
};

void AxisSettingsTest::f2OpensTheWindowFromTheConsolesWindows() {
  SettingsConsole c;
  frmAxisSettings& settings = c.OpenWithF2();
  QVERIFY(settings.isVisible());
  QCOMPARE(settings.windowTitle(), QStringLiteral("Axis Settings"));
  QCOMPARE(settings.cmbAxis()->count(), 3);
  QCOMPARE(settings.cmbAxis()->itemText(1), QStringLiteral("Y - SimY"));
  // The designed mechanics as Motor Settings confirmed them.
  QCOMPARE(settings.txtCountsPerRotation()->text(), QStringLiteral("256"));
  QCOMPARE(settings.lblCountsPerMicron()->text(), QStringLiteral("128"));
  QVERIFY(settings.txtUpperLimit()->text().isEmpty());
  QTest::mouseClick(settings.cmdClose(), Qt::LeftButton);
  QVERIFY(!settings.isVisible());

  // From the tuning panel too.
  QTest::mouseClick(c.Main().cmdMoreControls(), Qt::LeftButton);
  c.OpenWithF2(&c.console->Panel());
  QVERIFY(settings.isVisible());
  QVERIFY(!c.console->exit.Ended());
}

void AxisSettingsTest::wiringGoesOutInTheNextPacket() {
  SettingsConsole c;
  frmAxisSettings& settings = c.OpenWithF2();
  c.ChooseAxis(1);
  c.Click(settings.chkWiring(1));  // Reverse Limit Switch
  c.Click(settings.chkWiring(3));  // Cancel When Error
  // Nothing goes out before Apply.
  c.console->Tick();
  QCOMPARE(c.LastCommand(1)->config_bits, 0);
  c.Apply();
  c.console->Tick();
  QCOMPARE(c.LastCommand(1)->config_bits, stage::usb::kRevLimitBit | stage::usb::kCancelOnErrorBit);
  QCOMPARE(c.LastCommand(0)->config_bits, 0);
  QCOMPARE(c.LastCommand(2)->config_bits, 0);
  QVERIFY2(settings.lblMessage()->text().startsWith(QStringLiteral("Applied to axis Y.")),
           qPrintable(settings.lblMessage()->text()));
  // Kept for the end of the run.
  QVERIFY(c.profiles.Confirmed(1)->wiring.reverse_limit_switch);
  c.profiles.SaveAtEnd();
  QVERIFY(QFile(c.folder.filePath(QStringLiteral("SimY.toml"))).exists());
}

void AxisSettingsTest::newMechanicsShowTheLimitsInTheNewUnitAndCountFromTheNextCommand() {
  SettingsConsole c(Profiles::kFolder, kSimXLimits);
  frmAxisSettings& settings = c.OpenWithF2();
  QCOMPARE(settings.txtLowerLimit()->text(), QStringLiteral("-10.00"));
  QCOMPARE(settings.txtUpperLimit()->text(), QStringLiteral("50.00"));
  c.Go(0, QStringLiteral("20"));  // 2560 counts
  LiveConsole::Type(settings.txtPitch(), QStringLiteral("250"));  // 256 counts per micron
  c.Apply();
  QCOMPARE(settings.lblCountsPerMicron()->text(), QStringLiteral("256"));
  // The target box shows the same target in the new unit.
  QCOMPARE(c.Main().Text2(0)->text(), QStringLiteral("10.00"));
  // The same counts, in the new unit.
  QCOMPARE(settings.txtLowerLimit()->text(), QStringLiteral("-5.00"));
  QCOMPARE(settings.txtUpperLimit()->text(), QStringLiteral("25.00"));
  QCOMPARE(c.profiles.Confirmed(0)->limits, (TravelLimits{-1280, 6400}));

  // The next command counts with the new factor, and the limit still holds
  // at 6400 counts: 25 um now.
  c.Go(0, QStringLiteral("10"));
  QCOMPARE(c.LastCommand(0)->target_counts, 2560.0);
  QCOMPARE(c.console->LastControlByte(0) & kGo, kGo);
  c.console->Tick(3);
  QVERIFY(c.Main().Text1(0)->text().endsWith(QStringLiteral(" um")));
  c.Go(0, QStringLiteral("25.01"));
  QCOMPARE(c.Main().lblMessage()->text(),
           QStringLiteral("Target 25.01 um is beyond the upper travel limit of axis X, 25.00 um (6400 counts). "
                          "The previous target is kept."));

  // A text being typed, not yet entered, stays as typed.
  LiveConsole::Type(c.Main().Text2(0), QStringLiteral("7"));
  LiveConsole::Type(settings.txtPitch(), QStringLiteral("500"));
  c.Apply();
  QCOMPARE(settings.lblCountsPerMicron()->text(), QStringLiteral("128"));
  QCOMPARE(c.Main().Text2(0)->text(), QStringLiteral("7"));
}

void AxisSettingsTest::limitsSetHereRefuseAGoInTheMainWindow_data() {
  QTest::addColumn<int>("mode");
  QTest::newRow("profiles on") << static_cast<int>(Profiles::kFolder);
  QTest::newRow("--no-profile: in force, not kept") << static_cast<int>(Profiles::kNoProfileOption);
}

void AxisSettingsTest::limitsSetHereRefuseAGoInTheMainWindow() {
  QFETCH(int, mode);
  SettingsConsole c(static_cast<Profiles>(mode));
  frmAxisSettings& settings = c.OpenWithF2();
  c.ChooseAxis(2);
  LiveConsole::Type(settings.txtUpperLimit(), QStringLiteral("20"));
  // A refused field applies nothing else either.
  LiveConsole::Type(settings.txtLowerLimit(), QStringLiteral("1,000"));
  c.Click(settings.chkWiring(0));
  c.Apply();
  QVERIFY2(settings.lblMessage()->text().contains(QStringLiteral("\"1,000\" is not understood")),
           qPrintable(settings.lblMessage()->text()));
  c.console->Tick();
  QCOMPARE(c.LastCommand(2)->config_bits, 0);
  c.Go(2, QStringLiteral("30"));
  QVERIFY(c.Main().lblMessage()->text().isEmpty());

  LiveConsole::Type(settings.txtLowerLimit(), QString());
  c.Apply();
  QCOMPARE(settings.lblMessage()->text(),
           mode == static_cast<int>(Profiles::kFolder)
               ? QStringLiteral("Applied to axis Z. Kept in the controller's profile at the end of the run.")
               : QStringLiteral("Applied to axis Z. Not kept after this run: this controller has no profile to keep "
                                "it in."));
  c.Go(2, QStringLiteral("20.01"));
  QCOMPARE(c.Main().lblMessage()->text(),
           QStringLiteral("Target 20.01 um is beyond the upper travel limit of axis Z, 20.00 um (2560 counts). "
                          "The previous target is kept."));
  QCOMPARE(c.console->LastControlByte(2) & kGo, 0);
  QCOMPARE(c.Main().Text2(2)->text(), QStringLiteral("30.00"));
  c.Go(2, QStringLiteral("20"));
  QVERIFY(c.Main().lblMessage()->text().isEmpty());
  QCOMPARE(c.LastCommand(2)->target_counts, 2560.0);

  c.profiles.SaveAtEnd();
  const bool saved = QFile(c.folder.filePath(QStringLiteral("SimZ.toml"))).exists();
  QCOMPARE(saved, mode == static_cast<int>(Profiles::kFolder));
}

void AxisSettingsTest::theAdministratorsBoundIsNeverWidened() {
  stage::profile::AdminBounds admin;
  admin.by_serial["SimX"] = TravelLimits{-1280, 6400};
  // With profiles off as well: the bound is the administrator's, not the
  // operator's to switch off.
  for (const Profiles mode : {Profiles::kFolder, Profiles::kNoProfileOption}) {
    SettingsConsole c(mode, {}, admin);
    // No operator limit: the bound holds.
    c.Go(0, QStringLiteral("50.01"));
    QVERIFY(c.Main().lblMessage()->text().startsWith(QStringLiteral("Target 50.01 um is beyond the upper travel limit")));
    frmAxisSettings& settings = c.OpenWithF2();
    QCOMPARE(settings.lblAdminBound()->text(),
             QStringLiteral("Administrator's bounds: lower -10.00 um (-1280 counts), upper 50.00 um (6400 counts). "
                            "Limits may narrow them, never widen them; an empty limit takes the bound."));
    LiveConsole::Type(settings.txtUpperLimit(), QStringLiteral("60"));
    c.Apply();
    QCOMPARE(settings.lblMessage()->text(),
             QStringLiteral("The upper travel limit of axis X, 60.00 um (7680 counts), is above the administrator's "
                            "upper bound, 50.00 um (6400 counts). Nothing was applied."));
    QVERIFY(!c.profiles.Confirmed(0)->limits.upper_counts);
    c.Go(0, QStringLiteral("55"));
    QVERIFY(!c.Main().lblMessage()->text().isEmpty());

    // Narrowed: taken.
    LiveConsole::Type(settings.txtUpperLimit(), QStringLiteral("40"));
    c.Apply();
    QVERIFY(settings.lblMessage()->text().startsWith(QStringLiteral("Applied")));
    c.Go(0, QStringLiteral("45"));
    QVERIFY(c.Main().lblMessage()->text().startsWith(QStringLiteral("Target 45.00 um is beyond the upper travel limit "
                                                                    "of axis X, 40.00 um")));
    // SimY has no bound.
    c.Go(1, QStringLiteral("5000"));
    QVERIFY(c.Main().lblMessage()->text().isEmpty());
  }
}

void AxisSettingsTest::aProfileTravelsToAFileAndBack() {
  SettingsConsole c(Profiles::kFolder,
                    "schema_version = 1\nserial = 'SimX'\nnotes = 'stage A'\n"
                    "[mechanics]\ncounts_per_rotation = 1000\ngearhead_ratio = 4\npitch_um = 2000\n"
                    "[wiring]\nreverse_motor_polarity = true\n"
                    "[tuning]\np = 40\ntorque = 90\n"
                    "[limits]\nupper_counts = 800\n"
                    "[referencing]\nenabled = true\ndirection = 'upper'\nspeed = 700\nback_off_counts = 20\n");
  frmAxisSettings& settings = c.OpenWithF2();
  const QTemporaryDir elsewhere;
  const QString path = elsewhere.filePath(QStringLiteral("stage-a.toml"));
  ChooseFile(settings, "dlgExport", path);
  QVERIFY2(settings.lblMessage()->text().startsWith(QStringLiteral("Exported the profile of axis X (SimX)")),
           qPrintable(settings.lblMessage()->text()));
  QFile file(path);
  QVERIFY(file.open(QIODevice::ReadOnly));
  const stage::profile::ProfileReading exported = stage::profile::ReadProfile(file.readAll().toStdString(), "x");
  QVERIFY(exported.profile);
  QCOMPARE(exported.profile->serial, std::string("SimX"));
  QCOMPARE(exported.profile->notes, std::string("stage A"));
  QCOMPARE(exported.profile->tuning.torque, 90);
  QCOMPARE(exported.profile->limits.upper_counts, std::optional<std::int64_t>(800));

  // Into SimY, chosen as the target.
  c.ChooseAxis(1);
  ChooseFile(settings, "dlgImport", path);
  QVERIFY2(settings.lblMessage()->text().startsWith(QStringLiteral("The profile of SimX from ")),
           qPrintable(settings.lblMessage()->text()));
  QCOMPARE(settings.txtCountsPerRotation()->text(), QStringLiteral("1000"));
  QCOMPARE(settings.txtUpperLimit()->text(), QStringLiteral("400.00"));  // 2 counts per micron
  // Not in force until Apply.
  QCOMPARE(c.console->tables.CountsPerMicron[1], 128.0);
  c.Apply();
  QCOMPARE(c.console->tables.CountsPerMicron[1], 2.0);
  QCOMPARE(c.console->Panel().Slider7(1)->value(), 90);
  QCOMPARE(c.console->Panel().Slider1(1)->value(), 0);  // Speed stays where it was
  const stage::profile::ControllerProfile* simy = c.profiles.Confirmed(1);
  QCOMPARE(simy->serial, std::string("SimY"));
  QCOMPARE(simy->limits.upper_counts, std::optional<std::int64_t>(800));
  QCOMPARE(simy->referencing.speed, 700);
  QCOMPARE(simy->notes, std::string("stage A"));
  c.console->Tick();
  QCOMPARE(c.LastCommand(1)->config_bits, stage::usb::kRevPolarityBit);
  c.Go(1, QStringLiteral("400.5"));
  QVERIFY(c.Main().lblMessage()->text().contains(QStringLiteral("upper travel limit of axis Y, 400.00 um")));
}

void AxisSettingsTest::aBadImportIsRefusedWhole() {
  SettingsConsole c(Profiles::kFolder, kSimXLimits);
  frmAxisSettings& settings = c.OpenWithF2();
  const QTemporaryDir elsewhere;
  const QString path = elsewhere.filePath(QStringLiteral("bad.toml"));
  const QByteArray bad = "schema_version = 1\nserial = 'SimQ'\n[mechanics]\npitch_um = 100\n[limits]\nupper_counts = 'far'\n";
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly));
  file.write(bad);
  file.close();
  ChooseFile(settings, "dlgImport", path);
  QCOMPARE(settings.lblMessage()->text(),
           path + QStringLiteral(" line 6, column 16: limits.upper_counts: expected a whole number, found text. "
                                 "Nothing was imported."));
  // The fields still show what is in force, and Apply takes nothing of it.
  QCOMPARE(settings.txtPitch()->text(), QStringLiteral("500"));
  QCOMPARE(settings.txtUpperLimit()->text(), QStringLiteral("50.00"));
  c.Apply();
  QCOMPARE(c.console->tables.CountsPerMicron[0], 128.0);
  QCOMPARE(c.profiles.Confirmed(0)->limits, (TravelLimits{-1280, 6400}));
  file.open(QIODevice::ReadOnly);
  QCOMPARE(file.readAll(), bad);
}

void AxisSettingsTest::comingBackToTheMainWindowIsNoActivation() {
  SettingsConsole c;
  frmMain& main = c.Main();
  main.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&main));
  c.Go(1, QStringLiteral("12.5"));
  c.console->TypeTarget(1, QStringLiteral("5"));
  c.console->Tick();
  // Nothing else ever clears ActiveBit; cleared here, it shows whether
  // activation ran.
  c.console->tables.ActiveBit[1] = 0;
  frmAxisSettings& settings = c.OpenWithF2();
  LiveConsole::Type(settings.txtUpperLimit(), QStringLiteral("100"));
  c.Apply();
  // Through a file dialog and back.
  const QTemporaryDir elsewhere;
  ChooseFile(settings, "dlgExport", elsewhere.filePath(QStringLiteral("x.toml")));
  QVERIFY(QTest::qWaitForWindowActive(&settings));
  main.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&main));
  QCOMPARE(c.console->tables.ActiveBit[1], std::uint8_t{0});
  QCOMPARE(main.Text2(1)->text(), QStringLiteral("5"));
  QCOMPARE(c.console->tables.TargetCounts[1], 1600.0);
  // The tuning panel still activates, as designed.
  QTest::mouseClick(main.cmdMoreControls(), Qt::LeftButton);
  QVERIFY(QTest::qWaitForWindowActive(&c.console->Panel()));
  main.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&main));
  QCOMPARE(c.console->tables.ActiveBit[1], kActive);
}

void AxisSettingsTest::theReferenceButtonWaitsForItsStarter() {
  SettingsConsole c;
  frmAxisSettings& settings = c.OpenWithF2();
  // The main window hands it the referencing of the axis chosen; without a
  // starter the button does nothing and says so by being disabled.
  QVERIFY(settings.cmdReference()->isEnabled());
  settings.SetReferenceStarter({});
  QVERIFY(!settings.cmdReference()->isEnabled());
  std::vector<stage::AxisIndex> started;
  settings.SetReferenceStarter([&started](stage::AxisIndex axis) { started.push_back(axis); });
  c.ChooseAxis(2);
  QTest::mouseClick(settings.cmdReference(), Qt::LeftButton);
  QCOMPARE(started, std::vector<stage::AxisIndex>{2});
}

STAGE_UI_TEST_MAIN(AxisSettingsTest)
#include "axis_settings_test.moc"
