#include "ui/scope/trace_renderer.h"

#include <QPainter>
#include <QPolygonF>
#include <algorithm>
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

// As the plot's linear axes place a value: left to right, bottom to top.
double ToX(std::int64_t time_us, std::int64_t from_us, std::int64_t to_us, const QRect& rect) {
  const double span = static_cast<double>(std::max<std::int64_t>(1, to_us - from_us));
  return static_cast<double>(time_us - from_us) / span * rect.width() + rect.left();
}
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

void TraceRenderer::Feed(const scope::ScopeRecorder& recorder) {
  bool any = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t axis = 0; axis < handed_.size() && axis < recorder.AxisCount(); ++axis) {
      const scope::Ring<ScopeSample>& ring = recorder.Samples(axis);
      const std::uint64_t fresh = std::min<std::uint64_t>(ring.Pushed() - handed_[axis], ring.Size());
      for (std::size_t k = ring.Size() - static_cast<std::size_t>(fresh); k < ring.Size(); ++k) {
        inbox_.push_back({axis, ring[k]});
      }
      handed_[axis] = ring.Pushed();
      any = any || fresh > 0;
    }
  }
  if (any) wake_.notify_one();
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

TraceFrame TraceRenderer::Render(const TraceFrameRequest& request) {
  const std::int64_t start_us = ThreadCpuUs();
  TraceFrame frame;
  frame.from_us = request.from_us;
  frame.to_us = request.to_us;
  frame.size = request.size;
  frame.rects = request.rects;
  frame.samples = request.samples;
  const std::size_t units = request.least_half_span.size();
  struct Extent {
    double low = 0, high = 0;
    bool any = false;
    void Take(double a, double b) {
      if (!any) {
        low = a, high = b, any = true;
      } else {
        low = std::min(low, a), high = std::max(high, b);
      }
    }
  };
  std::vector<Extent> position(units), following(units);
  for (const TraceFrameRequest::Axis& s : request.axes) frame.axes.push_back(s.axis);
  frame.newest_position.assign(request.axes.size(), std::numeric_limits<double>::quiet_NaN());
  if (points_.size() < request.axes.size()) points_.resize(request.axes.size());

  // Cut to the pixel columns, with the copy of the samples held only while
  // reading it.
  {
    const std::lock_guard<std::mutex> lock(mirror_mutex_);
    DrainLocked();
    for (std::size_t slot = 0; slot < request.axes.size(); ++slot) {
      const TraceFrameRequest::Axis& s = request.axes[slot];
      std::array<Points, kTraceCount>& traces = points_[slot];
      for (Points& p : traces) {
        p.time_us.clear();
        p.value.clear();
      }
      if (s.axis >= mirror_.size()) continue;
      std::array<scope::ColumnDecimator, kTraceCount> cut = {
          scope::ColumnDecimator(request.from_us, request.to_us, request.columns),
          scope::ColumnDecimator(request.from_us, request.to_us, request.columns),
          scope::ColumnDecimator(request.from_us, request.to_us, request.columns),
          scope::ColumnDecimator(request.from_us, request.to_us, request.columns),
          scope::ColumnDecimator(request.from_us, request.to_us, request.columns)};
      const double base = static_cast<double>(slot) * kFlagsSlot;
      const scope::Ring<ScopeSample>& ring = mirror_[s.axis];
      Extent p_extent, f_extent;
      for (std::size_t k = FirstFrom(ring, request.from_us); k < ring.Size() && ring[k].time_us <= request.to_us; ++k) {
        const ScopeSample& sample = ring[k];
        const double actual = sample.position / s.per_unit;
        const double ideal = sample.ideal_position / s.per_unit;
        const double error = (static_cast<double>(sample.position) - sample.ideal_position) / s.per_unit;
        const std::array<double, kTraceCount> values = {
            actual, ideal, error, base + kBusyBase + ((sample.flags & usb::kFlagBusy) != 0 ? 1 : 0),
            base + ((sample.flags & usb::kFlagError) != 0 ? 1 : 0)};
        const std::int64_t column = cut[0].Column(sample.time_us);
        for (std::size_t n = 0; n < values.size(); ++n) {
          cut[n].AddInColumn(column, sample.time_us, values[n], [&p = traces[n]](std::int64_t t, double v) {
            p.time_us.push_back(t);
            p.value.push_back(v);
          });
        }
        p_extent.Take(std::min(actual, ideal), std::max(actual, ideal));
        f_extent.Take(error, error);
        frame.newest_position[slot] = actual;
      }
      for (std::size_t n = 0; n < cut.size(); ++n) {
        cut[n].Finish([&p = traces[n]](std::int64_t t, double v) {
          p.time_us.push_back(t);
          p.value.push_back(v);
        });
      }
      if (s.unit < units && p_extent.any) {
        position[s.unit].Take(p_extent.low, p_extent.high);
        following[s.unit].Take(f_extent.low, f_extent.high);
      }
    }
  }

  // The value ranges: from the values alone (never from the range shown
  // before), so a flat trace keeps a fixed span round it.
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

  // Thin solid lines without antialiasing, each clipped to its rectangle.
  const QSize pixels(static_cast<int>(std::ceil(request.size.width() * request.pixel_ratio)),
                     static_cast<int>(std::ceil(request.size.height() * request.pixel_ratio)));
  frame.image = QImage(pixels.expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
  frame.image.setDevicePixelRatio(request.pixel_ratio);
  frame.image.fill(Qt::transparent);
  QPainter painter(&frame.image);
  painter.setRenderHint(QPainter::Antialiasing, false);
  QPolygonF line;
  for (std::size_t slot = 0; slot < request.axes.size(); ++slot) {
    const TraceFrameRequest::Axis& s = request.axes[slot];
    if (s.unit >= units) continue;
    for (std::size_t n = 0; n < kTraceCount; ++n) {
      const Points& p = points_[slot][n];
      if (p.time_us.empty()) continue;
      const bool flag = n == kBusyTrace || n == kErrorTrace;
      const QRect& rect = request.rects[n == kFollowingTrace ? 1 : flag ? 2 : 0];
      const scope::ValueRange& range = flag ? request.flags : n == kFollowingTrace ? frame.following[s.unit] : frame.position[s.unit];
      line.clear();
      for (std::size_t k = 0; k < p.time_us.size(); ++k) {
        const double x = ToX(p.time_us[k], request.from_us, request.to_us, rect);
        const double y = ToY(p.value[k], range, rect);
        // The flags are steps: each value held until the next.
        if (flag && k > 0) line.append(QPointF(x, line.back().y()));
        line.append(QPointF(x, y));
      }
      painter.setClipRect(rect);
      painter.setPen(QPen(s.colors[n], 1));
      if (line.size() == 1) {
        painter.drawPoint(line.front());
      } else {
        painter.drawPolyline(line);
      }
    }
  }
  painter.end();
  frame.cost_us = ThreadCpuUs() - start_us;
  return frame;
}

}  // namespace stage::ui
