#include "ui/scope/trace_renderer.h"

#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <climits>
#include <cstring>
#include <cmath>
#include <limits>
#include <time.h>
#include <utility>

#include "stage/usb/packet_codec.h"
#include "ui/scope/background_thread.h"

namespace stage::ui {
namespace {

using scope::ScopeSample;

std::int64_t ThreadCpuUs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// The first sample at or after `from_us`: the times only grow.
std::size_t FirstFrom(const scope::Ring<ScopeSample>& ring, std::int64_t from_us) {
  std::size_t low = 0;
  std::size_t high = ring.Size();
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if (ring[mid].time_us < from_us) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// As the plot's linear axes place a value: bottom to top.
double ToY(double value, const scope::ValueRange& range, const QRect& rect) {
  const double span = range.upper - range.lower;
  return rect.bottom() - (span != 0 ? (value - range.lower) / span : 0.5) * rect.height();
}

}  // namespace

TraceRenderer::TraceRenderer(std::size_t axes, std::size_t capacity, std::function<void()> ready)
    : handed_(axes, 0), ready_(std::move(ready)) {
  mirror_.reserve(axes);
  for (std::size_t i = 0; i < axes; ++i) mirror_.emplace_back(capacity);
  thread_ = std::thread([this] {
    RunBehindThePoll();
    Run();
  });
}

TraceRenderer::~TraceRenderer() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool TraceRenderer::Feed(const scope::ScopeRecorder& recorder, std::size_t most, std::int64_t until_us) {
  bool any = false;
  bool all = true;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t axis = 0; axis < handed_.size() && axis < recorder.AxisCount(); ++axis) {
      const scope::Ring<ScopeSample>& ring = recorder.Samples(axis);
      const auto fresh = static_cast<std::size_t>(std::min<std::uint64_t>(ring.Pushed() - handed_[axis], ring.Size()));
      const std::size_t first = ring.Size() - fresh;  // the oldest not handed over yet
      std::size_t take = 0;
      for (; take < fresh && take < most && ring[first + take].time_us <= until_us; ++take) {
        inbox_.push_back({axis, ring[first + take]});
      }
      handed_[axis] = ring.Pushed() - (fresh - take);
      most -= take;
      any = any || take > 0;
      all = all && (take == fresh || ring[first + take].time_us > until_us);
    }
  }
  if (any) wake_.notify_one();
  return all;
}

void TraceRenderer::Request(TraceFrameRequest request) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    request_ = std::move(request);
    busy_ = true;
  }
  wake_.notify_one();
}

bool TraceRenderer::Pending() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

std::optional<TraceFrame> TraceRenderer::Take() {
  const std::lock_guard<std::mutex> lock(mutex_);
  std::optional<TraceFrame> frame = std::move(frame_);
  frame_.reset();
  return frame;
}

bool TraceRenderer::WaitForFrame(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> lock(mutex_);
  return finished_.wait_for(lock, bound, [this] { return !busy_; });
}

void TraceRenderer::DrainLocked() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::swap(inbox_, draining_);  // both keep their capacity
  }
  for (const Fed& fed : draining_) mirror_[fed.axis].Push(fed.sample);
  draining_.clear();
}

std::vector<std::vector<ScopeSample>> TraceRenderer::Copy(const std::vector<std::size_t>& axes, double lower_s,
                                                          double upper_s) {
  const std::lock_guard<std::mutex> lock(mirror_mutex_);
  DrainLocked();
  std::vector<std::vector<ScopeSample>> copies;
  copies.reserve(axes.size());
  for (std::size_t axis : axes) {
    std::vector<ScopeSample>& copy = copies.emplace_back();
    if (axis >= mirror_.size()) continue;
    const scope::Ring<ScopeSample>& ring = mirror_[axis];
    const std::size_t first = FirstFrom(ring, static_cast<std::int64_t>(std::llround(lower_s * 1e6)));
    copy.reserve(ring.Size() - first);
    for (std::size_t k = first; k < ring.Size(); ++k) {
      if (static_cast<double>(ring[k].time_us) / 1e6 > upper_s) break;
      copy.push_back(ring[k]);
    }
  }
  return copies;
}

