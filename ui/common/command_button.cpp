#include "ui/common/command_button.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace stage::ui {

CommandButton::CommandButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {
  setAutoDefault(false);
}

void CommandButton::SetBackColor(const QColor& color) {
  if (BackColor() == color && autoFillBackground()) return;
  QPalette p = palette();
  p.setColor(QPalette::Button, color);
  p.setColor(QPalette::Window, color);
  setPalette(p);
  setAutoFillBackground(true);
}

QColor CommandButton::BackColor() const { return palette().color(QPalette::Button); }

void CommandButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) click_cancelled_ = false;
  emit mouseDown(event->button());
  if (event->button() == Qt::LeftButton) {
    QPushButton::mousePressEvent(event);
  } else {
    // Qt's button ignores other buttons and lets the press reach the parent.
    event->accept();
  }
}

void CommandButton::mouseReleaseEvent(QMouseEvent* event) {
  emit mouseUp(event->button());
  if (event->button() == Qt::LeftButton) {
    // A button no longer down releases without a click.
    if (click_cancelled_) setDown(false);
    QPushButton::mouseReleaseEvent(event);
  } else {
    event->accept();
  }
}

void CommandButton::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) {
    click_cancelled_ = false;
    space_held_ = true;
  }
  emit keyDown(event->key(), event->isAutoRepeat());
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (enter) {
    if (!event->isAutoRepeat()) click();
    event->accept();
    return;
  }
  QPushButton::keyPressEvent(event);
}

void CommandButton::keyReleaseEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) space_held_ = false;
  if (!event->isAutoRepeat()) emit keyUp(event->key());
  if (event->key() == Qt::Key_Space && !event->isAutoRepeat() && click_cancelled_) setDown(false);
  QPushButton::keyReleaseEvent(event);
}

void CommandButton::focusOutEvent(QFocusEvent* event) {
  // Space held here while the focus moves on (Tab, a click elsewhere) is
  // released on another control: the hold ends with the focus, as Qt's own
  // button lets go, so no command bit stays set with nothing held.
  if (space_held_) {
    space_held_ = false;
    emit keyUp(Qt::Key_Space);
  }
  QPushButton::focusOutEvent(event);
}

}  // namespace stage::ui
