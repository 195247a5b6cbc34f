// Why this exists: the start-up window decides how many axes the whole run
// has, what each axis's conversion factor is, which wiring bits go to each
// controller and whether the program may go on at all; these tests drive it
// with real mouse and key events on simulated controllers.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/sim/simulated_controllers.h"
#include "tests/core/forwarding_devices.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/command_button.h"
#include "ui/common/control_family.h"
#include "ui/common/program_exit.h"
#include "ui/common/twips.h"
#include "ui/main/frmMain.h"
#include "ui/select/frmSelect.h"

using stage::modKVT_USB;
using stage::sim::CallRecord;
using stage::sim::SimulatedControllers;
using stage::sim::SimulatorConfig;
using stage::ui::FindElement;
using stage::ui::frmSelect;
using stage::ui::TwipsToPixels;

namespace {

using Call = CallRecord::Call;

// Records like the tests' exit, and lets a test look at the world at the
// moment a fatal message would be on screen.
class ObservedExit final : public stage::ui::ProgramExit {
 public:
  void Fatal(QWidget* parent, const QString& message) override {
    if (on_fatal) on_fatal();
    fatal_parent = parent;
    recording.Fatal(parent, message);
  }
  void End(int status) override { recording.End(status); }
  bool Ended() const override { return recording.Ended(); }

  stage::ui::RecordingExit recording;
  std::function<void()> on_fatal;
  QWidget* fatal_parent = nullptr;
};

SimulatorConfig Controllers(std::uint32_t count, std::vector<std::string> product_strings = {}) {
  SimulatorConfig config;
  config.controller_count = count;
  config.product_strings = std::move(product_strings);
  return config;
}

// A console at start-up: fresh axis tables, simulated controllers, an exit
// that records, and the start-up window after its load step (shown and
// active unless the load step ended the program). OK makes a stand-in main
// window and notes which controllers were open at that moment.
struct Console {
  explicit Console(SimulatorConfig config)
      : controller_count(config.controller_count), devices(std::move(config)) {
    window = std::make_unique<frmSelect>(
        stage::ui::ConsoleContext{tables, devices, exit}, [this](stage::ui::ConsoleContext) {
          ++main_windows_made;
          for (std::uint32_t d = 0; d < controller_count; ++d) open_when_main_made.push_back(devices.IsOpen(d));
          auto stand_in = std::make_unique<QWidget>();
          stand_in->resize(100, 50);
          main_window = stand_in.get();
          return stand_in;
        });
    if (!exit.Ended()) {
      window->show();
      window->activateWindow();
      loaded_and_active = QTest::qWaitForWindowActive(window.get());
    }
  }

  template <typename T>
  T* Element(const char* family, int index) const {
    return FindElement<T>(window.get(), QString::fromLatin1(family), index);
  }
  QLineEdit* Field(const char* family, int index) const { return Element<QLineEdit>(family, index); }
  QCheckBox* Check(const char* family, int index) const { return Element<QCheckBox>(family, index); }
  stage::ui::CommandButton* Button(const char* name) const {
    return window->findChild<stage::ui::CommandButton*>(QString::fromLatin1(name));
  }
  QComboBox* DeviceList() const { return window->findChild<QComboBox*>(QStringLiteral("cmbDevice")); }

  // Replaces a field's text the way an operator does: click, select all, type.
  static void Type(QLineEdit* field, const QString& text) {
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    if (text.isEmpty()) {
      QTest::keyClick(field, Qt::Key_Backspace);
    } else {
      QTest::keyClicks(field, text);
    }
  }

  std::vector<Call> CallsMade() const {
    std::vector<Call> calls;
    for (const CallRecord& record : devices.Calls()) calls.push_back(record.call);
    return calls;
  }
  bool Called(Call call) const {
    for (const CallRecord& record : devices.Calls()) {
      if (record.call == call) return true;
    }
    return false;
  }

  std::uint32_t controller_count;
  modKVT_USB tables;
  SimulatedControllers devices;
  ObservedExit exit;
  std::unique_ptr<frmSelect> window;
  bool loaded_and_active = false;
  int main_windows_made = 0;
  std::vector<bool> open_when_main_made;
  QWidget* main_window = nullptr;
};

// The designed message naming the device, then the axis and what else is
// known of the controller.
QString OpenFailureMessage(const QString& device, const QString& controller) {
  return QStringLiteral("Error opening device: ") + device + QStringLiteral(". ") + controller +
         QStringLiteral(" Application is aborting. Reset hardware and try again.");
}

// Simulated controllers plugged into ports: controller k at "1-<k + 2>",
// except those in `unknown`, whose port the library cannot tell.
class PluggedControllers final : public stage::usb::test::ForwardingDevices {
 public:
  PluggedControllers(SimulatedControllers& controllers, std::vector<std::uint32_t> unknown)
      : ForwardingDevices(controllers), unknown_(std::move(unknown)) {}
  std::string DevicePort(std::uint32_t device) const override {
    if (std::find(unknown_.begin(), unknown_.end(), device) != unknown_.end()) return {};
    return "1-" + std::to_string(device + 2);
  }

 private:
  std::vector<std::uint32_t> unknown_;
};

}  // namespace

class FrmSelectTest : public QObject {
  Q_OBJECT

