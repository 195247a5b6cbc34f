#include "ui/common/held_key.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QWindow>

namespace stage::ui {

HeldKey::HeldKey(int key, std::function<void()> pressed, std::function<void()> released, QObject* parent)
    : QObject(parent), key_(key), pressed_(std::move(pressed)), released_(std::move(released)) {
  if (QCoreApplication* app = QCoreApplication::instance()) app->installEventFilter(this);
  connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* now) {
    if (now == nullptr) Release();
  });
}

HeldKey::~HeldKey() {
  if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

bool HeldKey::eventFilter(QObject* watched, QEvent* event) {
  // A key event reaches the window object first and then climbs from the
  // focus widget through its parents: the state makes one press of it.
  const QEvent::Type type = event->type();
  if ((type == QEvent::KeyPress || type == QEvent::KeyRelease) && watched->isWidgetType()) {
    const auto* key = static_cast<const QKeyEvent*>(event);
    if (key->key() == key_ && !key->isAutoRepeat()) {
      if (type == QEvent::KeyPress && !held_) {
        held_ = true;
        pressed_();
      } else if (type == QEvent::KeyRelease) {
        Release();
      }
    }
  }
  return QObject::eventFilter(watched, event);
}

void HeldKey::Release() {
  if (!held_) return;
  held_ = false;
  released_();
}

}  // namespace stage::ui
