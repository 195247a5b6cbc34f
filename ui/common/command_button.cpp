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
  if (event->key() == Qt::Key_Space && !event->isAutoRepeat()) click_cancelled_ = false;
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
  if (!event->isAutoRepeat()) emit keyUp(event->key());
  if (event->key() == Qt::Key_Space && !event->isAutoRepeat() && click_cancelled_) setDown(false);
  QPushButton::keyReleaseEvent(event);
}

}  // namespace stage::ui