 private slots:
  void geometry_data();
  void geometry();
  void captions_and_defaults();
  void axis_names_data();
  void axis_names();
  void factors_data();
  void factors();
  void enter_recomputes_its_axis_data();
  void enter_recomputes_its_axis();
  void field_acceptance_data();
  void field_acceptance();
  void leaving_a_field_recomputes_its_axis_data();
  void leaving_a_field_recomputes_its_axis();
  void typing_alone_recomputes_nothing();
  void comma_and_point_forms_give_the_factor_ok_uses_data();
  void comma_and_point_forms_give_the_factor_ok_uses();
  void a_number_not_understood_is_refused_data();
  void a_number_not_understood_is_refused();
  void cancel_takes_a_number_not_understood();
  void ok_activation_data();
  void ok_activation();
  void right_button_on_ok_recomputes_without_click();
  void initial_focus_and_tab_order();
  void cancel_ends_without_opening_data();
  void cancel_ends_without_opening();
  void count_failure_data();
  void count_failure();
  void open_failure_of_controller_1_of_3();
  void configuration_bits_from_check_boxes();
  void two_controllers_open_and_hand_over();
  void the_program_hands_over_to_the_real_main_window();
  void product_string_failure_of_one_controller_data();
  void product_string_failure_of_one_controller();
  void a_controller_without_serial_is_named_by_its_port_data();
  void a_controller_without_serial_is_named_by_its_port();
  void a_failure_in_the_main_window_names_axis_serial_and_port();
};

void FrmSelectTest::geometry_data() {
  QTest::addColumn<int>("controllers");
  QTest::addColumn<int>("outer_width_twips");
  QTest::addColumn<double>("button_left_twips");
  // 20 controllers: column offsets beyond what 16 bits hold.
  QTest::newRow("one") << 1 << 4195 << 1550.0;
  QTest::newRow("three") << 3 << 8195 << 3550.0;
  QTest::newRow("twenty") << 20 << 42195 << 20550.0;
}

void FrmSelectTest::geometry() {
  QFETCH(int, controllers);
  QFETCH(int, outer_width_twips);
  QFETCH(double, button_left_twips);
  Console console(Controllers(static_cast<std::uint32_t>(controllers)));
  QVERIFY(console.loaded_and_active);
  const frmSelect& window = *console.window;

  QCOMPARE(console.tables.AxisCount, controllers - 1);
  QCOMPARE(console.tables.CountsPerMicron.size(), static_cast<std::size_t>(controllers));
  // Offscreen windows have no frame: the outer size is the client size.
  QCOMPARE(window.frameGeometry().width(), TwipsToPixels(outer_width_twips));
  QCOMPARE(window.height(), TwipsToPixels(5280));
  QCOMPARE(console.Button("cmdOK")->x(), TwipsToPixels(button_left_twips));
  QCOMPARE(console.Button("cmdCancel")->x(), TwipsToPixels(button_left_twips));
  QCOMPARE(console.Button("cmdOK")->y(), TwipsToPixels(4320));
  QCOMPARE(console.Button("cmdCancel")->y(), TwipsToPixels(4800));

  for (int k = 0; k < controllers; ++k) {
    const int column_left = TwipsToPixels(2040.0 + 2000.0 * k);
    for (const char* family : {"Text1", "Text2", "Text3", "Text4", "Label6", "Check1", "Check2",
                               "Check3", "Check4"}) {
      QWidget* element = console.Element<QWidget>(family, k);
      QVERIFY2(element != nullptr, family);
      QCOMPARE(element->x(), column_left);
      QVERIFY2(element->isVisible(), family);
    }
    QCOMPARE(console.Field("Text3", k)->y(), TwipsToPixels(1800));
    QCOMPARE(console.Check("Check4", k)->y(), TwipsToPixels(3720));
  }
  // The row captions stand once, at the left of column 0.
  for (const char* family : {"Label1", "Label2", "Label3", "Label4", "Label5"}) {
    QVERIFY(console.Element<QLabel>(family, 0)->isVisible());
    for (int k = 1; k < controllers; ++k) QVERIFY(!console.Element<QLabel>(family, k)->isVisible());
  }
  if (controllers == 3) QCOMPARE(console.Field("Text2", 2)->x(), TwipsToPixels(6040));
}

void FrmSelectTest::captions_and_defaults() {
  Console console(Controllers(3, {"KLV-X1", "KLV-Y2", "KLV-Z3"}));
  QVERIFY(console.loaded_and_active);
  QCOMPARE(console.window->windowTitle(), QStringLiteral("Motor Settings"));

  const std::pair<const char*, const char*> row_captions[] = {
      {"Label1", "Device / Axis"},
      {"Label2", "Encoder Counts per Micron"},
      {"Label3", "Encoder Counts per Motor Rotation"},
      {"Label4", "Gearhead Ratio"},
      {"Label5", "Leadscrew Pitch Microns per Rotation"},
  };
  for (const auto& [family, caption] : row_captions) {
    QCOMPARE(console.Element<QLabel>(family, 0)->text(), QString::fromLatin1(caption));
  }
  QCOMPARE(console.Button("cmdOK")->text(), QStringLiteral("OK"));
  QCOMPARE(console.Button("cmdCancel")->text(), QStringLiteral("Cancel"));

  const QStringList products{"KLV-X1", "KLV-Y2", "KLV-Z3"};
  for (int k = 0; k < 3; ++k) {
    QLabel* device = console.Element<QLabel>("Label6", k);
    QCOMPARE(device->text(), products[k]);
    QVERIFY(device->font().bold());
    QCOMPARE(device->font().pointSizeF(), 12.0);
    QCOMPARE(console.Check("Check1", k)->text(), QStringLiteral("Reverse Motor Polarity"));
    QCOMPARE(console.Check("Check2", k)->text(), QStringLiteral("Reverse Limit Switch"));
    QCOMPARE(console.Check("Check3", k)->text(), QStringLiteral("Limit Sw Active on HI"));
    QCOMPARE(console.Check("Check4", k)->text(), QStringLiteral("Cancel When Error"));
    for (const char* check : {"Check1", "Check2", "Check3", "Check4"}) {
      QVERIFY(!console.Check(check, k)->isChecked());
    }
    QCOMPARE(console.Field("Text2", k)->text(), QStringLiteral("256"));
    QCOMPARE(console.Field("Text3", k)->text(), QStringLiteral("250"));
    QCOMPARE(console.Field("Text4", k)->text(), QStringLiteral("500"));
    QLineEdit* factor = console.Field("Text1", k);
    QCOMPARE(factor->text(), QStringLiteral("128"));
    QVERIFY(factor->isReadOnly());
    QCOMPARE(factor->palette().color(QPalette::Base), QColor(227, 227, 227));
    QCOMPARE(console.tables.CountsPerMicron[static_cast<std::size_t>(k)], 128.0);
  }

  // The device list holds every product string, stands below the client
  // area, and is left on the last controller's entry.
  QComboBox* list = console.DeviceList();
  QCOMPARE(list->count(), 3);
  for (int k = 0; k < 3; ++k) QCOMPARE(list->itemText(k), products[k]);
  QCOMPARE(list->currentIndex(), 2);
  QCOMPARE(list->currentText(), QStringLiteral("KLV-Z3"));
  QCOMPARE(list->y(), TwipsToPixels(5880));
  QVERIFY(list->y() >= console.window->height());
}

