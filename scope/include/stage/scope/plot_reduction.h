// What the Scope's plot makes of the recorded samples before it draws them:
// the value range autoscale shows, and traces cut to the plot's width in
// pixels. Plain arithmetic, nothing allocated.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace stage::scope {

struct ValueRange {
  double lower = 0;
  double upper = 0;
};

// The range autoscale shows for values from `low` to `high`: a margin of 5 %
// of the span either side, and at least `min_half_span` either side of the
// middle, so that a flat signal gets a fixed, sensible span round it. It
// depends only on the values: redrawing the same trace gives the same range.
// With no values (low > high) the range is min_half_span either side of 0.
ValueRange AutoscaleRange(double low, double high, double min_half_span);

// Cuts a trace to at most two points per pixel column, its lowest and highest
// in the order they came: a line through them covers the same pixels as the
// whole trace would at that width. A flat run over many columns keeps only
// its first and last point (a step trace at rest is two points). Times must
// not go back.
class ColumnDecimator {
 public:
  ColumnDecimator(std::int64_t from_us, std::int64_t to_us, int columns)
      : from_us_(from_us), span_us_(std::max<std::int64_t>(1, to_us - from_us)), columns_(std::max(1, columns)) {}

  // Calls out(time_us, value) for each point kept, as columns fill.
  template <typename Emit>
  void Add(std::int64_t time_us, double value, Emit&& out) {
    AddInColumn(Column(time_us), time_us, value, out);
  }
  // The pixel column a time falls in; decimators over the same span and
  // columns agree, so several traces of one sample need it worked out once.
  std::int64_t Column(std::int64_t time_us) const {
    return std::clamp<std::int64_t>((time_us - from_us_) * columns_ / span_us_, 0, columns_ - 1);
  }
  // Add, with `column` = Column(time_us).
  template <typename Emit>
  void AddInColumn(std::int64_t column, std::int64_t time_us, double value, Emit&& out) {
    if (have_ && column != column_) Flush(out);
    if (!have_) {
      have_ = true;
      column_ = column;
      low_ = high_ = {time_us, value};
      return;
    }
    if (value < low_.value) low_ = {time_us, value};
    if (value > high_.value) high_ = {time_us, value};
  }
  // The time of a flat run's latest column, not kept yet: a line through
  // the points kept so far and on to a copy's Finish points stays the same up
  // to there (and up to the latest point kept) whatever comes after. Empty
  // without such a run.
  std::optional<std::int64_t> PendingTimeUs() const {
    return pending_ ? std::optional<std::int64_t>(pending_->time_us) : std::nullopt;
  }
  // The points of the last column.
  template <typename Emit>
  void Finish(Emit&& out) {
    if (have_) Flush(out);
    if (pending_) out(pending_->time_us, pending_->value);
    pending_.reset();
  }

 private:
  struct Point {
    std::int64_t time_us = 0;
    double value = 0;
  };
  template <typename Emit>
  void Flush(Emit&& out) {
    have_ = false;
    if (low_.value == high_.value && kept_any_ && low_.value == last_kept_) {
      pending_ = low_;  // the flat run goes on
      return;
    }
    if (pending_) out(pending_->time_us, pending_->value);
    pending_.reset();
    kept_any_ = true;
    last_kept_ = low_.time_us < high_.time_us ? high_.value : low_.value;
    if (low_.time_us == high_.time_us) {
      out(low_.time_us, low_.value);
      return;
    }
    const Point& first = low_.time_us < high_.time_us ? low_ : high_;
    const Point& second = low_.time_us < high_.time_us ? high_ : low_;
    out(first.time_us, first.value);
    out(second.time_us, second.value);
  }

  std::int64_t from_us_;
  std::int64_t span_us_;
  std::int64_t columns_;
  bool have_ = false;
  std::int64_t column_ = 0;
  Point low_;
  Point high_;
  bool kept_any_ = false;
  double last_kept_ = 0;            // the value of the latest point kept
  std::optional<Point> pending_;    // the latest column of a flat run, not kept yet
};

}  // namespace stage::scope
