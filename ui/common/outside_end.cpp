#include "ui/common/outside_end.h"

#include <QApplication>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QWidget>
#include <QWindow>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <utility>

namespace stage::ui {
namespace {

// The write end of the pipe, for the handler: the one thing it may touch.
volatile std::sig_atomic_t g_signal_pipe = -1;

extern "C" void OnTerminationSignal(int signal_number) {
  const int saved_errno = errno;
  const auto byte = static_cast<unsigned char>(signal_number);
  // A full pipe already holds a request to end: the byte may be dropped.
  [[maybe_unused]] const ssize_t written = write(g_signal_pipe, &byte, 1);
  errno = saved_errno;
}

// The layout of the X11 DestroyNotify event as xcb delivers it
// (xcb_destroy_notify_event_t): response type 17, then the window at byte 8.
struct XcbDestroyNotify {
  std::uint8_t response_type;
  std::uint8_t pad0;
  std::uint16_t sequence;
  std::uint32_t event;
  std::uint32_t window;
};
constexpr std::uint8_t kXcbDestroyNotify = 17;
constexpr std::uint8_t kXcbSentEventFlag = 0x80;

}  // namespace

TerminationSignals::TerminationSignals(std::function<void(int)> on_signal, QObject* parent)
    : QObject(parent), on_signal_(std::move(on_signal)) {
  if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    qWarning("stage-console: no pipe for termination signals: %s", std::strerror(errno));
    return;
  }
  g_signal_pipe = pipe_[1];
  notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::Drain);
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal_number : kSignals) sigaction(signal_number, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int signal_number : kSignals) sigaction(signal_number, &action, nullptr);
  g_signal_pipe = -1;
  for (const int fd : pipe_) {
    if (fd >= 0) close(fd);
  }
}

void TerminationSignals::Drain() {
  unsigned char byte = 0;
  int last = 0;
  while (read(pipe_[0], &byte, 1) == 1) last = byte;
  if (last == 0) return;
  if (on_signal_) {
    on_signal_(last);
  } else {
    pending_ = last;
  }
}

void TerminationSignals::OnSignal(std::function<void(int)> on_signal) {
  on_signal_ = std::move(on_signal);
  if (pending_ == 0 || !on_signal_) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        const int signal_number = std::exchange(pending_, 0);
        if (signal_number != 0 && on_signal_) on_signal_(signal_number);
      },
      Qt::QueuedConnection);
}

bool WindowDestroyWatch::nativeEventFilter(const QByteArray& event_type, void* message, qintptr* /*result*/) {
  if (event_type != "xcb_generic_event_t" || message == nullptr) return false;
  const auto* event = static_cast<const XcbDestroyNotify*>(message);
  if ((event->response_type & ~kXcbSentEventFlag) != kXcbDestroyNotify) return false;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->internalWinId() == static_cast<WId>(event->window)) {
      // Not inside the event's own dispatch: Qt still looks the window up.
      QMetaObject::invokeMethod(
          this, [target = QPointer<QWidget>(window)] { if (target) WindowDestroyed(target); },
          Qt::QueuedConnection);
    }
  }
  return false;
}

void WindowDestroyWatch::WindowDestroyed(QWidget* window) {
  const QPointer<QWidget> alive(window);
  window->close();
  if (!alive) return;
  alive->hide();
  if (QWindow* handle = alive->windowHandle()) handle->destroy();
}

}  // namespace stage::ui