void FrmSelectTest::axis_names_data() {
  QTest::addColumn<QByteArray>("product");
  QTest::addColumn<QByteArray>("axis_name");
  QTest::newRow("fourth character") << QByteArray("SimX") << QByteArray("X   ");
  QTest::newRow("W whatever follows") << QByteArray("KLVW-330 rev B") << QByteArray("W   ");
  QTest::newRow("three characters") << QByteArray("abc") << QByteArray("    ");
  QTest::newRow("empty") << QByteArray("") << QByteArray("    ");
  QTest::newRow("Latin-1") << QByteArray("\xC4\xD6\xDC\xE9t\xE9") << QByteArray("\xE9   ");
  QTest::newRow("cut to 256") << QByteArray("abcd").append(QByteArray(296, 'e')) << QByteArray("d   ");
}

void FrmSelectTest::axis_names() {
  QFETCH(QByteArray, product);
  QFETCH(QByteArray, axis_name);
  Console console(Controllers(2, {"SimQ", product.toStdString()}));
  QVERIFY(console.loaded_and_active);
  QCOMPARE(QByteArray::fromStdString(console.tables.AxisName[1]), axis_name);
  QCOMPARE(QByteArray::fromStdString(console.tables.AxisName[0]), QByteArray("Q   "));
  // The label and the list show the bytes (at most 256) as Latin-1
  // characters; a blank header names the controller by its number.
  QCOMPARE(console.Element<QLabel>("Label6", 1)->text(),
           product.isEmpty() ? QStringLiteral("device 1") : QString::fromLatin1(product.left(256)));
  QCOMPARE(console.DeviceList()->itemText(1), QString::fromLatin1(product.left(256)));
}

void FrmSelectTest::factors_data() {
  QTest::addColumn<QString>("counts_per_rotation");
  QTest::addColumn<QString>("gearhead");
  QTest::addColumn<QString>("pitch");
  QTest::addColumn<QString>("shown");
  QTest::addColumn<double>("factor");
  QTest::newRow("15 significant digits") << "256" << "250" << "750" << "85.3333333333333" << 256.0 * 250 / 750;
  QTest::newRow("fractional") << "1000" << "3.7" << "2000" << "1.85" << 1000 * 3.7 / 2000;
  QTest::newRow("raw counts") << "1" << "1" << "1" << "1" << 1.0;
}

void FrmSelectTest::factors() {
  QFETCH(QString, counts_per_rotation);
  QFETCH(QString, gearhead);
  QFETCH(QString, pitch);
  QFETCH(QString, shown);
  QFETCH(double, factor);
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  Console::Type(console.Field("Text2", 1), counts_per_rotation);
  Console::Type(console.Field("Text3", 1), gearhead);
  Console::Type(console.Field("Text4", 1), pitch);
  QTest::keyClick(console.Field("Text4", 1), Qt::Key_Return);

  QCOMPARE(console.Field("Text1", 1)->text(), shown);
  QCOMPARE(console.tables.CountsPerMicron[1], factor);
  QCOMPARE(console.Field("Text1", 0)->text(), QStringLiteral("128"));
}

void FrmSelectTest::enter_recomputes_its_axis_data() {
  QTest::addColumn<int>("key");
  QTest::addColumn<int>("modifiers");
  QTest::newRow("main Enter") << int(Qt::Key_Return) << int(Qt::NoModifier);
  QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
  QTest::newRow("shift Enter") << int(Qt::Key_Return) << int(Qt::ShiftModifier);
}

void FrmSelectTest::enter_recomputes_its_axis() {
  QFETCH(int, key);
  QFETCH(int, modifiers);
  Console console(Controllers(1));
  QVERIFY(console.loaded_and_active);
  QLineEdit* pitch = console.Field("Text4", 0);
  Console::Type(pitch, QStringLiteral("400"));
  QTest::keyClick(pitch, static_cast<Qt::Key>(key), Qt::KeyboardModifiers(modifiers));

  QCOMPARE(console.Field("Text1", 0)->text(), QStringLiteral("160"));
  QCOMPARE(console.tables.CountsPerMicron[0], 160.0);
  QCOMPARE(QApplication::focusWidget(), pitch);
}

void FrmSelectTest::field_acceptance_data() {
  QTest::addColumn<QString>("family");
  QTest::addColumn<int>("column");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("shown");
  QTest::addColumn<QString>("factor_shown");
  QTest::newRow("empty gearhead") << "Text3" << 1 << "" << "1" << "0.512";
  QTest::newRow("trailing letters") << "Text2" << 1 << "12abc" << "12" << "6";
  QTest::newRow("zero pitch") << "Text4" << 1 << "0" << "1" << "64000";
  QTest::newRow("decimal comma gearhead") << "Text3" << 1 << "12,5" << "12.5" << "6.4";
  QTest::newRow("decimal comma pitch") << "Text4" << 1 << "0,5" << "0.5" << "128000";
}

