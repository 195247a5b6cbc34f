// Why: the Scope's drawing thread moves the picture it drew before on by
// whole columns and draws only what changed (the columns still filling and
// the new ones). A wrong shift, a column left stale or a line cut at the
// edge of the redrawn strip would show traces that are not the replies; the
// picture moved on must be the one drawn whole for the same window.
#include <QTest>
#include <cmath>
#include <cstdint>

#include "stage/scope/scope_recorder.h"
#include "stage/usb/packet_codec.h"
#include "tests/ui/ui_test_main.h"
#include "ui/scope/trace_renderer.h"

using namespace stage;
using stage::ui::TraceFrame;
using stage::ui::TraceFrameRequest;
using stage::ui::TraceRenderer;

namespace {

constexpr std::int64_t kPeriodUs = 10'000;
constexpr std::int64_t kSpanUs = 2'000'000;  // 100 columns of 20 ms over 100 pixels

// Two axes, each with its own trace shapes, recorded every 10 ms.
class Replies {
 public:
  Replies() : recorder_(2, [this] { return std::chrono::nanoseconds(now_us_ * 1000); }) {}

  void Add(int count, double amplitude) {
    for (int i = 0; i < count; ++i, ++n_) {
      now_us_ = 5'000 + n_ * kPeriodUs;  // off the columns' edges
      for (std::size_t axis = 0; axis < 2; ++axis) {
        usb::CommandFields fields;
        fields.control_byte = usb::kActiveBit;
        const usb::Packet command = *usb::EncodeCommand(fields).packet;
        poll::ExchangeResult result;
        const double phase = static_cast<double>(n_) / (7.0 + static_cast<double>(axis) * 4);
        result.reading.position = static_cast<std::int32_t>(std::lround(50 + amplitude * std::sin(phase)));
        result.reading.ideal_position = result.reading.position + static_cast<std::int32_t>((n_ + axis) % 3);
        // Long flat runs with steps between them.
        result.reading.flags = static_cast<std::uint8_t>(((n_ / 37) % 2 == 0 ? usb::kFlagBusy : 0) |
                                                         ((n_ / (53 + axis * 10)) % 3 == 2 ? usb::kFlagError : 0));
        recorder_.OnExchange(static_cast<AxisIndex>(axis), command, usb::EncodeStatus(result.reading), result);
      }
    }
  }
  const scope::ScopeRecorder& Recorder() const { return recorder_; }
  std::int64_t NowUs() const { return now_us_; }

 private:
  std::int64_t n_ = 0;
  std::int64_t now_us_ = 0;
  scope::ScopeRecorder recorder_;
};

TraceFrameRequest Request(std::int64_t from_us, bool rolling, bool autoscale) {
  TraceFrameRequest r;
  r.from_us = from_us;
  r.to_us = from_us + kSpanUs;
  r.rolling = rolling;
  for (std::size_t axis = 0; axis < 2; ++axis) {
    TraceFrameRequest::Axis a;
    a.axis = axis;
    a.colors = {Qt::red, Qt::green, Qt::blue, Qt::darkYellow, Qt::magenta};
    if (axis == 1) a.colors = {Qt::darkRed, Qt::darkGreen, Qt::darkBlue, Qt::cyan, Qt::black};
    r.axes.push_back(a);
  }
  r.least_half_span = {1};
  r.autoscale = autoscale;
  r.fixed_position = {-80, 180};
  r.fixed_following = {-4, 4};
  r.flags = {-0.25, 6};
  r.size = QSize(130, 150);
  r.rects = {QRect(20, 5, 100, 60), QRect(20, 75, 100, 30), QRect(20, 115, 100, 30)};
  r.columns = 100;
  return r;
}

TraceFrame Draw(TraceRenderer& renderer, const Replies& replies, TraceFrameRequest request) {
  renderer.Feed(replies.Recorder());
  renderer.Request(std::move(request));
  if (!renderer.WaitForFrame(std::chrono::seconds(20))) qWarning("no frame within 20 s");
  std::optional<TraceFrame> frame = renderer.Take();
  return frame ? std::move(*frame) : TraceFrame{};
}

// The pixels that differ, but in the first columns of the rectangles (where
// a line moved on comes in from the last point left of the window, and one
// drawn afresh starts at the first reply inside it).
int Differences(const QImage& a, const QImage& b, const TraceFrameRequest& layout) {
  if (a.size() != b.size()) return -1;
  int differ = 0;
  for (const QRect& rect : layout.rects) {
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
      for (int x = rect.left() + 2; x <= rect.right(); ++x) differ += a.pixel(x, y) != b.pixel(x, y) ? 1 : 0;
    }
  }
  return differ;
}

}  // namespace