void TraceRenderer::Run() {
  for (;;) {
    std::optional<TraceFrameRequest> request;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !inbox_.empty() || request_.has_value(); });
      if (stop_) return;
      request = std::move(request_);
      request_.reset();
    }
    if (!request) {
      const std::lock_guard<std::mutex> lock(mirror_mutex_);
      DrainLocked();
      continue;
    }
    TraceFrame frame = Render(*request);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      frame_ = std::move(frame);
      // A newer request came in meanwhile: still busy with that one.
      busy_ = request_.has_value();
    }
    finished_.notify_all();
    if (ready_) ready_();
  }
}

namespace {

// Two requests that draw the same picture but for the time window and the
// value ranges.
bool SameLayout(const TraceFrameRequest& a, const TraceFrameRequest& b) {
  if (a.size != b.size || a.pixel_ratio != b.pixel_ratio || a.rects != b.rects || a.columns != b.columns ||
      a.to_us - a.from_us != b.to_us - b.from_us || a.flags.lower != b.flags.lower ||
      a.flags.upper != b.flags.upper || a.axes.size() != b.axes.size() ||
      a.least_half_span.size() != b.least_half_span.size()) {
    return false;
  }
  for (std::size_t k = 0; k < a.axes.size(); ++k) {
    const TraceFrameRequest::Axis& x = a.axes[k];
    const TraceFrameRequest::Axis& y = b.axes[k];
    if (x.axis != y.axis || x.unit != y.unit || x.per_unit != y.per_unit || x.colors != y.colors) return false;
  }
  return true;
}

bool SameRanges(const std::vector<scope::ValueRange>& a, const std::vector<scope::ValueRange>& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const scope::ValueRange& x, const scope::ValueRange& y) {
    return x.lower == y.lower && x.upper == y.upper;
  });
}

// Columns `left` to the rectangle's right edge made transparent, in every
// row of it.
void Clear(QImage& image, const QRect& rect, int left) {
  const QRect area = rect.intersected(image.rect());
  const int from = std::max(left, area.left());
  if (area.isEmpty() || from > area.right()) return;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    std::fill(row + from, row + area.right() + 1, QRgb{0});
  }
}

// Columns `left` to the rectangle's right edge copied from one picture to
// another of the same size.
void CopyColumns(const QImage& from, QImage& to, const QRect& rect, int left) {
  const QRect area = rect.intersected(to.rect()).intersected(from.rect());
  const int first = std::max(left, area.left());
  if (area.isEmpty() || first > area.right()) return;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    const auto* source = reinterpret_cast<const QRgb*>(from.constScanLine(y));
    std::copy(source + first, source + area.right() + 1, reinterpret_cast<QRgb*>(to.scanLine(y)) + first);
  }
}

// The rectangle's pixels moved `px` to the left; the columns that come in
// on the right transparent.
void ScrollLeft(QImage& image, const QRect& rect, int px) {
  const QRect area = rect.intersected(image.rect());
  if (px <= 0 || area.isEmpty()) return;
  const int kept = std::max(0, area.width() - px);
  for (int y = area.top(); y <= area.bottom(); ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y)) + area.left();
    if (kept > 0) std::memmove(row, row + px, static_cast<std::size_t>(kept) * sizeof(QRgb));
  }
  Clear(image, area, area.left() + kept);
}

}  // namespace

bool TraceRenderer::MoveOn(const TraceFrameRequest& request, double& from_us, int& shift_px) const {
  from_us = static_cast<double>(request.from_us);
  shift_px = 0;
  const Canvas& c = canvas_;
  if (!c.valid || request.pixel_ratio != 1 || !SameLayout(request, c.layout)) return false;
  // The rectangles share the time axis: moved by the same columns.
  for (const QRect& rect : request.rects) {
    if (rect.left() != request.rects[0].left() || rect.width() != request.rects[0].width()) return false;
  }
  if (!request.rolling || !c.layout.rolling) {
    // A window held or captured moves on only to itself (new replies in it).
    return !request.rolling && !c.layout.rolling && request.from_us == c.layout.from_us &&
           request.to_us == c.layout.to_us;
  }
  // Whole columns on from the picture's start, up to one later than asked.
  const double columns = std::ceil((from_us - c.from_us) / c.column_us - 1e-9);
  if (columns < 0 || columns * c.column_px >= request.rects[0].width()) return false;
  from_us = c.from_us + columns * c.column_us;
  shift_px = static_cast<int>(columns) * c.column_px;
  return true;
}

