#include "ui/common/lamp.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

namespace stage::ui {
namespace {

// A lamp reads as a piece of text: its name, then its state.
class LampAccessible final : public QAccessibleWidget {
 public:
  explicit LampAccessible(Lamp* lamp) : QAccessibleWidget(lamp, QAccessible::StaticText) {}
  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Description || t == QAccessible::Value) {
      return static_cast<const Lamp*>(widget())->StateText();
    }
    return QAccessibleWidget::text(t);
  }
};

QAccessibleInterface* LampAccessibleFactory(const QString& class_name, QObject* object) {
  if (class_name == QLatin1String(Lamp::staticMetaObject.className())) {
    if (auto* lamp = qobject_cast<Lamp*>(object)) return new LampAccessible(lamp);
  }
  return nullptr;
}

}  // namespace

QColor ButtonFaceColor() { return QApplication::palette().color(QPalette::Button); }

Lamp::Lamp(Style style, QWidget* parent) : QWidget(parent), style_(style), fill_(ButtonFaceColor()) {
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setFocusPolicy(Qt::NoFocus);
  if (style_ == Style::kFilled) setAttribute(Qt::WA_OpaquePaintEvent);
  // Installed once: a factory already there is not added again.
  QAccessible::installFactory(LampAccessibleFactory);
}

void Lamp::SetStateTexts(const QString& lit, const QString& unlit, const QColor& lit_color) {
  lit_text_ = lit;
  unlit_text_ = unlit;
  lit_color_ = lit_color;
}

QString Lamp::StateText() const { return Lit() ? lit_text_ : unlit_text_; }

void Lamp::SetFillColor(const QColor& color) {
  if (color == fill_) return;
  const bool was_lit = Lit();
  fill_ = color;
  if (style_ == Style::kFilled) update();
  if (Lit() != was_lit && QAccessible::isActive()) {
    QAccessibleEvent changed(this, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
  }
}

void Lamp::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  if (style_ == Style::kFilled) painter.fillRect(rect(), fill_);
  painter.setPen(palette().color(QPalette::WindowText));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

}  // namespace stage::ui
