// A push button with the events the console's buttons rely on: press and
// release for ANY mouse button (Qt's own buttons only react to the left one),
// every key-down including auto-repeats, and clicked() only for a left-button
// click or keyboard activation (Space, or Enter while focused). A handler of
// the press may cancel the click that its release would raise. A key held
// here is one press until it comes up: a press of Space or Enter that the
// button already holds counts as a repeat even when Qt did not mark it.
#pragma once

#include <QColor>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <vector>

namespace stage::ui {

class CommandButton : public QPushButton {
  Q_OBJECT

 public:
  explicit CommandButton(const QString& caption, QWidget* parent = nullptr);

  // The button's face colour. Does nothing when the colour is already set.
  // Each colour gets its palette once and the button paints with it: setting
  // the widget's palette instead would make a new palette, with a new style
  // cache key, on every change, and an indicator that changes colour on every
  // tick would fill the style's pixmap cache for as long as it is shown.
  void SetBackColor(const QColor& color);
  QColor BackColor() const;
  bool BackColorSet() const { return face_ >= 0; }

  // Called while a left-button press or a Space key-down is handled: that
  // press ends without a click. Its release still raises mouseUp or keyUp.
  // The next press starts afresh.
  void CancelClick() { click_cancelled_ = true; }

  // Space went down on this button and has not come up (nor left with the
  // focus).
  bool SpaceHeld() const { return space_held_; }

 signals:
  void mouseDown(Qt::MouseButton button);
  void mouseUp(Qt::MouseButton button);
  // Every key press that reaches the button, auto-repeats included; a
  // repeat is one Qt marked or one of a key the button already holds.
  void keyDown(int key, bool auto_repeat);
  // Key releases, auto-repeat releases excluded.
  void keyUp(int key);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // A colour's palette, and the button as last painted with it: an
  // indicator that switches colour on every tick repaints from these rather
  // than drawing its bevel and laying out its caption each time.
  struct Face {
    QColor color;
    QPalette palette;
    QPixmap look;
    QStyle::State state;
    QStyleOptionButton::ButtonFeatures features;
    QString text;
    QSize size;
    qreal pixel_ratio = 0;
  };
  // The faces made for the colours set so far, and the one in use.
  std::vector<Face> faces_;
  int face_ = -1;
  bool click_cancelled_ = false;
  bool space_held_ = false;  // Space pressed here and not yet released
  bool enter_held_ = false;  // Enter (or Return) likewise
};

}  // namespace stage::ui
