// Whether the operator can reach a control: its window on the screen, the
// control in the part of the scroll area that shows.
#pragma once

#include <QScreen>
#include <QScrollArea>
#include <QWidget>

namespace stage::ui::testing {

// The scroll area of a window capped to its screen, or nullptr.
inline QScrollArea* ScrollAreaOf(const QWidget& window) {
  return window.findChild<QScrollArea*>(QStringLiteral("scrollArea"), Qt::FindDirectChildrenOnly);
}

// The whole window, frame included, on the screen's available area.
inline bool OnScreen(const QWidget& window) {
  return window.screen()->availableGeometry().contains(window.frameGeometry());
}

// The control lies wholly inside what its scroll area shows.
inline bool InView(const QScrollArea& area, const QWidget& control) {
  const QRect shown(control.mapTo(area.viewport(), QPoint(0, 0)), control.size());
  return area.viewport()->rect().contains(shown);
}

}  // namespace stage::ui::testing
