// What the main window puts in the event log besides the operator's commands
// it logs itself: the controllers' faults and the operator's tuning. A fault
// is seen on the tick, which does no I/O and allocates nothing: there it is
// only recorded, in a ring of fixed size, and the records are written to
// the log right after the tick (and by a timer, for ticks run otherwise).
// A tuning slider the operator moves (drag, keys, wheel, clicks on its
// groove) is logged once it has settled, with its value before and after,
// never once per step of a drag; values set by a script or a profile are
// not the operator's and are not logged here.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <vector>

#include "stage/axis/modKVT_USB.h"
#include "stage/control/fixed_ring.h"

class QAbstractSlider;

namespace stage::control {
class EventLog;
}

namespace stage::ui {

class EventRecorder final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(EventRecorder)

 public:
  static constexpr std::size_t kFaultRecords = 64;
  static constexpr int kWriteEveryMs = 250;
  // A slider counts as settled once no step came for this long.
  static constexpr int kSettledAfterMs = 400;

  // `log`: none, nothing is recorded.
  EventRecorder(control::EventLog* log, const modKVT_USB& tables, QObject* parent = nullptr);
  ~EventRecorder() override;

  // Rows 0..axes-1 exist (called as rows are made, never on the tick).
  void Resize(std::size_t axes);
  // On the tick: the flags of the axis's reply.
  void SawFlags(AxisIndex axis, std::uint8_t flags) noexcept;
  // After the tick: what was recorded goes to the log.
  void WriteOut();

  void WatchSlider(QAbstractSlider* slider, AxisIndex axis, const char* name);
  // "operator: TEXT".
  void Operator(const QString& text) const;

 private:
  struct FaultRecord {
    std::chrono::system_clock::time_point when{};
    AxisIndex axis = 0;
    std::uint8_t flags = 0;
    bool raised = false;
  };
  struct Moving {
    QPointer<QAbstractSlider> slider;
    AxisIndex axis = 0;
    const char* name = "";
    int from = 0;
  };
  void SliderStep(QAbstractSlider* slider, AxisIndex axis, const char* name);
  void SlidersSettled();

  control::EventLog* log_;
  const modKVT_USB& tables_;
  control::FixedRing<FaultRecord, kFaultRecords> faults_;
  std::vector<std::uint8_t> fault_seen_;  // per axis: the error flag as last recorded
  QTimer write_timer_;
  QTimer settle_timer_;
  std::vector<Moving> moving_;
};

}  // namespace stage::ui