void TraceRenderer::Restart(const TraceFrameRequest& request, double from_us) {
  Canvas& c = canvas_;
  c.layout = request;
  c.from_us = from_us;
  c.origin_us = from_us;
  const int width = std::max(1, request.rects[0].width());
  c.column_px = std::max(1, static_cast<int>(std::lround(static_cast<double>(width) / std::max(1, request.columns))));
  c.column_us = static_cast<double>(std::max<std::int64_t>(1, request.to_us - request.from_us)) * c.column_px / width;
  c.traced.resize(request.axes.size());
  for (std::size_t slot = 0; slot < c.traced.size(); ++slot) {
    Slot& s = c.traced[slot];
    s.newest_us = INT64_MIN;
    s.any = false;
    for (Points& p : s.traces) {
      p.time_us.clear();
      p.value.clear();
      p.head = p.settled = 0;
      p.cut = scope::ColumnDecimator(0, 1, 1);
      p.drawn_same_to_us = -1;
    }
    // Cut from the window's start on.
    const std::size_t axis = request.axes[slot].axis;
    if (axis < mirror_.size()) {
      const scope::Ring<ScopeSample>& ring = mirror_[axis];
      s.cut_to = ring.Pushed() - (ring.Size() - FirstFrom(ring, static_cast<std::int64_t>(std::ceil(from_us))));
    }
  }
  c.valid = true;
}

bool TraceRenderer::CutNew(const TraceFrameRequest& request, double from_us) {
  Canvas& c = canvas_;
  const double to_us = from_us + static_cast<double>(request.to_us - request.from_us);
  for (std::size_t slot = 0; slot < c.traced.size(); ++slot) {
    const TraceFrameRequest::Axis& a = request.axes[slot];
    Slot& s = c.traced[slot];
    if (a.axis >= mirror_.size()) continue;
    const scope::Ring<ScopeSample>& ring = mirror_[a.axis];
    // More came in than the copy still holds: cut afresh.
    if (ring.Pushed() - s.cut_to > ring.Size()) return false;
    for (Points& p : s.traces) {
      p.time_us.resize(p.settled);
      p.value.resize(p.settled);
    }
    const double base = static_cast<double>(slot) * kFlagsSlot;
    std::size_t k = ring.Size() - static_cast<std::size_t>(ring.Pushed() - s.cut_to);
    for (; k < ring.Size() && static_cast<double>(ring[k].time_us) <= to_us; ++k) {
      const ScopeSample& sample = ring[k];
      if (sample.time_us < s.newest_us) return false;  // time went back
      const double actual = sample.position / a.per_unit;
      const std::array<double, kTraceCount> values = {
          actual, sample.ideal_position / a.per_unit,
          (static_cast<double>(sample.position) - sample.ideal_position) / a.per_unit,
          base + kBusyBase + ((sample.flags & usb::kFlagBusy) != 0 ? 1 : 0),
          base + ((sample.flags & usb::kFlagError) != 0 ? 1 : 0)};
      const auto column =
          static_cast<std::int64_t>(std::floor((static_cast<double>(sample.time_us) - c.origin_us) / c.column_us));
      for (std::size_t n = 0; n < values.size(); ++n) {
        Points& p = s.traces[n];
        p.cut.AddInColumn(column, sample.time_us, values[n], [&p](std::int64_t t, double v) { p.Append(t, v); });
      }
      s.newest_us = sample.time_us;
      s.newest_position = actual;
      s.any = true;
    }
    s.cut_to = ring.Pushed() - (ring.Size() - k);
    for (Points& p : s.traces) {
      // The points kept for good, then those of the columns still filling;
      // the line comes in from the last point left of the window.
      p.settled = p.time_us.size();
      scope::ColumnDecimator rest = p.cut;
      rest.Finish([&p](std::int64_t t, double v) { p.Append(t, v); });
      while (p.head + 1 < p.settled && static_cast<double>(p.time_us[p.head + 1]) < from_us) ++p.head;
      constexpr std::size_t kCompactFrom = 4096;
      if (p.head >= kCompactFrom) {
        const auto gone = static_cast<std::ptrdiff_t>(p.head);
        p.time_us.erase(p.time_us.begin(), p.time_us.begin() + gone);
        p.value.erase(p.value.begin(), p.value.begin() + gone);
        p.settled -= p.head;
        p.head = 0;
      }
    }
  }
  return true;
}

