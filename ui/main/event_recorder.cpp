#include "ui/main/event_recorder.h"

#include <QAbstractSlider>

#include "stage/control/event_log.h"
#include "stage/usb/packet_codec.h"
#include "ui/common/accessible_names.h"

namespace stage::ui {

EventRecorder::EventRecorder(control::EventLog* log, const modKVT_USB& tables, QObject* parent)
    : QObject(parent), log_(log), tables_(tables) {
  write_timer_.setInterval(kWriteEveryMs);
  connect(&write_timer_, &QTimer::timeout, this, &EventRecorder::WriteOut);
  settle_timer_.setSingleShot(true);
  settle_timer_.setInterval(kSettledAfterMs);
  connect(&settle_timer_, &QTimer::timeout, this, &EventRecorder::SlidersSettled);
  if (log_ != nullptr) write_timer_.start();
}

EventRecorder::~EventRecorder() {
  // What is recorded is said, even at the end.
  WriteOut();
}

void EventRecorder::Resize(std::size_t axes) {
  if (fault_seen_.size() < axes) fault_seen_.resize(axes, 0);
}

void EventRecorder::SawFlags(AxisIndex axis, std::uint8_t flags) noexcept {
  const auto k = static_cast<std::size_t>(axis);
  if (log_ == nullptr || k >= fault_seen_.size()) return;
  const bool error = (flags & usb::kFlagError) != 0;
  if (error == (fault_seen_[k] != 0)) return;
  fault_seen_[k] = error ? 1 : 0;
  faults_.Push(FaultRecord{std::chrono::system_clock::now(), axis, flags, error});
}

void EventRecorder::WriteOut() {
  if (log_ == nullptr) return;
  faults_.Drain([this](const FaultRecord& record) {
    const std::string axis = AxisLabel(tables_, record.axis).toStdString();
    log_->Log(record.raised ? "fault: axis " + axis + " reports an error"
                            : "fault: axis " + axis + " no longer reports an error",
              record.when);
  });
  if (const std::size_t dropped = faults_.TakeDropped(); dropped > 0) {
    log_->Log("(" + std::to_string(dropped) + " fault records dropped: more came in one tick than the ring holds)");
  }
}

void EventRecorder::WatchSlider(QAbstractSlider* slider, AxisIndex axis, const char* name) {
  if (log_ == nullptr || slider == nullptr) return;
  // actionTriggered comes only from the operator's input, before the value
  // changes; setValue (a script, a profile, STOP) never raises it.
  connect(slider, &QAbstractSlider::actionTriggered, this,
          [this, slider, axis, name](int) { SliderStep(slider, axis, name); });
  connect(slider, &QAbstractSlider::sliderReleased, this, [this] { settle_timer_.start(); });
}

void EventRecorder::SliderStep(QAbstractSlider* slider, AxisIndex axis, const char* name) {
  const bool known = std::any_of(moving_.begin(), moving_.end(),
                                 [slider](const Moving& moving) { return moving.slider == slider; });
  if (!known) moving_.push_back(Moving{slider, axis, name, slider->value()});
  settle_timer_.start();
}

void EventRecorder::SlidersSettled() {
  for (const Moving& moving : moving_) {
    if (moving.slider != nullptr && moving.slider->isSliderDown()) {
      settle_timer_.start();  // still held: logged when let go
      return;
    }
  }
  for (const Moving& moving : moving_) {
    if (moving.slider == nullptr || moving.slider->value() == moving.from) continue;
    Operator(QStringLiteral("%1 of axis %2 from %3 to %4")
                 .arg(QLatin1String(moving.name), AxisLabel(tables_, moving.axis))
                 .arg(moving.from)
                 .arg(moving.slider->value()));
  }
  moving_.clear();
}

void EventRecorder::Operator(const QString& text) const {
  if (log_ != nullptr) log_->Log((QStringLiteral("operator: ") + text).toStdString());
}

}  // namespace stage::ui
