#include "ui/common/lamp.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

namespace stage::ui {

QColor ButtonFaceColor() { return QApplication::palette().color(QPalette::Button); }

Lamp::Lamp(Style style, QWidget* parent) : QWidget(parent), style_(style), fill_(ButtonFaceColor()) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
  if (style_ == Style::kFilled) setAttribute(Qt::WA_OpaquePaintEvent);
}

void Lamp::SetFillColor(const QColor& color) {
  if (color == fill_) return;
  fill_ = color;
  if (style_ == Style::kFilled) update();
}

void Lamp::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  if (style_ == Style::kFilled) painter.fillRect(rect(), fill_);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace stage::ui
