// The style of the main window's text boxes: the application's own style, but
// the box's panel (its fill and the anti-aliased rounded frame) is drawn once
// per size, state and palette into a pixmap, and every later repaint copies
// that pixmap. A position read-out changes on every tick while its axis
// moves, and stroking its rounded frame cost several times as much as
// drawing its digits; the pixels come out the same.
#pragma once

#include <QPalette>
#include <QPixmap>
#include <QProxyStyle>
#include <QSize>
#include <QStyle>
#include <vector>

namespace stage::ui {

class PanelCacheStyle final : public QProxyStyle {
  Q_OBJECT

 public:
  // A fresh instance of the application's style underneath.
  PanelCacheStyle();

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override;

 private:
  // What a panel's pixels depend on.
  struct Key {
    QSize size;
    qreal pixel_ratio = 1;
    QStyle::State state;
    int line_width = 0;
    // Compared colour by colour: every copy of a box has its own palette,
    // with the same colours.
    QPalette palette;
    QPalette::ColorGroup group = QPalette::Active;
    bool operator==(const Key&) const = default;
  };
  struct Entry {
    Key key;
    QPixmap pixmap;
  };
  // Few sizes, few looks (focus, read-only, colours): should they keep
  // changing after all, the cache starts afresh rather than growing.
  static constexpr std::size_t kMaxEntries = 16;

  mutable std::vector<Entry> entries_;
};

}  // namespace stage::ui
