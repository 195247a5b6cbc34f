#include "ui/common/panel_cache_style.h"

#include <QApplication>
#include <QPainter>
#include <QStyleFactory>
#include <QStyleOptionFrame>
#include <QWidget>
#include <algorithm>

namespace stage::ui {

PanelCacheStyle::PanelCacheStyle() : QProxyStyle(QStyleFactory::create(QApplication::style()->name())) {
  entries_.reserve(kMaxEntries);
}

void PanelCacheStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                    const QWidget* widget) const {
  const auto* frame = qstyleoption_cast<const QStyleOptionFrame*>(option);
  // Only a whole panel painted as the box paints it (no transformation,
  // nothing scaled) comes from the cache.
  if (element != PE_PanelLineEdit || frame == nullptr || painter->device() == nullptr ||
      painter->transform().type() > QTransform::TxTranslate) {
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    return;
  }
  const Key key{option->rect.size(),       painter->device()->devicePixelRatio(), option->state, frame->lineWidth,
                option->palette, option->palette.currentColorGroup()};
  auto found = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.key == key; });
  if (found == entries_.end()) {
    if (entries_.size() == kMaxEntries) entries_.clear();
    QPixmap pixmap(option->rect.size() * key.pixel_ratio);
    pixmap.setDevicePixelRatio(key.pixel_ratio);
    pixmap.fill(Qt::transparent);
    {
      QPainter cache(&pixmap);
      QStyleOptionFrame at_origin(*frame);
      at_origin.rect.moveTo(0, 0);
      QProxyStyle::drawPrimitive(element, &at_origin, &cache, widget);
    }
    entries_.push_back(Entry{key, pixmap});
    found = entries_.end() - 1;
  }
  painter->drawPixmap(option->rect.topLeft(), found->pixmap);
}

}  // namespace stage::ui
