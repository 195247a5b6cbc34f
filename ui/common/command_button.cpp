#include "ui/common/command_button.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>
#include <QStyleOptionButton>
#include <algorithm>

namespace stage::ui {

CommandButton::CommandButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {
  setAutoDefault(false);
}

void CommandButton::SetBackColor(const QColor& color) {
  if (face_ >= 0 && faces_[static_cast<std::size_t>(face_)].color == color) return;
  const auto known = std::find_if(faces_.begin(), faces_.end(), [&](const Face& face) { return face.color == color; });
  if (known != faces_.end()) {
    face_ = static_cast<int>(known - faces_.begin());
  } else {
    QPalette p = palette();
    p.setColor(QPalette::Button, color);
    p.setColor(QPalette::Window, color);
    faces_.push_back(Face{color, p, {}, {}, {}, {}, {}, 0});
    face_ = static_cast<int>(faces_.size()) - 1;
  }
  setAutoFillBackground(true);
  update();
}

QColor CommandButton::BackColor() const {
  return face_ >= 0 ? faces_[static_cast<std::size_t>(face_)].color : palette().color(QPalette::Button);
}

void CommandButton::paintEvent(QPaintEvent* event) {
  if (face_ < 0) {
    QPushButton::paintEvent(event);
    return;
  }
  // QPushButton's own painting, with the face palette in place of the
  // widget's; the background is what an auto-filled widget with that palette
  // would show. Drawn into the face's pixmap, unless the button already
  // looked like this last time it wore that face.
  Face& face = faces_[static_cast<std::size_t>(face_)];
  QStyleOptionButton option;
  initStyleOption(&option);
  option.palette = face.palette;
  const qreal pixel_ratio = devicePixelRatio();
  if (face.look.isNull() || face.state != option.state || face.features != option.features ||
      face.text != option.text || face.size != size() ||
      face.pixel_ratio != pixel_ratio) {
    face.look = QPixmap(size() * pixel_ratio);
    face.look.setDevicePixelRatio(pixel_ratio);
    QPainter look(&face.look);
    // What a painter on the button itself starts with.
    look.setFont(font());
    look.setPen(QPen(palette().brush(foregroundRole()), 1));
    look.setBackground(palette().brush(backgroundRole()));
    look.fillRect(rect(), face.palette.brush(backgroundRole()));
    style()->drawControl(QStyle::CE_PushButton, &option, &look, this);
    face.state = option.state;
    face.features = option.features;
    face.text = option.text;
    face.size = size();
    face.pixel_ratio = pixel_ratio;
  }
  QPainter painter(this);
  painter.drawPixmap(0, 0, face.look);
}

void CommandButton::changeEvent(QEvent* event) {
  // A new window palette, style or font: the faces are made again from it.
  if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange ||
      event->type() == QEvent::FontChange) {
    if (face_ >= 0) {
      const QColor color = faces_[static_cast<std::size_t>(face_)].color;
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
  const bool space = event->key() == Qt::Key_Space;
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const bool repeat = event->isAutoRepeat() || (space && space_held_) || (enter && enter_held_);
  if (space && !repeat) {
    click_cancelled_ = false;
    space_held_ = true;
  }
  if (enter && !repeat) enter_held_ = true;
  emit keyDown(event->key(), repeat);
  if (enter) {
    if (!repeat) click();
    event->accept();
    return;
  }
  QPushButton::keyPressEvent(event);
}

void CommandButton::keyReleaseEvent(QKeyEvent* event) {
  const bool real = !event->isAutoRepeat();
  if (event->key() == Qt::Key_Space && real) space_held_ = false;
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && real) enter_held_ = false;
  if (real) emit keyUp(event->key());
  if (event->key() == Qt::Key_Space && real && click_cancelled_) setDown(false);
  QPushButton::keyReleaseEvent(event);
}

void CommandButton::focusOutEvent(QFocusEvent* event) {
  // Space held here while the focus moves on (Tab, a click elsewhere) is
  // released on another control: the hold ends with the focus, as Qt's own
  // button lets go, so no command bit stays set with nothing held.
  enter_held_ = false;
  if (space_held_) {
    space_held_ = false;
    emit keyUp(Qt::Key_Space);
  }
  QPushButton::focusOutEvent(event);
}

}  // namespace stage::ui
