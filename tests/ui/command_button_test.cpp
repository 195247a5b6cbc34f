// Why this exists: an indicator button changes colour on every tick while a
// controller's flags flicker. It paints with a palette made once per colour
// instead of a new widget palette per change (each new palette filled the
// style's pixmap cache), and it must look exactly as a button whose widget
// palette carries the colour, whatever colours it went through before.
#include <QImage>
#include <QTest>

#include "tests/ui/ui_test_main.h"
#include "ui/common/command_button.h"
#include "ui/common/family_elements.h"
#include "ui/common/fonts.h"
#include "ui/common/lamp.h"

using stage::ui::ButtonFaceColor;
using stage::ui::CommandButton;

namespace {

// A button coloured the plain way: its own palette, auto-filled.
QImage PlainButton(const QColor& color, bool enabled) {
  CommandButton button(QStringLiteral("Reverse"));
  button.resize(81, 25);
  button.setEnabled(enabled);
  QPalette p = button.palette();
  p.setColor(QPalette::Button, color);
  p.setColor(QPalette::Window, color);
  button.setPalette(p);
  button.setAutoFillBackground(true);
  return button.grab().toImage();
}

}  // namespace

class CommandButtonTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { stage::ui::InstallFontSubstitutions(); }

  void looks_as_its_colour_whatever_came_before_data() {
    QTest::addColumn<QList<QColor>>("before");
    QTest::addColumn<QColor>("color");
    QTest::addColumn<bool>("enabled");
    const QColor yellow(255, 255, 0);
    const QColor red(255, 0, 0);
    QTest::newRow("lit") << QList<QColor>{} << yellow << true;
    QTest::newRow("lit again after the face") << QList<QColor>{yellow, ButtonFaceColor()} << yellow << true;
    QTest::newRow("face after lit") << QList<QColor>{yellow, ButtonFaceColor(), yellow} << ButtonFaceColor() << true;
    QTest::newRow("red after many") << QList<QColor>{yellow, red, yellow, ButtonFaceColor()} << red << true;
    QTest::newRow("lit and disabled") << QList<QColor>{ButtonFaceColor()} << yellow << false;
  }
  void looks_as_its_colour_whatever_came_before() {
    QFETCH(QList<QColor>, before);
    QFETCH(QColor, color);
    QFETCH(bool, enabled);
    CommandButton button(QStringLiteral("Reverse"));
    button.resize(81, 25);
    button.setEnabled(enabled);
    for (const QColor& c : before) button.SetBackColor(c);
    button.SetBackColor(color);
    QCOMPARE(button.BackColor(), color);
    QCOMPARE(button.grab().toImage(), PlainButton(color, enabled));
  }

  void a_row_copy_keeps_the_colour() {
    QWidget window;
    auto* stop = new CommandButton(QStringLiteral("STOP"), &window);
    stop->setObjectName(QStringLiteral("Command1"));
    stop->resize(81, 25);
    stop->SetBackColor(QColor(255, 0, 0));
    CommandButton* copy = stage::ui::CopyElement(*stop, 1);
    QCOMPARE(copy->BackColor(), QColor(255, 0, 0));
    copy->setVisible(true);
    QCOMPARE(copy->grab().toImage(), stop->grab().toImage());
  }
};

STAGE_UI_TEST_MAIN(CommandButtonTest)
#include "command_button_test.moc"
