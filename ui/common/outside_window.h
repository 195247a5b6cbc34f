// Windows of the program that are not among the console's own three (the
// Scope): the main window treats coming back from one of them exactly as
// coming back from another application, so opening them never changes what
// the console's windows do.
#pragma once

#include <QWidget>
#include <QWindow>

namespace stage::ui {

inline constexpr const char* kOutsideWindowProperty = "stageOutsideWindow";

// Gives `window` its native window now, so the mark is there before it can
// take the focus.
inline void MarkOutsideWindow(QWidget& window) {
  window.winId();
  window.windowHandle()->setProperty(kOutsideWindowProperty, true);
}

inline bool IsOutsideWindow(const QWindow& window) { return window.property(kOutsideWindowProperty).toBool(); }

}  // namespace stage::ui
