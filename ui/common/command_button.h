// A push button with the events the console's buttons rely on: press and
// release for ANY mouse button (Qt's own buttons only react to the left one),
// every key-down including auto-repeats, and clicked() only for a left-button
// click or keyboard activation (Space, or Enter while focused). A handler of
// the press may cancel the click that its release would raise.
#pragma once

#include <QPushButton>

namespace stage::ui {

class CommandButton : public QPushButton {
  Q_OBJECT

 public:
  explicit CommandButton(const QString& caption, QWidget* parent = nullptr);

  // The button's face colour, set through the palette (no style sheets, so
  // switching it is cheap). Does nothing when the colour is already set.
  void SetBackColor(const QColor& color);
  QColor BackColor() const;

  // Called while a left-button press or a Space key-down is handled: that
  // press ends without a click. Its release still raises mouseUp or keyUp.
  // The next press starts afresh.
  void CancelClick() { click_cancelled_ = true; }

 signals:
  void mouseDown(Qt::MouseButton button);
  void mouseUp(Qt::MouseButton button);
  // Every key press that reaches the button, auto-repeats included.
  void keyDown(int key, bool auto_repeat);
  // Key releases, auto-repeat releases excluded.
  void keyUp(int key);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void keyReleaseEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  bool click_cancelled_ = false;
  bool space_held_ = false;  // Space pressed here and not yet released
};

}  // namespace stage::ui
