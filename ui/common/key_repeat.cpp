#include "ui/common/key_repeat.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QWindow>
#include <QtGui/qguiapplication_platform.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include <xcb/xcb.h>
// The XKB header names a structure field `explicit`.
#define explicit explicit_field
#include <xcb/xkb.h>
#undef explicit

namespace stage::ui {
namespace {

// More keys than anyone holds at once; released ones make room.
constexpr std::size_t kMaxKeys = 64;
// Set in the ids of keys that have no native scan code (offscreen, tests).
constexpr quint64 kQtKeyId = quint64{1} << 32;

template <typename T>
std::unique_ptr<T, decltype(&std::free)> Owned(T* reply) {
  return {reply, &std::free};
}

xcb_connection_t* X11Connection() {
  if (QGuiApplication::platformName() != QLatin1String("xcb")) return nullptr;
  auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 != nullptr ? x11->connection() : nullptr;
}

// Turns detectable auto-repeat for this client on or off; true when it is
// on afterwards.
bool SetDetectableAutoRepeat(xcb_connection_t* connection, bool on) {
  const xcb_query_extension_reply_t* xkb = xcb_get_extension_data(connection, &xcb_xkb_id);
  if (xkb == nullptr || xkb->present == 0) return false;
  // Qt has already enabled XKB on its connection; asking again is harmless.
  const auto use = Owned(xcb_xkb_use_extension_reply(connection, xcb_xkb_use_extension(connection, 1, 0), nullptr));
  if (!use || use->supported == 0) return false;
  constexpr std::uint32_t kFlag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
  const auto flags = Owned(xcb_xkb_per_client_flags_reply(
      connection,
      xcb_xkb_per_client_flags(connection, XCB_XKB_ID_USE_CORE_KBD, kFlag, on ? kFlag : 0, 0, 0, 0), nullptr));
  return flags && (flags->supported & kFlag) != 0 && (flags->value & kFlag) != 0;
}

// Whether the key with this X key code is down at the server now. The
// server answers after every event it sent before, so a repeat's press is
// on its way by then.
std::optional<bool> KeyDownAtServer(xcb_connection_t* connection, quint32 key_code) {
  if (key_code == 0 || key_code > 255) return std::nullopt;
  const auto keymap = Owned(xcb_query_keymap_reply(connection, xcb_query_keymap(connection), nullptr));
  if (!keymap) return std::nullopt;
  return ((keymap->keys[key_code / 8] >> (key_code % 8)) & 1) != 0;
}

}  // namespace

KeyRepeatFilter& KeyRepeatFilter::Install() {
  QCoreApplication* app = QCoreApplication::instance();
  if (auto* installed = app->findChild<KeyRepeatFilter*>(QString(), Qt::FindDirectChildrenOnly)) return *installed;
  auto* filter = new KeyRepeatFilter(app);
  if (xcb_connection_t* connection = X11Connection()) {
    filter->key_down_ = [connection](quint32 key_code) { return KeyDownAtServer(connection, key_code); };
    filter->AskServerToDropRepeatReleases(true);
  }
  return *filter;
}

bool KeyRepeatFilter::AskServerToDropRepeatReleases(bool drop) {
  xcb_connection_t* connection = X11Connection();
  if (connection == nullptr) return false;
  server_drops_repeat_releases_ = SetDetectableAutoRepeat(connection, drop);
  return server_drops_repeat_releases_;
}

KeyRepeatFilter::KeyRepeatFilter(QObject* parent) : QObject(parent) {
  keys_.reserve(kMaxKeys);
  parent->installEventFilter(this);
  connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, [this](QWindow* now) {
    if (now != nullptr) return;
    for (Key& key : keys_) key.held = false;
  });
}

void KeyRepeatFilter::SetServer(KeyDownQuery key_down, bool drops_repeat_releases) {
  key_down_ = std::move(key_down);
  server_drops_repeat_releases_ = drops_repeat_releases;
}

quint64 KeyRepeatFilter::KeyId(const QKeyEvent& event) {
  if (event.nativeScanCode() != 0) return event.nativeScanCode();
  return kQtKeyId | static_cast<quint32>(event.key());
}

KeyRepeatFilter::Key& KeyRepeatFilter::Find(quint64 id) {
  const auto known = std::find_if(keys_.begin(), keys_.end(), [id](const Key& key) { return key.id == id; });
  if (known != keys_.end()) return *known;
  if (keys_.size() >= kMaxKeys) {
    const auto up = std::find_if(keys_.begin(), keys_.end(), [](const Key& key) { return !key.held; });
    keys_.erase(up != keys_.end() ? up : keys_.begin());
  }
  keys_.push_back(Key{id, false, 0});
  return keys_.back();
}

void KeyRepeatFilter::SendMarked(QObject* window, const QKeyEvent& event) {
  QKeyEvent marked(event.type(), event.key(), event.modifiers(), event.nativeScanCode(), event.nativeVirtualKey(),
                   event.nativeModifiers(), event.text(), true, static_cast<quint16>(event.count()), event.device());
  marked.setTimestamp(event.timestamp());
  QCoreApplication::sendEvent(window, &marked);
}

bool KeyRepeatFilter::eventFilter(QObject* watched, QEvent* event) {
  // A key event reaches the window first, then the focus widget and its
  // parents: it is judged once, at the window.
  const QEvent::Type type = event->type();
  if ((type != QEvent::KeyPress && type != QEvent::KeyRelease) || !watched->isWindowType()) {
    return QObject::eventFilter(watched, event);
  }
  const auto& key_event = *static_cast<const QKeyEvent*>(event);
  Key& key = Find(KeyId(key_event));
  const quint64 time = key_event.timestamp();

  if (type == QEvent::KeyPress) {
    if (key_event.isAutoRepeat()) {
      key.held = true;
      return false;
    }
    if (key.held) {
      // Unmarked, but the key never came up: a repeat.
      SendMarked(watched, key_event);
      return true;
    }
    // The press of a repeat whose release went on as real (the key came up
    // just after the repeat): the program has let go already.
    if (time != 0 && time == key.released_at) return true;
    key.held = true;
    return false;
  }

  if (key_event.isAutoRepeat() || !key.held) return false;
  if (!server_drops_repeat_releases_ && key_down_ && key_down_(key_event.nativeScanCode()) == true) {
    // An unmarked release of a key that is still down: a repeat.
    SendMarked(watched, key_event);
    return true;
  }
  key.held = false;
  key.released_at = time;
  return false;
}

}  // namespace stage::ui