class TraceRendererTest : public QObject {
  Q_OBJECT

 private slots:
  void moved_on_it_is_the_picture_drawn_whole_data() {
    QTest::addColumn<bool>("rolling");
    QTest::addColumn<bool>("autoscale");
    QTest::addColumn<double>("growth");  // of the amplitude per frame
    QTest::addColumn<bool>("moves_on");
    // The live window rolling on by whole columns, its ranges fixed.
    QTest::newRow("rolling, fixed ranges") << true << false << 0.0 << true;
    // Autoscaled to a steady signal: the ranges stay, the picture moves on.
    QTest::newRow("rolling, autoscaled") << true << true << 0.0 << true;
    // A growing signal: the ranges change every frame, all drawn again.
    QTest::newRow("rolling, ranges changing") << true << true << 1.5 << false;
    // Captured on GO: the window stays, new replies come into it.
    QTest::newRow("captured") << false << false << 0.0 << true;
  }
  void moved_on_it_is_the_picture_drawn_whole() {
    QFETCH(bool, rolling);
    QFETCH(bool, autoscale);
    QFETCH(double, growth);
    QFETCH(bool, moves_on);
    Replies replies;
    double amplitude = 40;
    replies.Add(rolling ? 300 : 50, amplitude);
    const std::int64_t captured_from = replies.NowUs() - 200'000;
    TraceRenderer renderer(2, scope::ScopeRecorder::kSamplesPerAxis, nullptr);
    auto from = [&] { return rolling ? replies.NowUs() - kSpanUs : captured_from; };
    TraceFrame frame = Draw(renderer, replies, Request(from(), rolling, autoscale));
    QVERIFY(!frame.image.isNull());
    int moved_on = 0;
    for (int k = 0; k < 40; ++k) {
      amplitude += growth;
      replies.Add(1 + k % 5, amplitude);  // a column or two, or part of one
      frame = Draw(renderer, replies, Request(from(), rolling, autoscale));
      moved_on += frame.whole ? 0 : 1;
      // The window asked for, or up to a column later.
      QVERIFY(frame.from_us >= from() && frame.from_us < from() + kSpanUs / 100);
      QCOMPARE(frame.to_us - frame.from_us, kSpanUs);
    }
    QCOMPARE(moved_on >= 35, moves_on);

    // The same window drawn whole by a renderer that never drew before.
    TraceRenderer fresh(2, scope::ScopeRecorder::kSamplesPerAxis, nullptr);
    const TraceFrame whole = Draw(fresh, replies, Request(frame.from_us, false, autoscale));
    QVERIFY(whole.whole);
    QCOMPARE(whole.from_us, frame.from_us);
    for (std::size_t u = 0; u < frame.position.size(); ++u) {
      QCOMPARE(frame.position[u].lower, whole.position[u].lower);
      QCOMPARE(frame.position[u].upper, whole.position[u].upper);
    }
    QCOMPARE(Differences(frame.image, whole.image, Request(0, false, false)), 0);
  }
};

STAGE_UI_TEST_MAIN(TraceRendererTest)
#include "trace_renderer_test.moc"