void FrmSelectTest::field_acceptance() {
  QFETCH(QString, family);
  QFETCH(int, column);
  QFETCH(QString, typed);
  QFETCH(QString, shown);
  QFETCH(QString, factor_shown);
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  // An edit in column 0, recomputed as the focus leaves it: Enter in column
  // 1 recomputes only its own axis.
  Console::Type(console.Field("Text4", 0), QStringLiteral("400"));

  QLineEdit* field = console.Field(family.toLatin1().constData(), column);
  Console::Type(field, typed);
  QCOMPARE(console.Field("Text1", 0)->text(), QStringLiteral("160"));
  QTest::keyClick(field, Qt::Key_Return);

  QCOMPARE(field->text(), shown);
  QCOMPARE(console.Field("Text1", column)->text(), factor_shown);
  QCOMPARE(QApplication::focusWidget(), field);
  QCOMPARE(console.Field("Text4", 0)->text(), QStringLiteral("400"));
  QCOMPARE(console.Field("Text1", 0)->text(), QStringLiteral("160"));
  QCOMPARE(console.tables.CountsPerMicron[0], 160.0);
}

// The factor shown is the factor OK uses: leaving a field recomputes its
// axis (and only its axis), however the focus goes.
void FrmSelectTest::leaving_a_field_recomputes_its_axis_data() {
  QTest::addColumn<QString>("how");
  QTest::newRow("Tab") << "Tab";
  QTest::newRow("Backtab") << "Backtab";
  QTest::newRow("click into column 1") << "click field";
  QTest::newRow("click on a check box") << "click check";
}

void FrmSelectTest::leaving_a_field_recomputes_its_axis() {
  QFETCH(QString, how);
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  QLineEdit* pitch = console.Field("Text4", 0);
  Console::Type(pitch, QStringLiteral(" 4 00"));

  if (how == QLatin1String("Tab")) {
    QTest::keyClick(pitch, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), console.Field("Text3", 0));
  } else if (how == QLatin1String("Backtab")) {
    QTest::keyClick(pitch, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(QApplication::focusWidget(), console.Check("Check1", 0));
  } else if (how == QLatin1String("click field")) {
    QTest::mouseClick(console.Field("Text2", 1), Qt::LeftButton);
  } else {
    QCheckBox* check = console.Check("Check2", 0);
    QTest::mouseClick(check, Qt::LeftButton, {}, QPoint(6, check->height() / 2));
    QVERIFY(check->isChecked());
  }

  QCOMPARE(pitch->text(), QStringLiteral("400"));
  QCOMPARE(console.Field("Text1", 0)->text(), QStringLiteral("160"));
  QCOMPARE(console.tables.CountsPerMicron[0], 160.0);
  QCOMPARE(console.Field("Text1", 1)->text(), QStringLiteral("128"));
  QCOMPARE(console.tables.CountsPerMicron[1], 128.0);
}

void FrmSelectTest::typing_alone_recomputes_nothing() {
  Console console(Controllers(1));
  QVERIFY(console.loaded_and_active);
  QLineEdit* pitch = console.Field("Text4", 0);
  QLineEdit* factor = console.Field("Text1", 0);
  Console::Type(pitch, QStringLiteral(" 4 00"));
  QCOMPARE(pitch->text(), QStringLiteral(" 4 00"));
  QCOMPARE(factor->text(), QStringLiteral("128"));
  QCOMPARE(console.tables.CountsPerMicron[0], 128.0);

  // Enter in the read-only factor field does nothing of its own.
  QTest::mouseClick(factor, Qt::LeftButton);
  QCOMPARE(factor->text(), QStringLiteral("160"));  // the pitch was left
  QTest::keyClick(factor, Qt::Key_Return);
  QTest::keyClick(factor, Qt::Key_Enter, Qt::KeypadModifier);
  QCOMPARE(factor->text(), QStringLiteral("160"));
  QCOMPARE(QApplication::focusWidget(), factor);
}

// The same numbers in comma and point forms, however the field is left and
// OK reached: the factor OK opens the controllers with is the one shown.
void FrmSelectTest::comma_and_point_forms_give_the_factor_ok_uses_data() {
  QTest::addColumn<QString>("family");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("how");
  QTest::addColumn<QString>("shown");
  QTest::addColumn<double>("factor");
  QTest::addColumn<QString>("factor_shown");
  const QStringList hows{"Enter, mouse on OK", "Tab, keyboard on OK", "mouse on OK"};
  for (const QString& how : hows) {
    const auto row = [&how](const char* name) -> QTestData& {
      return QTest::newRow(qPrintable(QString::fromLatin1(name) + QStringLiteral(", ") + how));
    };
    row("gearhead 12,5") << "Text3" << "12,5" << how << "12.5" << 6.4 << "6.4";
    row("gearhead 12.5") << "Text3" << "12.5" << how << "12.5" << 6.4 << "6.4";
    row("gearhead 2,5") << "Text3" << "2,5" << how << "2.5" << 1.28 << "1.28";
    row("pitch 0,25") << "Text4" << "0,25" << how << "0.25" << 256000.0 << "256000";
    row("pitch 0,250") << "Text4" << "0,250" << how << "0.25" << 256000.0 << "256000";
    row("pitch 1 000,5") << "Text4" << "1 000,5" << how << "1000.5" << 256.0 * 250 / 1000.5 << "63.968015992004";
    row("counts 256,5") << "Text2" << "256,5" << how << "256.5" << 128.0 << "128";
    row("counts 12abc") << "Text2" << "12abc" << how << "12" << 6.0 << "6";
  }
}

