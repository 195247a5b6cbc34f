// The Scope's traces, drawn on a thread of their own into a picture that the
// plot only shows: the GUI thread, which also polls the controllers, hands
// over the replies that came in since its last look (a few per axis) and
// asks for a frame; the drawing thread keeps its own copy of every axis's
// latest replies, cuts the new ones into columns (two points per column),
// works out the autoscaled value ranges and draws the lines with QPainter
// into a QImage (safe off the GUI thread, unlike a widget). While the
// window rolls on and the ranges stay, the picture is moved on by whole
// columns and only the strip that changed is drawn again. The finished frame
// carries the ranges it was drawn with, so the plot's axes agree with it.
// The export thread copies its samples from the same copy, so neither costs
// the GUI thread more than the hand-over.
#pragma once

#include <QColor>
#include <QImage>
#include <QPolygonF>
#include <QRect>
#include <QSize>
#include <array>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "stage/scope/plot_reduction.h"
#include "stage/scope/scope_recorder.h"

namespace stage::ui {

// The flags of the k-th shown axis take the band from k * kFlagsSlot: error
// as a step from 0 to 1, busy from kBusyBase to kBusyBase + 1.
inline constexpr double kFlagsSlot = 3;
inline constexpr double kBusyBase = 1.5;

// The traces of one shown axis, in the order the plot lists them.
enum Trace { kPositionTrace, kIdealTrace, kFollowingTrace, kBusyTrace, kErrorTrace, kTraceCount };

struct TraceFrameRequest {
  struct Axis {
    std::size_t axis = 0;
    std::size_t unit = 0;      // which value axes it is drawn against
    double per_unit = 1;       // counts per unit
    std::array<QColor, kTraceCount> colors;
  };
  std::int64_t from_us = 0;
  std::int64_t to_us = 0;
  std::vector<Axis> axes;
  std::vector<double> least_half_span;  // per unit
  bool autoscale = true;
  scope::ValueRange fixed_position;     // without autoscale, for every unit
  scope::ValueRange fixed_following;
  // Per unit, when not empty: the ranges the operator zoomed or panned to,
  // before autoscale and the fixed ranges.
  std::vector<scope::ValueRange> held_position;
  std::vector<scope::ValueRange> held_following;
  scope::ValueRange flags;              // the flags rectangle's value range
  QSize size;                           // the plot's, in its own pixels
  qreal pixel_ratio = 1;
  std::array<QRect, 3> rects;           // position, following error, flags
  int columns = 1;                      // pixel columns a trace is cut to
  std::uint64_t samples = 0;            // the recorder's count when asked
  // The live window, rolling on with the replies: the drawing thread may
  // start it up to a column later than asked, so that the picture drawn
  // before moves by whole pixels and only the new columns are drawn.
  bool rolling = false;
};

struct TraceFrame {
  QImage image;                          // the plot's size, transparent but for the traces
  std::int64_t from_us = 0;
  std::int64_t to_us = 0;
  std::vector<scope::ValueRange> position;   // per unit
  std::vector<scope::ValueRange> following;  // per unit
  std::vector<std::size_t> axes;             // per slot
  std::vector<double> newest_position;       // per slot, in its unit; NaN without samples
  QSize size;
  std::array<QRect, 3> rects;
  std::uint64_t samples = 0;
  std::int64_t cost_us = 0;                  // the drawing thread's CPU time for it
  std::int64_t column_us = 0;                // the time a column of the traces covers
  bool whole = true;                         // drawn whole rather than moved on
};

class TraceRenderer {
 public:
  // `ready` is called on the drawing thread each time a frame is finished.
  TraceRenderer(std::size_t axes, std::size_t capacity, std::function<void()> ready);
  ~TraceRenderer();
  TraceRenderer(const TraceRenderer&) = delete;
  TraceRenderer& operator=(const TraceRenderer&) = delete;

