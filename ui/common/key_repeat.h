// A key held down is one press until it really comes up, on every platform.
//
// While a key is held the window system repeats it. Qt marks those repeats
// (QKeyEvent::isAutoRepeat) and the console's keys ignore marked ones, but on
// X11 the marking is a guess: the server sends each repeat as a release and a
// press with the same time stamp, and Qt's xcb plugin marks the release only
// when the press is already in its queue as it handles the release. On a busy
// machine the press often is not there yet, so a release that looks real
// reaches the program, then a press that looks new: a held Rel made a second
// relative move, a held Esc let STOP drop for a packet.
//
// This filter sees every key event where it first reaches one of the
// program's windows and hands the windows a stream in which every repeat is
// marked:
//  - On X11 it asks the server for "detectable auto-repeat" for this client
//    (an XKB per-client flag): the server then sends no release while a key
//    is held, only repeated presses. That removes the false releases at their
//    source, for every widget, with no round trip per key and no race. Qt
//    cannot mark those presses (it only marks a press that follows a marked
//    release), so:
//  - A press of a key that is already held (by its native scan code, or its
//    Qt key when there is none) is a repeat: it goes on marked.
//  - Should the server refuse the flag, a release that Qt did not mark is
//    checked against the server's key map (is the key still down?); a
//    release of a key that is still down is a repeat and goes on marked, and
//    a press with the time stamp of a release that went out as real is the
//    other half of that repeat and is dropped.
//  - Elsewhere (Wayland, offscreen) Qt's marks are right: no server is asked,
//    and the held-key rule only adds marks Qt would have set.
// When the program loses the keyboard every key counts as up: the release
// would go to another program.
#pragma once

#include <QObject>
#include <QtGlobal>
#include <functional>
#include <optional>
#include <vector>

class QKeyEvent;

namespace stage::ui {

class KeyRepeatFilter : public QObject {
  Q_OBJECT

 public:
  // Whether the key with this native scan code is down right now, as the
  // window system has it; nullopt when it cannot say.
  using KeyDownQuery = std::function<std::optional<bool>(quint32 native_scan_code)>;

  // The application's filter, made, installed and (on X11) connected to the
  // server on the first call; later calls return the same one.
  static KeyRepeatFilter& Install();

  // True when the X server leaves the releases out of automatic repeats.
  bool ServerDropsRepeatReleases() const { return server_drops_repeat_releases_; }
  // On X11, asks the server to leave them out (the default) or to send them;
  // returns ServerDropsRepeatReleases() afterwards. False elsewhere.
  bool AskServerToDropRepeatReleases(bool drop);

  // For tests: how a release is checked, as if the server had (or had not)
  // granted detectable auto-repeat. An empty query checks nothing.
  void SetServer(KeyDownQuery key_down, bool drops_repeat_releases);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit KeyRepeatFilter(QObject* parent);

  struct Key {
    quint64 id = 0;
    bool held = false;
    // Time stamp of the latest release let through as real; 0 for none.
    quint64 released_at = 0;
  };
  static quint64 KeyId(const QKeyEvent& event);
  Key& Find(quint64 id);
  // The event as a marked repeat, to the same window.
  static void SendMarked(QObject* window, const QKeyEvent& event);

  std::vector<Key> keys_;
  KeyDownQuery key_down_;
  bool server_drops_repeat_releases_ = false;
};

}  // namespace stage::ui