void FrmSelectTest::comma_and_point_forms_give_the_factor_ok_uses() {
  QFETCH(QString, family);
  QFETCH(QString, typed);
  QFETCH(QString, how);
  QFETCH(QString, shown);
  QFETCH(double, factor);
  QFETCH(QString, factor_shown);
  Console console(Controllers(1));
  QVERIFY(console.loaded_and_active);
  QLineEdit* field = console.Field(family.toLatin1().constData(), 0);
  stage::ui::CommandButton* ok = console.Button("cmdOK");
  QSignalSpy clicks(ok, &QPushButton::clicked);
  Console::Type(field, typed);

  if (how.startsWith(QLatin1String("Enter"))) QTest::keyClick(field, Qt::Key_Return);
  if (how.startsWith(QLatin1String("Tab"))) {
    // Through the rest of the column and Cancel to OK.
    for (int step = 0; step < 8 && QApplication::focusWidget() != ok; ++step) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QVERIFY(console.window->findChild<QMessageBox*>() == nullptr);
    }
    QCOMPARE(QApplication::focusWidget(), ok);
    QCOMPARE(field->text(), shown);
    QCOMPARE(console.Field("Text1", 0)->text(), factor_shown);
    QTest::keyClick(ok, Qt::Key_Space);
  } else {
    QTest::mouseClick(ok, Qt::LeftButton);
  }

  QCOMPARE(clicks.count(), 1);
  QCOMPARE(field->text(), shown);
  QCOMPARE(console.Field("Text1", 0)->text(), factor_shown);
  QCOMPARE(console.tables.CountsPerMicron[0], factor);
  QVERIFY(console.devices.IsOpen(0));
  QCOMPARE(console.main_windows_made, 1);
}

// A comma that may separate thousands is taken as no number at all: a box
// over the window says which number of which field, the field keeps its text
// and gets the focus back, and OK opens nothing until it is corrected.
void FrmSelectTest::a_number_not_understood_is_refused_data() {
  QTest::addColumn<QString>("family");
  QTest::addColumn<QString>("typed");
  QTest::addColumn<QString>("how");
  QTest::addColumn<QString>("caption");
  QTest::addColumn<int>("ok_clicks");  // the keyboard clicks OK, and the click is refused
  QTest::newRow("gearhead 12,500, Enter") << "Text3" << "12,500" << "Enter" << "Gearhead Ratio" << 0;
  QTest::newRow("gearhead 1,000, Tab") << "Text3" << "1,000" << "Tab" << "Gearhead Ratio" << 0;
  QTest::newRow("pitch 1.234,5, Backtab") << "Text4" << "1.234,5" << "Backtab"
                                          << "Leadscrew Pitch Microns per Rotation" << 0;
  QTest::newRow("counts 4,096, mouse on OK") << "Text2" << "4,096" << "mouse on OK"
                                             << "Encoder Counts per Motor Rotation" << 0;
  QTest::newRow("counts 4,096, right button on OK") << "Text2" << "4,096" << "right button on OK"
                                                    << "Encoder Counts per Motor Rotation" << 0;
  QTest::newRow("pitch 1,5,3, keyboard on OK") << "Text4" << "1,5,3" << "keyboard on OK"
                                               << "Leadscrew Pitch Microns per Rotation" << 1;
}

void FrmSelectTest::a_number_not_understood_is_refused() {
  QFETCH(QString, family);
  QFETCH(QString, typed);
  QFETCH(QString, how);
  QFETCH(QString, caption);
  QFETCH(int, ok_clicks);
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  QLineEdit* field = console.Field(family.toLatin1().constData(), 1);
  stage::ui::CommandButton* ok = console.Button("cmdOK");
  QSignalSpy clicks(ok, &QPushButton::clicked);
  Console::Type(field, typed);

  if (how == QLatin1String("Enter")) QTest::keyClick(field, Qt::Key_Return);
  if (how == QLatin1String("Tab")) QTest::keyClick(field, Qt::Key_Tab);
  if (how == QLatin1String("Backtab")) QTest::keyClick(field, Qt::Key_Backtab, Qt::ShiftModifier);
  if (how == QLatin1String("mouse on OK")) QTest::mouseClick(ok, Qt::LeftButton);
  if (how == QLatin1String("right button on OK")) QTest::mouseClick(ok, Qt::RightButton);
  if (how == QLatin1String("keyboard on OK")) {
    ok->setFocus();
    QTest::keyClick(ok, Qt::Key_Space);
  }

  auto* box = console.window->findChild<QMessageBox*>();
  QVERIFY(box != nullptr);
  QTRY_VERIFY(box->isVisible());
  QCOMPARE(box->text(), caption + QStringLiteral(" of axis Y: ") + typed +
                            QStringLiteral(" is not understood: a comma there could separate thousands or mark "
                                           "decimals. Type a point for decimals and no thousands separator."));
  QCOMPARE(box->textFormat(), Qt::PlainText);
  QCOMPARE(field->text(), typed);
  QCOMPARE(console.Field("Text1", 1)->text(), QStringLiteral("128"));
  QCOMPARE(console.tables.CountsPerMicron[1], 128.0);
  QCOMPARE(clicks.count(), ok_clicks);
  QVERIFY(!console.Called(Call::kSetTimeouts));
  QVERIFY(!console.Called(Call::kOpen));
  QCOMPARE(console.main_windows_made, 0);
  QVERIFY(!console.exit.Ended());

  // Closed, it gives the field the focus back; one box at a time.
  QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
  QVERIFY(QTest::qWaitForWindowActive(console.window.get()));
  QTRY_COMPARE(QApplication::focusWidget(), field);
  QTRY_VERIFY(console.window->findChild<QMessageBox*>() == nullptr);

  // Corrected, it is taken, and OK goes on.
  Console::Type(field, QStringLiteral("12,5"));
  QTest::keyClick(field, Qt::Key_Tab);
  QVERIFY(console.window->findChild<QMessageBox*>() == nullptr);
  QVERIFY(console.tables.CountsPerMicron[1] != 128.0);
  QTest::mouseClick(ok, Qt::LeftButton);
  QCOMPARE(clicks.count(), ok_clicks + 1);
  QVERIFY(console.devices.IsOpen(1));
}