  // GUI thread: the replies recorded since the previous call (at most what
  // the recorder still holds) up to `until_us`, oldest first, at most `most`
  // of them; false when some are left for the next call.
  bool Feed(const scope::ScopeRecorder& recorder, std::size_t most = SIZE_MAX, std::int64_t until_us = INT64_MAX);
  // GUI thread: draws a frame; a request not yet started is replaced.
  void Request(TraceFrameRequest request);
  // A request asked for and not yet taken back as a frame.
  bool Pending() const;
  // The latest finished frame, once.
  std::optional<TraceFrame> Take();
  // Until the frame asked for is finished, at most `bound`; false if not.
  bool WaitForFrame(std::chrono::milliseconds bound);
  // Any thread but the drawing one: the samples of `axes` from `lower_s` to
  // `upper_s` (as the plot's time axis shows them), oldest first.
  std::vector<std::vector<scope::ScopeSample>> Copy(const std::vector<std::size_t>& axes, double lower_s,
                                                    double upper_s);

 private:
  struct Fed {
    std::size_t axis = 0;
    scope::ScopeSample sample;
  };
  // A trace cut to the columns, times in us, values in units: the points
  // kept for good, then those of the columns still filling (`settled` is
  // where they start). `head` is the first point still drawn.
  struct Points {
    std::vector<std::int64_t> time_us;
    std::vector<double> value;
    std::size_t head = 0;
    std::size_t settled = 0;
    scope::ColumnDecimator cut{0, 1, 1};
    // The line is the same as drawn last time up to here (-1: nothing drawn).
    std::int64_t drawn_same_to_us = -1;
    void Append(std::int64_t t, double v) {
      time_us.push_back(t);
      value.push_back(v);
    }
  };
  struct Slot {
    std::array<Points, kTraceCount> traces;
    std::uint64_t cut_to = 0;  // the mirror's count of its axis cut so far
    std::int64_t newest_us = INT64_MIN;
    double newest_position = 0;
    bool any = false;
  };
  // What the picture on the drawing thread was drawn for, so that the next
  // frame can move it on and draw only what is new.
  struct Canvas {
    QImage image;
    QImage scratch;                // where the strip moved on is drawn
    TraceFrameRequest layout;      // its axes, sizes and rectangles
    double from_us = 0;            // the time at the left edge
    double origin_us = 0;          // where the columns are counted from
    double column_us = 1;          // a column's time
    int column_px = 1;             // and its width in pixels
    std::vector<scope::ValueRange> position, following;
    std::vector<Slot> traced;  // per slot (not "slots": a Qt keyword)
    bool valid = false;
  };
  void Run();
  void DrainLocked();  // with mirror_mutex_ held
  TraceFrame Render(const TraceFrameRequest& request);
  // The window the frame shows and whether the canvas moves on to it (with
  // mirror_mutex_ held): false when it has to be cut and drawn afresh.
  bool MoveOn(const TraceFrameRequest& request, double& from_us, int& shift_px) const;
  void Restart(const TraceFrameRequest& request, double from_us);
  bool CutNew(const TraceFrameRequest& request, double from_us);
  void Draw(const TraceFrameRequest& request, const TraceFrame& frame, bool whole, int shift_px);

  std::vector<std::uint64_t> handed_;  // GUI thread: per axis, the recorder's count handed over

  mutable std::mutex mutex_;           // inbox_, request_, frame_, busy_, stop_
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::vector<Fed> inbox_;
  std::optional<TraceFrameRequest> request_;
  std::optional<TraceFrame> frame_;
  bool busy_ = false;
  bool stop_ = false;

  std::mutex mirror_mutex_;            // mirror_ and draining_
  std::vector<scope::Ring<scope::ScopeSample>> mirror_;
  std::vector<Fed> draining_;

  // The drawing thread's own.
  Canvas canvas_;
  QPolygonF line_;
  std::function<void()> ready_;
  std::thread thread_;
};

}  // namespace stage::ui