TraceFrame TraceRenderer::Render(const TraceFrameRequest& request) {
  const std::int64_t start_us = ThreadCpuUs();
  TraceFrame frame;
  frame.size = request.size;
  frame.rects = request.rects;
  frame.samples = request.samples;
  const std::size_t units = request.least_half_span.size();
  const double span_us = static_cast<double>(std::max<std::int64_t>(1, request.to_us - request.from_us));
  double from_us = 0;
  int shift_px = 0;
  bool whole = false;
  {
    // The copy of the samples held only while cutting the new ones.
    const std::lock_guard<std::mutex> lock(mirror_mutex_);
    DrainLocked();
    if (!MoveOn(request, from_us, shift_px) || !CutNew(request, from_us)) {
      whole = true;
      shift_px = 0;
      from_us = static_cast<double>(request.from_us);
      Restart(request, from_us);
      CutNew(request, from_us);
    }
  }
  Canvas& c = canvas_;
  c.layout.from_us = request.from_us;
  c.layout.to_us = request.to_us;
  c.layout.rolling = request.rolling;
  c.from_us = from_us;
  frame.from_us = std::llround(from_us);
  frame.to_us = std::llround(from_us + span_us);
  frame.column_us = std::llround(c.column_us);

  // The value ranges: from the values in the window alone (never from the
  // range shown before), so a flat trace keeps a fixed span round it.
  struct Extent {
    double low = 0, high = 0;
    bool any = false;
    void Take(double v) {
      low = any ? std::min(low, v) : v;
      high = any ? std::max(high, v) : v;
      any = true;
    }
  };
  std::vector<Extent> position(units), following(units);
  for (std::size_t slot = 0; slot < c.traced.size(); ++slot) {
    const Slot& s = c.traced[slot];
    const std::size_t unit = request.axes[slot].unit;
    frame.axes.push_back(request.axes[slot].axis);
    frame.newest_position.push_back(s.any ? s.newest_position : std::numeric_limits<double>::quiet_NaN());
    if (unit >= units) continue;
    auto take = [&](const Points& p, Extent& extent) {
      for (std::size_t k = p.head; k < p.time_us.size(); ++k) {
        if (static_cast<double>(p.time_us[k]) >= from_us) extent.Take(p.value[k]);
      }
    };
    take(s.traces[kPositionTrace], position[unit]);
    take(s.traces[kIdealTrace], position[unit]);
    take(s.traces[kFollowingTrace], following[unit]);
  }
  frame.position.resize(units);
  frame.following.resize(units);
  for (std::size_t u = 0; u < units; ++u) {
    if (u < request.held_position.size() && u < request.held_following.size()) {
      frame.position[u] = request.held_position[u];
      frame.following[u] = request.held_following[u];
    } else if (request.autoscale) {
      const double least = request.least_half_span[u];
      frame.position[u] = position[u].any ? scope::AutoscaleRange(position[u].low, position[u].high, least)
                                          : scope::AutoscaleRange(1, 0, least);
      frame.following[u] = following[u].any ? scope::AutoscaleRange(following[u].low, following[u].high, least)
                                            : scope::AutoscaleRange(1, 0, least);
    } else {
      frame.position[u] = request.fixed_position;
      frame.following[u] = request.fixed_following;
    }
  }
  // Other ranges: every line moves.
  if (!SameRanges(frame.position, c.position) || !SameRanges(frame.following, c.following)) whole = true;
  c.position = frame.position;
  c.following = frame.following;
  Draw(request, frame, whole, shift_px);
  frame.whole = whole;
  frame.image = c.image;  // shared until the next frame changes it
  frame.cost_us = ThreadCpuUs() - start_us;
  return frame;
}