void FrmSelectTest::cancel_takes_a_number_not_understood() {
  Console console(Controllers(1));
  QVERIFY(console.loaded_and_active);
  Console::Type(console.Field("Text3", 0), QStringLiteral("12,500"));

  QTest::mouseClick(console.Button("cmdCancel"), Qt::LeftButton);

  QVERIFY(console.window->findChild<QMessageBox*>() == nullptr);
  QVERIFY(console.exit.Ended());
  QCOMPARE(console.exit.recording.Status(), 0);
  QVERIFY(!console.Called(Call::kOpen));
}

void FrmSelectTest::ok_activation_data() {
  QTest::addColumn<QString>("how");
  QTest::addColumn<double>("factor");
  QTest::addColumn<QString>("factor_shown");
  // The mouse press recomputes every axis before the click; the keyboard
  // reaches OK only by leaving the field, which recomputed its axis.
  QTest::newRow("mouse") << "mouse" << 160.0 << "160";
  QTest::newRow("Space") << "space" << 160.0 << "160";
  QTest::newRow("Enter") << "enter" << 160.0 << "160";
}

void FrmSelectTest::ok_activation() {
  QFETCH(QString, how);
  QFETCH(double, factor);
  QFETCH(QString, factor_shown);
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  Console::Type(console.Field("Text4", 1), QStringLiteral("400"));
  stage::ui::CommandButton* ok = console.Button("cmdOK");
  QSignalSpy clicks(ok, &QPushButton::clicked);

  if (how == QLatin1String("mouse")) {
    QTest::mouseClick(ok, Qt::LeftButton);
  } else {
    // Tab from the last column's factor field to Cancel, then OK.
    QTest::mouseClick(console.Field("Text1", 1), Qt::LeftButton);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), ok);
    QTest::keyClick(ok, how == QLatin1String("space") ? Qt::Key_Space : Qt::Key_Return);
  }

  QCOMPARE(clicks.count(), 1);
  QCOMPARE(console.tables.CountsPerMicron[1], factor);
  QCOMPARE(console.Field("Text1", 1)->text(), factor_shown);
  QCOMPARE(console.Field("Text4", 1)->text(), QStringLiteral("400"));
  QCOMPARE(console.tables.CountsPerMicron[0], 128.0);
  QVERIFY(console.devices.IsOpen(0));
  QVERIFY(console.devices.IsOpen(1));
}

void FrmSelectTest::right_button_on_ok_recomputes_without_click() {
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  Console::Type(console.Field("Text4", 0), QStringLiteral("400"));
  Console::Type(console.Field("Text3", 1), QStringLiteral("500"));
  stage::ui::CommandButton* ok = console.Button("cmdOK");
  QSignalSpy clicks(ok, &QPushButton::clicked);

  QTest::mouseClick(ok, Qt::RightButton);

  QCOMPARE(console.Field("Text1", 0)->text(), QStringLiteral("160"));
  QCOMPARE(console.Field("Text1", 1)->text(), QStringLiteral("256"));
  QCOMPARE(clicks.count(), 0);
  QVERIFY(!console.Called(Call::kSetTimeouts));
  QVERIFY(!console.Called(Call::kOpen));
  QVERIFY(console.window->isVisible());
  QCOMPARE(console.main_windows_made, 0);
}

void FrmSelectTest::initial_focus_and_tab_order() {
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  QCOMPARE(QApplication::focusWidget(), console.Check("Check4", 0));

  std::vector<QWidget*> expected;
  for (int k = 0; k < 2; ++k) {
    for (const char* family : {"Check4", "Check3", "Check2", "Check1"}) expected.push_back(console.Check(family, k));
    for (const char* family : {"Text4", "Text3", "Text2", "Text1"}) expected.push_back(console.Field(family, k));
  }
  expected.push_back(console.Button("cmdCancel"));
  expected.push_back(console.Button("cmdOK"));
  expected.push_back(console.DeviceList());
  for (std::size_t step = 1; step < expected.size(); ++step) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QVERIFY2(QApplication::focusWidget() == expected[step], qPrintable(QStringLiteral("step %1").arg(step)));
  }
}

void FrmSelectTest::cancel_ends_without_opening_data() {
  QTest::addColumn<bool>("title_bar");
  QTest::newRow("Cancel") << false;
  QTest::newRow("title-bar close") << true;
}

void FrmSelectTest::cancel_ends_without_opening() {
  QFETCH(bool, title_bar);
  Console console(Controllers(3));
  QVERIFY(console.loaded_and_active);

  if (title_bar) {
    console.window->close();
  } else {
    QTest::mouseClick(console.Button("cmdCancel"), Qt::LeftButton);
  }

  QVERIFY(console.exit.Ended());
  QCOMPARE(console.exit.recording.Status(), 0);
  QVERIFY(console.exit.recording.FatalMessages().isEmpty());
  const std::vector<Call> start_up{Call::kGetNumDevices, Call::kGetProductString, Call::kGetProductString,
                                   Call::kGetProductString};
  QCOMPARE(console.CallsMade(), start_up);
  QCOMPARE(console.main_windows_made, 0);
}

void FrmSelectTest::count_failure_data() {
  QTest::addColumn<bool>("zero_count");
  QTest::newRow("count call fails") << false;
  QTest::newRow("count of 0") << true;
}

