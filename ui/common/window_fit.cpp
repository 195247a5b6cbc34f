#include "ui/common/window_fit.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyle>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <vector>

#include "ui/common/twips.h"

namespace stage::ui {

WindowFit::WindowFit(QWidget* window) : QObject(window), window_(window), designed_client_px_(window->size()) {
  window_->installEventFilter(this);
}

void WindowFit::SetOuterHeightTwips(double twips) {
  outer_height_px_ = TwipsToPixels(twips);
  Apply(shown_);
}

void WindowFit::SetOuterWidthTwips(double twips) {
  outer_width_px_ = TwipsToPixels(twips);
  Apply(shown_);
}

double WindowFit::OuterHeightTwips() const {
  if (scroll_area_ == nullptr) return PixelsToTwips(window_->frameGeometry().height());
  return PixelsToTwips(FrameSize().height() + page_->height());
}

QWidget* WindowFit::Canvas() const { return page_ != nullptr ? page_ : window_; }

QSize WindowFit::FrameSize() const {
  if (window_->windowHandle() == nullptr) return {0, 0};
  return window_->frameGeometry().size() - window_->size();
}

QSize WindowFit::DesignedClientSize(const QSize& frame) const {
  return {outer_width_px_ >= 0 ? std::max(0, outer_width_px_ - frame.width()) : designed_client_px_.width(),
          outer_height_px_ >= 0 ? std::max(0, outer_height_px_ - frame.height()) : designed_client_px_.height()};
}

void WindowFit::Apply(bool may_cap) {
  // The frame is unknown before the native window exists.
  window_->winId();
  const QSize frame = FrameSize();
  applied_frame_ = frame;
  const QSize designed = DesignedClientSize(frame);

  QSize room = designed;
  if (may_cap && window_->screen() != nullptr) room = window_->screen()->availableGeometry().size() - frame;
  const bool fits = designed.width() <= room.width() && designed.height() <= room.height();
  if (fits && scroll_area_ == nullptr) {
    window_->resize(designed);
  } else {
    if (scroll_area_ == nullptr) MoveIntoScrollArea();
    page_->resize(designed);
    // Room for a scroll bar where the other direction is cut, if the screen
    // has it, so one cut direction does not cut the other too.
    const int bar = window_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll_area_);
    QSize client(std::min(designed.width(), room.width()), std::min(designed.height(), room.height()));
    for (int pass = 0; pass < 2; ++pass) {
      if (client.height() < designed.height()) client.setWidth(std::min(designed.width() + bar, room.width()));
      if (client.width() < designed.width()) client.setHeight(std::min(designed.height() + bar, room.height()));
    }
    window_->resize(client);
    if (!fits) {
      // Wholly on the screen, title bar included.
      const QRect available = window_->screen()->availableGeometry();
      const QRect outer(window_->pos(), client + frame);
      if (!available.contains(outer)) {
        const int last_left = std::max(available.left(), available.right() + 1 - outer.width());
        const int last_top = std::max(available.top(), available.bottom() + 1 - outer.height());
        window_->move(std::clamp(outer.left(), available.left(), last_left),
                      std::clamp(outer.top(), available.top(), last_top));
      }
    }
  }
  if (applied_) applied_();
}

void WindowFit::MoveIntoScrollArea() {
  std::vector<QWidget*> contents;
  for (QObject* child : window_->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget != nullptr && !widget->isWindow()) contents.push_back(widget);
  }
  const QPointer<QWidget> focus = window_->focusWidget();

  scroll_area_ = new QScrollArea(window_);
  scroll_area_->setObjectName(QStringLiteral("scrollArea"));
  scroll_area_->setFrameShape(QFrame::NoFrame);
  // Not in the tab order: Tab walks the designed controls as before, and the
  // scroll area brings each one into view as it takes the focus.
  scroll_area_->setFocusPolicy(Qt::NoFocus);
  page_ = new QWidget;
  page_->setObjectName(QStringLiteral("scrollPage"));
  // In the window before the controls move: within one window they keep
  // their tab order.
  scroll_area_->setWidget(page_);
  // Back to front, so the stacking of the designed controls stays.
  for (QWidget* widget : contents) {
    const bool hidden = widget->isHidden();
    widget->setParent(page_);
    widget->setVisible(!hidden);
  }
  auto* layout = new QHBoxLayout(window_);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(scroll_area_);
  scroll_area_->show();
  if (focus != nullptr) focus->setFocus();
}

bool WindowFit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_) {
    switch (event->type()) {
      case QEvent::Show:
        if (!shown_) {
          shown_ = true;
          if (QWindow* handle = window_->windowHandle()) handle->installEventFilter(this);
          Apply(true);
        }
        break;
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::WindowActivate:
        if (shown_ && FrameSize() != applied_frame_) Apply(true);
        break;
      default:
        break;
    }
  } else if (event->type() == QEvent::Expose && shown_ && FrameSize() != applied_frame_) {
    Apply(true);
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace stage::ui
