#include "ui/common/family_elements.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QVariant>
#include <QWidget>
#include <algorithm>

#include "ui/common/command_button.h"
#include "ui/common/control_family.h"
#include "ui/common/lamp.h"
#include "ui/common/tuning_slider.h"
#include "ui/common/twips.h"

namespace stage::ui {
namespace {

constexpr const char* kTwipsProperty = "twips";

void ApplyTwips(QWidget* control, const QRectF& twips) {
  control->setProperty(kTwipsProperty, twips);
  control->setGeometry(TwipsRect(twips.left(), twips.top(), twips.width(), twips.height()));
}

// What every copy shares with its element 0, whatever its kind.
template <typename T>
T* FinishCopy(const QWidget& element0, T* copy, int index) {
  copy->setVisible(false);
  if (element0.style() != QApplication::style()) copy->setStyle(element0.style());
  NameElement(copy, element0.objectName().toLatin1().constData(), index);
  // Only what element 0 sets itself; the rest stays inherited from the window.
  if (element0.testAttribute(Qt::WA_SetFont)) copy->setFont(element0.font());
  if (element0.testAttribute(Qt::WA_SetPalette)) copy->setPalette(element0.palette());
  copy->setAutoFillBackground(element0.autoFillBackground());
  copy->setFocusPolicy(element0.focusPolicy());
  copy->setEnabled(element0.isEnabled());
  ApplyTwips(copy, TwipsGeometry(&element0));
  return copy;
}

}  // namespace

void PlaceTwips(QWidget* control, double left, double top, double width, double height) {
  ApplyTwips(control, QRectF(left, top, width, height));
}

QRectF TwipsGeometry(const QWidget* control) {
  const QVariant twips = control->property(kTwipsProperty);
  if (twips.isValid()) return twips.toRectF();
  const QRect pixels = control->geometry();
  return {PixelsToTwips(pixels.x()), PixelsToTwips(pixels.y()), PixelsToTwips(pixels.width()),
          PixelsToTwips(pixels.height())};
}

void SetTopTwips(QWidget* control, double top) {
  QRectF twips = TwipsGeometry(control);
  twips.moveTop(top);
  ApplyTwips(control, twips);
}

void SetLeftTwips(QWidget* control, double left) {
  QRectF twips = TwipsGeometry(control);
  twips.moveLeft(left);
  ApplyTwips(control, twips);
}

QLabel* CopyElement(const QLabel& element0, int index) {
  auto* copy = new QLabel(element0.parentWidget());
  copy->setTextFormat(element0.textFormat());
  copy->setText(element0.text());
  copy->setAlignment(element0.alignment());
  copy->setWordWrap(element0.wordWrap());
  copy->setMargin(element0.margin());
  copy->setIndent(element0.indent());
  return FinishCopy(element0, copy, index);
}

QLineEdit* CopyElement(const QLineEdit& element0, int index) {
  auto* copy = new QLineEdit(element0.parentWidget());
  copy->setMaxLength(element0.maxLength());
  copy->setText(element0.text());
  copy->setAlignment(element0.alignment());
  copy->setReadOnly(element0.isReadOnly());
  copy->setFrame(element0.hasFrame());
  return FinishCopy(element0, copy, index);
}

CommandButton* CopyElement(const CommandButton& element0, int index) {
  auto* copy = new CommandButton(element0.text(), element0.parentWidget());
  if (element0.BackColorSet()) copy->SetBackColor(element0.BackColor());
  return FinishCopy(element0, copy, index);
}

Lamp* CopyElement(const Lamp& element0, int index) {
  auto* copy = new Lamp(element0.LampStyle(), element0.parentWidget());
  copy->SetFillColor(element0.FillColor());
  return FinishCopy(element0, copy, index);
}

TuningSlider* CopyElement(const TuningSlider& element0, int index) {
  auto* copy = new TuningSlider(element0.Settings(), element0.parentWidget());
  copy->SetBorderStyle(element0.BorderStyleValue());
  copy->setInvertedAppearance(element0.invertedAppearance());
  copy->setInvertedControls(element0.invertedControls());
  return FinishCopy(element0, copy, index);
}

void StackLikeDesign(QWidget* window) {
  const auto labels = window->findChildren<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
  // Lowered last to first, so each group keeps its own order.
  std::for_each(labels.rbegin(), labels.rend(), [](QLabel* label) { label->lower(); });
  const auto lamps = window->findChildren<Lamp*>(QString(), Qt::FindDirectChildrenOnly);
  std::for_each(lamps.rbegin(), lamps.rend(), [](Lamp* lamp) { lamp->lower(); });
}

}  // namespace stage::ui
