// Ends that come from outside the windows, turned into the windows' own ends
// (frmSelect::EndProgram, a window's close):
//  - TerminationSignals: SIGTERM, SIGINT and SIGHUP. The handler only writes
//    the signal number into a pipe; the event loop reads it and asks for the
//    end there, never inside the handler.
//  - WindowDestroyWatch: a top-level window destroyed by the window system
//    (X11 DestroyNotify, as `xdotool windowclose` does) instead of being
//    asked to close. Qt sends no close event then, so the watch closes the
//    widget itself (the main window: Exit; the start-up window: its end; the
//    fatal box: its OK) and drops the dead native window, so that a widget
//    that lives on (the tuning panel) gets a new one when shown again.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>
#include <array>
#include <csignal>
#include <functional>

class QSocketNotifier;
class QWidget;

namespace stage::ui {

class TerminationSignals final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(TerminationSignals)

 public:
  // One instance per process: installs the handlers; `on_signal` runs on the
  // event loop with the signal's number. The destructor restores the
  // default handlers.
  explicit TerminationSignals(std::function<void(int)> on_signal, QObject* parent = nullptr);
  ~TerminationSignals() override;

  // What a signal does from now on. Installed early, before there is
  // anything to end, the handlers keep a signal that came meanwhile, and it
  // is acted on here, from the event loop.
  void OnSignal(std::function<void(int)> on_signal);

  static constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

 private:
  void Drain();

  std::function<void(int)> on_signal_;
  int pending_ = 0;  // a signal drained before there was an action for it
  int pipe_[2] = {-1, -1};
  QSocketNotifier* notifier_ = nullptr;
};

class WindowDestroyWatch final : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(WindowDestroyWatch)

 public:
  WindowDestroyWatch() = default;
  ~WindowDestroyWatch() override = default;

  bool nativeEventFilter(const QByteArray& event_type, void* message, qintptr* result) override;

  // What a destroyed native window leads to; the native filter calls it from
  // the event loop, tests call it directly.
  static void WindowDestroyed(QWidget* window);
};

}  // namespace stage::ui
