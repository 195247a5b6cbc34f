#include "ui/common/command_button.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <algorithm>

namespace stage::ui {

CommandButton::CommandButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {
  setAutoDefault(false);
}

void CommandButton::SetBackColor(const QColor& color) {
  if (face_ >= 0 && faces_[static_cast<std::size_t>(face_)].first == color) return;
  const auto known = std::find_if(faces_.begin(), faces_.end(), [&](const auto& face) { return face.first == color; });
  if (known != faces_.end()) {
    face_ = static_cast<int>(known - faces_.begin());
  } else {
    QPalette p = palette();
    p.setColor(QPalette::Button, color);
    p.setColor(QPalette::Window, color);
    faces_.emplace_back(color, p);
    face_ = static_cast<int>(faces_.size()) - 1;
  }
  setAutoFillBackground(true);
  update();
}

QColor CommandButton::BackColor() const {
  return face_ >= 0 ? faces_[static_cast<std::size_t>(face_)].first : palette().color(QPalette::Button);
}

void CommandButton::paintEvent(QPaintEvent* event) {
  if (face_ < 0) {
    QPushButton::paintEvent(event);
    return;
  }
  // QPushButton's own painting, with the face palette in place of the
  // widget's; the background is what an auto-filled widget with that palette
  // would show.
  const QPalette& face = faces_[static_cast<std::size_t>(face_)].second;
  QStylePainter painter(this);
  painter.fillRect(rect(), face.brush(backgroundRole()));
  QStyleOptionButton option;
  initStyleOption(&option);
  option.palette = face;
  painter.drawControl(QStyle::CE_PushButton, option);
}

void CommandButton::changeEvent(QEvent* event) {
  // A new window palette or style: the faces are made again from it.
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) {
    if (face_ >= 0) {
      const QColor color = faces_[static_cast<std::size_t>(face_)].first;
      faces_.clear();
      face_ = -1;
      SetBackColor(color);
    }
  }
  QPushButton::changeEvent(event);
}

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
