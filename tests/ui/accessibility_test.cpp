// Why this exists: a screen reader reaches every control of every row, and
// the rows look alike; each control must say which axis it belongs to, the
// lamps must say what they show, and a tuning slider's value must be seen
// and heard while the operator moves it, without any control moving. Read
// through Qt's accessibility interface, as assistive technology reads it.
#include <QAccessible>
#include <QAccessibleValueInterface>
#include <QLabel>
#include <QTest>

#include "tests/ui/live_console.h"
#include "tests/ui/slider_handle.h"
#include "tests/ui/start_up_window.h"
#include "tests/ui/ui_test_main.h"
#include "ui/common/fonts.h"

using stage::AxisIndex;
using stage::sim::TransferFault;
using stage::sim::TransferOp;
using namespace stage::ui;
using namespace stage::ui::testing;

namespace {

QString Text(QWidget* control, QAccessible::Text what) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
  return accessible != nullptr ? accessible->text(what) : QStringLiteral("<none>");
}

QWidget* Control(LiveConsole& console, const QString& name, AxisIndex axis) {
  QWidget* control = FindElement<QWidget>(&console.Main(), name, axis);
  return control != nullptr ? control : FindElement<QWidget>(&console.Panel(), name, axis);
}

// Where every control of the panel stands.
QList<QRect> Layout(const QWidget& window) {
  QList<QRect> rects;
  for (const QWidget* child : window.findChildren<QWidget*>()) {
    if (!child->isWindow()) rects.append(child->geometry());
  }
  return rects;
}

}  // namespace

class AccessibilityTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { InstallFontSubstitutions(); }

  void every_control_of_a_row_names_its_axis_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    // The simulated controllers' axes are X, Y and Z; row 1 is axis Y.
    QTest::newRow("position") << "Text1" << "Axis Y position";
    QTest::newRow("axis name") << "Label10" << "Axis Y";
    QTest::newRow("target box") << "Text2" << "Axis Y target position";
    QTest::newRow("GO") << "cmdGo" << "Axis Y GO";
    QTest::newRow("Rel") << "Command7" << "Axis Y Rel";
    QTest::newRow("STOP") << "Command1" << "Axis Y STOP";
    QTest::newRow("ZERO") << "Command2" << "Axis Y ZERO";
    QTest::newRow("busy lamp") << "Shape2" << "Axis Y busy";
    QTest::newRow("error lamp") << "Shape5" << "Axis Y error";
    QTest::newRow("ideal position") << "Text3" << "Axis Y ideal position";
    QTest::newRow("panel axis label") << "Label1" << "Axis Y";
    QTest::newRow("limit lamp 1") << "Shape3" << "Axis Y limit 1";
    QTest::newRow("limit lamp 2") << "Shape4" << "Axis Y limit 2";
    QTest::newRow("Reverse") << "Command6" << "Axis Y Reverse";
    QTest::newRow("Act Hi") << "Command3" << "Axis Y Act Hi";
    QTest::newRow("P") << "Slider3" << "Axis Y P gain";
    QTest::newRow("I") << "Slider4" << "Axis Y I gain";
    QTest::newRow("D") << "Slider5" << "Axis Y D gain";
    QTest::newRow("Acc") << "Slider6" << "Axis Y Acc";
    QTest::newRow("Max Speed") << "Slider2" << "Axis Y Max Speed";
    QTest::newRow("Torque") << "Slider7" << "Axis Y Torque";
    QTest::newRow("F Error") << "Slider8" << "Axis Y F Error";
    QTest::newRow("Speed") << "Slider1" << "Axis Y Speed";
  }
  void every_control_of_a_row_names_its_axis() {
    QFETCH(QString, control);
    QFETCH(QString, name);
    LiveConsole console;
    QCOMPARE(Text(Control(console, control, 1), QAccessible::Name), name);
    // Row 0, designed, and the last created row say their own axes.
    const auto axis = [&name](const char* other) {
      return QString(name).replace(QLatin1String("Axis Y"), QLatin1String(other));
    };
    QCOMPARE(Text(Control(console, control, 0), QAccessible::Name), axis("Axis X"));
    QCOMPARE(Text(Control(console, control, 2), QAccessible::Name), axis("Axis Z"));
  }

  void every_settings_column_names_its_axis() {
    StartUpWindow start_up(3);
    const QWidget& window = start_up.window;
    const char* const fields[][2] = {
        {"Text1", "Encoder Counts per Micron"},         {"Text2", "Encoder Counts per Motor Rotation"},
        {"Text3", "Gearhead Ratio"},                    {"Text4", "Leadscrew Pitch Microns per Rotation"},
        {"Check1", "Reverse Motor Polarity"},           {"Check2", "Reverse Limit Switch"},
        {"Check3", "Limit Sw Active on HI"},            {"Check4", "Cancel When Error"},
        {"Label6", "device"}};
    for (const auto& [family, role] : fields) {
      QCOMPARE(Text(FindElement<QWidget>(&window, QLatin1String(family), 2), QAccessible::Name),
               QStringLiteral("Axis Z ") + QLatin1String(role));
    }
  }

  void lamps_and_indicators_report_their_state() {
    StartUp start_up;
    start_up.axes = 2;
    TransferFault reply;
    reply.op = TransferOp::kRead;
    reply.device = 1;
    reply.kind = TransferFault::Kind::kVerbatimReply;
    reply.reply = Reply(0, 0x01 | 0x04 | 0x10 | 0x40, 0);  // limit 1, reverse, busy, error
    start_up.faults = {reply};
    LiveConsole console(start_up);
    frmMain& main = console.Main();
    frmXCtrl0& panel = console.Panel();
    QAccessibleInterface* busy = QAccessible::queryAccessibleInterface(main.Shape2(1));
    QCOMPARE(busy->role(), QAccessible::StaticText);

    console.Tick();
    QCOMPARE(Text(main.Shape2(1), QAccessible::Description), QStringLiteral("busy"));
    QCOMPARE(Text(main.Shape5(1), QAccessible::Description), QStringLiteral("error"));
    QCOMPARE(Text(panel.Shape3(1), QAccessible::Description), QStringLiteral("limit hit"));
    QCOMPARE(Text(panel.Shape4(1), QAccessible::Description), QStringLiteral("clear"));
    QCOMPARE(Text(panel.Command6(1), QAccessible::Description), QStringLiteral("on"));
    QCOMPARE(Text(panel.Command3(1), QAccessible::Description), QStringLiteral("off"));
    // Axis 0 answered a resting controller.
    QCOMPARE(Text(main.Shape2(0), QAccessible::Description), QStringLiteral("not busy"));
    QCOMPARE(Text(main.Shape5(0), QAccessible::Description), QStringLiteral("no error"));
    QCOMPARE(Text(panel.Shape3(0), QAccessible::Description), QStringLiteral("clear"));

    console.Tick();  // the reply is plain again
    QCOMPARE(Text(main.Shape2(1), QAccessible::Description), QStringLiteral("not busy"));
    QCOMPARE(Text(panel.Shape3(1), QAccessible::Description), QStringLiteral("clear"));
    QCOMPARE(Text(panel.Command6(1), QAccessible::Description), QStringLiteral("off"));
  }

  void a_slider_shows_and_reports_its_value_while_moved() {
    LiveConsole console;
    QTest::mouseClick(console.Main().cmdMoreControls(), Qt::LeftButton);
    frmXCtrl0& panel = console.Panel();
    QVERIFY(QTest::qWaitForWindowActive(&panel));
    TuningSlider* p_gain = panel.Slider3(2);
    const QList<QRect> layout = Layout(panel);
    QAccessibleValueInterface* value = QAccessible::queryAccessibleInterface(p_gain)->valueInterface();
    QVERIFY(value != nullptr);

    // Dragged with the mouse: the value stands beside the handle.
    const QPoint handle = HandleCentre(*p_gain);
    QTest::mousePress(p_gain, Qt::LeftButton, {}, handle);
    QLabel* shown = p_gain->ValueTip();
    QVERIFY(shown != nullptr);
    QVERIFY(shown->isVisible());
    QCOMPARE(shown->text(), QStringLiteral("15"));
    const QPointF to(handle - QPoint(0, 20));
    QMouseEvent drag(QEvent::MouseMove, to, p_gain->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(p_gain, &drag);
    const int dragged = p_gain->value();
    QVERIFY(dragged != 15);
    QCOMPARE(shown->text(), QString::number(dragged));
    QVERIFY(!shown->geometry().contains(p_gain->mapToGlobal(to.toPoint())));  // clear of the pointer
    QCOMPARE(value->currentValue().toInt(), dragged);
    QTest::mouseRelease(p_gain, Qt::LeftButton, {}, handle - QPoint(0, 20));

    // Stepped from the keyboard.
    p_gain->setFocus();
    QTest::keyClick(p_gain, Qt::Key_Up);
    QCOMPARE(p_gain->value(), dragged + 1);
    QVERIFY(shown->isVisible());
    QCOMPARE(shown->text(), QString::number(dragged + 1));
    // ... and goes a moment after the step.
    QTRY_VERIFY_WITH_TIMEOUT(!shown->isVisible(), 10 * TuningSlider::kValueShownAfterMs);
    QCOMPARE(value->currentValue().toInt(), dragged + 1);

    QCOMPARE(Layout(panel), layout);
    console.Tick();
    QCOMPARE(console.LastSent(2)[1], static_cast<std::uint8_t>(dragged + 1));
  }
};

STAGE_UI_TEST_MAIN(AccessibilityTest)
#include "accessibility_test.moc"