void FrmSelectTest::count_failure() {
  QFETCH(bool, zero_count);
  SimulatorConfig config = Controllers(3);
  if (zero_count) {
    config.reported_count = 0;
  } else {
    config.count_status = stage::usb::SI_DEVICE_NOT_FOUND;
  }
  Console console(std::move(config));

  QVERIFY(console.exit.Ended());
  // The designed sentence, then what to try next.
  QCOMPARE(console.exit.recording.FatalMessages().size(), 1);
  const QStringList lines = console.exit.recording.FatalMessages().front().split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 2);
  QCOMPARE(lines[0], QStringLiteral("Error finding USB device. Aborting application."));
  for (const char* next : {"plugged in and switched on", "stage-console --list-devices", "--usb-id VID:PID",
                           "stage-console --simulate 3"}) {
    QVERIFY2(lines[1].contains(QLatin1String(next)), next);
  }
  QVERIFY(console.exit.recording.Status() != 0);
  // The window was never shown: the box goes to the middle of the screen,
  // not where that window would have stood.
  QCOMPARE(console.exit.fatal_parent, nullptr);
  const std::unique_ptr<QMessageBox> box =
      stage::ui::MakeFatalBox(nullptr, console.exit.recording.FatalMessages().front());
  box->show();
  QVERIFY(QTest::qWaitForWindowExposed(box.get()));
  const QPoint screen_centre = box->screen()->availableGeometry().center();
  QVERIFY2((box->frameGeometry().center() - screen_centre).manhattanLength() <= 4,
           qPrintable(QStringLiteral("box at %1,%2")
                          .arg(box->frameGeometry().center().x())
                          .arg(box->frameGeometry().center().y())));
  QVERIFY(!console.window->isVisible());
  QCOMPARE(console.tables.AxisCount, console.tables.DeviceCount - 1);
  QVERIFY(!console.tables.TablesAllocated());
  QCOMPARE(console.DeviceList()->currentIndex(), -1);
  QCOMPARE(console.CallsMade(), std::vector<Call>{Call::kGetNumDevices});
}

void FrmSelectTest::open_failure_of_controller_1_of_3() {
  SimulatorConfig config = Controllers(3, {"KLV-X1", "KLV-Y2", "KLV-Z3"});
  config.open_failures.push_back({1, stage::usb::SI_DEVICE_NOT_FOUND});
  Console console(std::move(config));
  QVERIFY(console.loaded_and_active);
  std::optional<bool> controller0_open_at_message;
  bool main_window_shown_at_message = false;
  console.exit.on_fatal = [&] {
    controller0_open_at_message = console.devices.IsOpen(0);
    main_window_shown_at_message = console.main_window != nullptr && console.main_window->isVisible();
  };

  QTest::mouseClick(console.Button("cmdOK"), Qt::LeftButton);

  // The message names the controller that failed, not the list's entry.
  QCOMPARE(console.exit.recording.FatalMessages(),
           QList<QString>{OpenFailureMessage(QStringLiteral("KLV-Y2"), QStringLiteral("Axis -."))});
  QVERIFY(console.exit.recording.Status() != 0);
  QCOMPARE(controller0_open_at_message, std::optional<bool>(false));
  QVERIFY(main_window_shown_at_message);
  QVERIFY(!console.window->isVisible());
  const std::vector<CallRecord>& calls = console.devices.Calls();
  QCOMPARE(calls.back().call, Call::kClose);
  QCOMPARE(calls.back().device, 0u);
  for (const CallRecord& call : calls) QVERIFY(!(call.call == Call::kOpen && call.device == 2));
}

void FrmSelectTest::configuration_bits_from_check_boxes() {
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);
  const auto tick = [](QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2)); };
  tick(console.Check("Check1", 0));  // Reverse Motor Polarity
  tick(console.Check("Check4", 0));  // Cancel When Error
  tick(console.Check("Check3", 1));  // Limit Sw Active on HI
  QVERIFY(console.Check("Check1", 0)->isChecked());
  QVERIFY(console.Check("Check3", 1)->isChecked());

  QTest::mouseClick(console.Button("cmdOK"), Qt::LeftButton);

  const modKVT_USB& t = console.tables;
  using Bits = std::vector<int>;
  QCOMPARE((Bits{t.RevPolarityBit[0], t.RevLimitBit[0], t.LimitActiveHiBit[0], t.CancelOnErrorBit[0]}),
           (Bits{4, 0, 0, 8}));
  QCOMPARE((Bits{t.RevPolarityBit[1], t.RevLimitBit[1], t.LimitActiveHiBit[1], t.CancelOnErrorBit[1]}),
           (Bits{0, 0, 1, 0}));
  QCOMPARE(t.ConfigBits(0), 12);
  QCOMPARE(t.ConfigBits(1), 1);
}

void FrmSelectTest::two_controllers_open_and_hand_over() {
  Console console(Controllers(2));
  QVERIFY(console.loaded_and_active);

  QTest::mouseClick(console.Button("cmdOK"), Qt::LeftButton);

  const modKVT_USB& t = console.tables;
  QVERIFY(t.DeviceHandle[0] != 0);
  QVERIFY(t.DeviceHandle[1] != 0);
  QVERIFY(t.DeviceHandle[0] != t.DeviceHandle[1]);
  QVERIFY(console.devices.IsOpen(0));
  QVERIFY(console.devices.IsOpen(1));
  QCOMPARE(console.devices.ReadTimeoutMs(), 10000u);
  const std::vector<Call> expected{Call::kGetNumDevices, Call::kGetProductString, Call::kGetProductString,
                                   Call::kSetTimeouts, Call::kOpen, Call::kOpen};
  QCOMPARE(console.CallsMade(), expected);
  QCOMPARE(t.LastUsbStatus, std::int16_t{0});

  // The main window is made once, on the first pass, when only controller 0
  // is open.
  QCOMPARE(console.main_windows_made, 1);
  QCOMPARE(console.open_when_main_made, (std::vector<bool>{true, false}));
  QVERIFY(console.main_window->isVisible());
  QVERIFY(!console.window->isVisible());
  QVERIFY(!console.exit.Ended());
}

