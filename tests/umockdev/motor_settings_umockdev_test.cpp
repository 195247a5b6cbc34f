// Why: the start-up window is where the operator first meets the USB
// backend: the columns must carry the controllers' serial numbers in bus
// order, and a controller this user may not open must say what mends it.
// The real libusb path on emulated controllers, under umockdev's preload.
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "stage/axis/modKVT_USB.h"
#include "stage/usb/libusb_transport.h"
#include "stage/usb/native_usb.h"
#include "tests/ui/ui_test_main.h"
#include "tests/umockdev/emulated_bus.h"
#include "ui/common/control_family.h"
#include "ui/common/program_exit.h"
#include "ui/select/frmSelect.h"

using stage::test::EmulatedBus;
using stage::test::EmulatedController;

namespace {

// Root opens any file whatever its mode. While this lives, the process
// meets file modes like any other user (a no-op for one).
class WithoutFileOverride {
 public:
  WithoutFileOverride() {
    if (geteuid() != 0) return;
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    syscall(SYS_capget, &header_, saved_);
    __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
    reduced[0].effective &= ~((1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH));
    dropped_ = syscall(SYS_capset, &header_, reduced) == 0;
  }
  ~WithoutFileOverride() {
    if (dropped_) syscall(SYS_capset, &header_, saved_);
  }
  WithoutFileOverride(const WithoutFileOverride&) = delete;
  WithoutFileOverride& operator=(const WithoutFileOverride&) = delete;

 private:
  __user_cap_header_struct header_{};
  __user_cap_data_struct saved_[2]{};
  bool dropped_ = false;
};

// The start-up window on the native backend over an emulated bus; OK makes
// a stand-in main window.
struct Console {
  explicit Console(std::vector<EmulatedController> controllers)
      : bus(std::move(controllers)),
        devices(std::make_unique<stage::usb::LibusbTransport>(), std::vector<stage::usb::UsbId>{}),
        window(stage::ui::ConsoleContext{tables, devices, exit},
               [](stage::ui::ConsoleContext) { return std::make_unique<QWidget>(); }) {}

  QString Label(int column) const {
    return stage::ui::FindElement<QLabel>(&window, QStringLiteral("Label6"), column)->text();
  }

  EmulatedBus bus;  // before libusb starts
  stage::modKVT_USB tables;
  stage::usb::NativeUsb devices;
  stage::ui::RecordingExit exit;
  stage::ui::frmSelect window;
};

}  // namespace

class MotorSettingsOnUsbTest : public QObject {
  Q_OBJECT

 private slots:
  void columns_carry_the_serial_numbers_in_bus_order();
  void a_controller_this_user_may_not_open_names_the_access_rule();
  void a_controller_whose_serial_this_user_may_not_read_is_named_by_its_port();
};

void MotorSettingsOnUsbTest::columns_carry_the_serial_numbers_in_bus_order() {
  Console console({{.serial = "KVT-Z", .bus = 2, .port_path = {1}},
                   {.serial = "KVT-Y", .port_path = {3}},
                   {.serial = "KVT-X", .port_path = {1}}});
  QVERIFY(!console.exit.Ended());
  QCOMPARE(console.Label(0), QStringLiteral("KVT-X"));
  QCOMPARE(console.Label(1), QStringLiteral("KVT-Y"));
  QCOMPARE(console.Label(2), QStringLiteral("KVT-Z"));
}

void MotorSettingsOnUsbTest::a_controller_this_user_may_not_open_names_the_access_rule() {
  Console console({{.serial = "KVT-X", .port_path = {1}}, {.serial = "KVT-Y", .port_path = {2}, .locked = true}});
  QVERIFY(!console.exit.Ended());
  console.window.show();
  {
    const WithoutFileOverride as_a_user;
    QTest::mouseClick(console.window.findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
  }
  QCOMPARE(console.exit.FatalMessages().size(), 1);
  const QStringList lines = console.exit.FatalMessages().front().split(QLatin1Char('\n'));
  QCOMPARE(lines.size(), 2);
  QVERIFY2(lines[0].startsWith(QStringLiteral("Error opening device: KVT-Y. Axis -, port 1-2. ")), qPrintable(lines[0]));
  QVERIFY2(lines[1].contains(QStringLiteral("70-stage-console.rules")), qPrintable(lines[1]));
  // Controller 0, opened first, was given back before the message.
  QVERIFY(!console.bus.Claimed(0));
  QVERIFY(console.bus.Events(0).back() == "attach 0");
}

// Counted as a user who may not open it, the controller cannot be asked for
// its serial number: its column and its open failure name its port rather
// than standing blank ("Error opening device: .").
void MotorSettingsOnUsbTest::a_controller_whose_serial_this_user_may_not_read_is_named_by_its_port() {
  const WithoutFileOverride as_a_user;
  Console console({{.serial = "KVT-X", .port_path = {1}}, {.serial = "KVT-Y", .port_path = {2}, .locked = true}});
  QVERIFY(!console.exit.Ended());
  QCOMPARE(console.Label(0), QStringLiteral("KVT-X"));
  QCOMPARE(console.Label(1), QStringLiteral("port 1-2"));
  console.window.show();
  QTest::mouseClick(console.window.findChild<QPushButton*>(QStringLiteral("cmdOK")), Qt::LeftButton);
  QCOMPARE(console.exit.FatalMessages().size(), 1);
  const QString first_line = console.exit.FatalMessages().front().section(QLatin1Char('\n'), 0, 0);
  QCOMPARE(first_line,
           QStringLiteral("Error opening device: port 1-2. Axis 1. Application is aborting. Reset hardware and try again."));
}

STAGE_UI_TEST_MAIN(MotorSettingsOnUsbTest)
#include "motor_settings_umockdev_test.moc"
