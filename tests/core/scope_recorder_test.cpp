// Why: the Scope draws only what the recorder kept; the rings must keep the
// newest samples in order once they wrap, and a move's figures must come from
// the packets that went out, not from anything the windows show.
#include "stage/scope/scope_recorder.h"

#include <gtest/gtest.h>

#include <span>

namespace stage::scope {
namespace {

TEST(Ring, KeepsTheNewestInOrderOnceItWraps) {
  Ring<int> ring(4);
  for (int i = 1; i <= 6; ++i) ring.Push(i);
  ASSERT_EQ(ring.Size(), 4U);
  EXPECT_EQ(ring[0], 3);
  EXPECT_EQ(ring[3], 6);
  EXPECT_EQ(ring.Newest(), 6);
  ring.Clear();
  ring.Push(9);
  EXPECT_EQ(ring[0], 9);
  EXPECT_EQ(ring.Size(), 1U);
}

usb::Packet Command(std::uint8_t control, double target) {
  usb::CommandFields fields;
  fields.control_byte = control;
  fields.target_counts = target;
  return *usb::EncodeCommand(fields).packet;
}

poll::ExchangeResult Reply(std::int32_t position, std::int32_t ideal, std::uint8_t flags) {
  poll::ExchangeResult result;
  result.reading = {position, ideal, flags};
  return result;
}

TEST(ScopeRecorder, RecordsRepliesPerAxisAndTheMovesTheCommandsStart) {
  std::chrono::nanoseconds now{std::chrono::seconds(5)};
  ScopeRecorder recorder(2, [&] { return now; }, StepSettings{4, 20'000, 1'000'000, 1, 20'000});
  constexpr std::uint8_t kActive = usb::kActiveBit;
  auto exchange = [&](AxisIndex axis, std::uint8_t control, double target, std::int32_t position,
                      std::uint8_t flags) {
    recorder.OnExchange(axis, Command(control, target), usb::Packet{}, Reply(position, static_cast<std::int32_t>(target), flags));
  };
  exchange(1, kActive, 0, 0, 0);
  now += std::chrono::milliseconds(10);
  exchange(1, kActive | usb::kGoBit, 400, 0, usb::kFlagBusy);
  for (std::int32_t p : {200, 400, 400, 400}) {
    now += std::chrono::milliseconds(10);
    exchange(1, kActive, 400, p, 0);
  }
  // A failed exchange has no reply to draw.
  poll::ExchangeResult failed;
  failed.outcome = poll::ExchangeResult::Outcome::kReadFailed;
  recorder.OnExchange(1, Command(kActive, 400), usb::Packet{}, failed);

  EXPECT_EQ(recorder.Samples(0).Size(), 0U);
  const Ring<ScopeSample>& samples = recorder.Samples(1);
  ASSERT_EQ(samples.Size(), 6U);
  EXPECT_EQ(samples[0].time_us, 0);
  EXPECT_EQ(samples.Newest().time_us, 50'000);
  EXPECT_EQ(samples[1].flags, usb::kFlagBusy);
  EXPECT_EQ(recorder.SampleCount(), 6U);

  ASSERT_EQ(recorder.Moves(1).Size(), 1U);
  const StepFigures& move = recorder.Moves(1).Newest();
  EXPECT_EQ(move.end, StepFigures::End::kSettled);
  EXPECT_EQ(move.start_us, 10'000);
  EXPECT_EQ(move.target_counts, 400);
  EXPECT_EQ(move.settling_time_us, 20'000);
  EXPECT_EQ(recorder.MoveCount(), 1U);
  EXPECT_FALSE(recorder.MoveInProgress(1).has_value());
}

}  // namespace
}  // namespace stage::scope