void TraceRenderer::Draw(const TraceFrameRequest& request, const TraceFrame& frame, bool whole, int shift_px) {
  Canvas& c = canvas_;
  // Thin solid lines without antialiasing, each clipped to its rectangle.
  const QSize pixels = QSize(static_cast<int>(std::ceil(request.size.width() * request.pixel_ratio)),
                             static_cast<int>(std::ceil(request.size.height() * request.pixel_ratio)))
                           .expandedTo(QSize(1, 1));
  if (c.image.size() != pixels) {
    c.image = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
    whole = true;
  }
  c.image.setDevicePixelRatio(request.pixel_ratio);
  const double span_us = static_cast<double>(std::max<std::int64_t>(1, request.to_us - request.from_us));
  const QRect& time_rect = request.rects[0];
  auto to_x = [&](double time_us, const QRect& rect) {
    return (time_us - c.from_us) / span_us * rect.width() + rect.left();
  };
  // Moved on: the picture shifts by whole columns, and the strip that
  // changed since the last frame (the columns still filling then, and the
  // new ones) is drawn again. It is drawn on a scratch picture, every line
  // from its last point well left of the strip and clipped only to its
  // rectangle as when drawn whole, and copied over: a line clipped at the
  // strip's edge would start a pixel off here and there.
  int redraw_from = INT_MIN;
  QImage* target = &c.image;
  if (whole) {
    c.image.fill(Qt::transparent);
  } else {
    for (const QRect& rect : request.rects) ScrollLeft(c.image, rect, shift_px);
    double same_to = time_rect.right() + 1 - shift_px;
    for (const Slot& s : c.traced) {
      for (const Points& p : s.traces) {
        if (p.drawn_same_to_us == INT64_MAX) continue;
        same_to = std::min(same_to, to_x(static_cast<double>(p.drawn_same_to_us), time_rect));
      }
    }
    redraw_from = static_cast<int>(std::floor(same_to)) - 1;
    if (c.scratch.size() != c.image.size()) c.scratch = QImage(c.image.size(), QImage::Format_ARGB32_Premultiplied);
    for (const QRect& rect : request.rects) Clear(c.scratch, rect, redraw_from);
    target = &c.scratch;
  }
  QPainter painter(target);
  painter.setRenderHint(QPainter::Antialiasing, false);
  const std::size_t units = request.least_half_span.size();
  for (std::size_t slot = 0; slot < c.traced.size(); ++slot) {
    const TraceFrameRequest::Axis& a = request.axes[slot];
    for (std::size_t n = 0; n < kTraceCount; ++n) {
      Points& p = c.traced[slot].traces[n];
      // Drawn the same as now up to here, whatever comes in next.
      const std::int64_t settled_us = p.settled > p.head ? p.time_us[p.settled - 1] : -1;
      p.drawn_same_to_us = p.time_us.size() <= p.head ? INT64_MAX
                           : std::max({settled_us, p.cut.PendingTimeUs().value_or(-1),
                                       p.settled > p.head ? INT64_MIN : p.time_us[p.head] - 1});
      if (a.unit >= units || p.time_us.size() <= p.head) continue;
      const bool flag = n == kBusyTrace || n == kErrorTrace;
      const QRect& rect = request.rects[n == kFollowingTrace ? 1 : flag ? 2 : 0];
      const scope::ValueRange& range = flag ? request.flags : n == kFollowingTrace ? frame.following[a.unit] : frame.position[a.unit];
      std::size_t first = p.head;
      if (!whole) {
        // Clear of the strip by more than the pixel a line's end may take.
        constexpr int kMargin = 2;
        first = p.time_us.size() - 1;
        while (first > p.head && to_x(static_cast<double>(p.time_us[first]), rect) >= redraw_from - kMargin) --first;
      }
      line_.clear();
      for (std::size_t k = first; k < p.time_us.size(); ++k) {
        const double x = to_x(static_cast<double>(p.time_us[k]), rect);
        const double y = ToY(p.value[k], range, rect);
        // The flags are steps: each value held until the next.
        if (flag && k > first) line_.append(QPointF(x, line_.back().y()));
        line_.append(QPointF(x, y));
      }
      painter.setClipRect(rect);
      painter.setPen(QPen(a.colors[n], 1));
      if (line_.size() == 1) {
        painter.drawPoint(line_.front());
      } else {
        painter.drawPolyline(line_);
      }
    }
  }
  painter.end();
  if (!whole) {
    for (const QRect& rect : request.rects) CopyColumns(c.scratch, c.image, rect, redraw_from);
  }
}

}  // namespace stage::ui