void FrmSelectTest::the_program_hands_over_to_the_real_main_window() {
  modKVT_USB tables;
  SimulatedControllers devices(Controllers(2));
  stage::ui::RecordingExit exit;
  frmSelect window(stage::ui::ConsoleContext{tables, devices, exit});
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));

  QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);

  auto* main_window = dynamic_cast<stage::ui::frmMain*>(window.MainWindow());
  QVERIFY(main_window != nullptr);
  QVERIFY(main_window->isVisible());
  QVERIFY(main_window->Constructed());
  QCOMPARE(main_window->RowCount(), 2);
  QVERIFY(!window.isVisible());
  QVERIFY(!exit.Ended());
}

// A product-string call that fails for one controller only: its column and
// list entry show what the buffer still holds, the previous controller's
// string, or nothing for controller 0; the others are whole.
void FrmSelectTest::product_string_failure_of_one_controller_data() {
  QTest::addColumn<int>("failing");
  QTest::addColumn<QStringList>("shown");
  QTest::addColumn<QString>("names");
  QTest::newRow("controller 0") << 0 << QStringList{"", "SimY", "SimZ"} << QStringLiteral(" YZ");
  QTest::newRow("controller 1") << 1 << QStringList{"SimX", "SimX", "SimZ"} << QStringLiteral("XXZ");
  QTest::newRow("controller 2") << 2 << QStringList{"SimX", "SimY", "SimY"} << QStringLiteral("XYY");
}

void FrmSelectTest::product_string_failure_of_one_controller() {
  QFETCH(int, failing);
  QFETCH(QStringList, shown);
  QFETCH(QString, names);
  SimulatorConfig config = Controllers(3);
  config.product_string_failures = {static_cast<std::uint32_t>(failing)};
  Console console(std::move(config));
  QVERIFY(console.loaded_and_active);
  for (int k = 0; k < 3; ++k) {
    // A blank header would leave the column nameless: the device number.
    QCOMPARE(console.Element<QLabel>("Label6", k)->text(),
             shown[k].isEmpty() ? QStringLiteral("device %1").arg(k) : shown[k]);
    QCOMPARE(console.DeviceList()->itemText(k), shown[k]);
    QCOMPARE(console.tables.AxisName[static_cast<std::size_t>(k)], std::string(1, names[k].toLatin1()) + "   ");
  }
}

// A controller this user may not open cannot be asked for its serial
// number: its column header and its open failure name it by its port, or by
// its device number when the library cannot tell the port either.
void FrmSelectTest::a_controller_without_serial_is_named_by_its_port_data() {
  QTest::addColumn<int>("failing");
  QTest::addColumn<QString>("message");
  QTest::newRow("serial known") << 0
                                << OpenFailureMessage(QStringLiteral("KVTX01"), QStringLiteral("Axis X, port 1-2."));
  QTest::newRow("serial blank") << 1 << OpenFailureMessage(QStringLiteral("port 1-3"), QStringLiteral("Axis 1."));
  QTest::newRow("serial and port unknown")
      << 2 << OpenFailureMessage(QStringLiteral("device 2"), QStringLiteral("Axis 2."));
}

void FrmSelectTest::a_controller_without_serial_is_named_by_its_port() {
  QFETCH(int, failing);
  QFETCH(QString, message);
  SimulatorConfig config = Controllers(3, {"KVTX01", "", ""});
  config.open_failures.push_back({static_cast<std::uint32_t>(failing), stage::usb::SI_DEVICE_IO_FAILED});
  SimulatedControllers controllers(std::move(config));
  PluggedControllers devices(controllers, {2});
  modKVT_USB tables;
  ObservedExit exit;
  frmSelect window(stage::ui::ConsoleContext{tables, devices, exit},
                   [](stage::ui::ConsoleContext) { return std::make_unique<QWidget>(); });
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  const QStringList headers{QStringLiteral("KVTX01"), QStringLiteral("port 1-3"), QStringLiteral("device 2")};
  for (int k = 0; k < 3; ++k) QCOMPARE(FindElement<QLabel>(&window, QStringLiteral("Label6"), k)->text(), headers[k]);
  QCOMPARE(tables.DevicePort, (std::vector<std::string>{"1-2", "1-3", ""}));

  QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);

  QCOMPARE(exit.recording.FatalMessages(), QList<QString>{message});
}

// After OK, a failed transfer names the axis, the serial number and the port
// of the controller that failed, and a read failure says "reading".
void FrmSelectTest::a_failure_in_the_main_window_names_axis_serial_and_port() {
  SimulatorConfig config = Controllers(2, {"KVTX01", "KVTY02"});
  stage::sim::TransferFault fault;
  fault.op = stage::sim::TransferOp::kRead;
  fault.device = 1;
  fault.kind = stage::sim::TransferFault::Kind::kShortCount;
  fault.count = 5;
  config.transfer_faults.push_back(fault);
  SimulatedControllers controllers(std::move(config));
  PluggedControllers devices(controllers, {});
  modKVT_USB tables;
  ObservedExit exit;
  frmSelect window(stage::ui::ConsoleContext{tables, devices, exit});
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
  auto* main_window = dynamic_cast<stage::ui::frmMain*>(window.MainWindow());
  QVERIFY(main_window != nullptr);
  main_window->Timer1().stop();

  main_window->Tick();

  QCOMPARE(
      exit.recording.FatalMessages(),
      QList<QString>{QStringLiteral("Error reading from USB. Read  5 of  12 bytes. Axis Y, serial KVTY02, port 1-3. "
                                    "Application is aborting. Reset hardware and try again.")});
}

STAGE_UI_TEST_MAIN(FrmSelectTest)
#include "frmSelect_test.moc"
