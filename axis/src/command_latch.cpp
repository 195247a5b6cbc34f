#include "stage/axis/command_latch.h"

#include <stdexcept>

#include "stage/usb/packet_codec.h"

namespace stage {

void CommandLatches::Allocate() {
  if (!tables_.TablesAllocated()) throw std::logic_error("CommandLatches: axis tables not allocated");
  axes_.assign(tables_.GoBit.size(), AxisLatch{});
}

std::uint8_t& CommandLatches::Bit(AxisIndex axis, LevelCommand command) {
  const auto k = static_cast<std::size_t>(axis);
  switch (command) {
    case LevelCommand::kGo:
      return tables_.GoBit.at(k);
    case LevelCommand::kStop:
      return tables_.StopBit.at(k);
    case LevelCommand::kZero:
      return tables_.ZeroBit.at(k);
    case LevelCommand::kRelMove:
      break;
  }
  return tables_.RelMoveBit.at(k);
}

std::uint8_t CommandLatches::Value(LevelCommand command) {
  switch (command) {
    case LevelCommand::kGo:
      return usb::kGoBit;
    case LevelCommand::kStop:
      return usb::kStopBit;
    case LevelCommand::kZero:
      return usb::kZeroBit;
    case LevelCommand::kRelMove:
      break;
  }
  return usb::kRelMoveBit;
}

void CommandLatches::Press(AxisIndex axis, LevelCommand command, CommandHolder holder) {
  AxisLatch& latch = Latch(axis);
  const auto c = static_cast<std::size_t>(command);
  latch.holders[c] |= static_cast<std::uint8_t>(holder);
  latch.unsent[c] = true;
  latch.release_waiting[c] = false;  // held again
  Bit(axis, command) = Value(command);
}

void CommandLatches::Release(AxisIndex axis, LevelCommand command, CommandHolder holder) {
  AxisLatch& latch = Latch(axis);
  const auto c = static_cast<std::size_t>(command);
  latch.holders[c] &= static_cast<std::uint8_t>(~static_cast<unsigned>(holder));
  if (latch.holders[c] != 0) return;
  if (latch.unsent[c]) {
    latch.release_waiting[c] = true;
  } else {
    Bit(axis, command) = 0;
  }
}

void CommandLatches::Click(AxisIndex axis, LevelCommand command) {
  AxisLatch& latch = Latch(axis);
  if (latch.release_waiting[static_cast<std::size_t>(command)] || latch.click_waiting) {
    latch.click_waiting = true;
    return;
  }
  const auto k = static_cast<std::size_t>(axis);
  tables_.PositionModeBit.at(k) = usb::kPositionModeBit;
  tables_.SpeedModeBit.at(k) = 0;
}

void CommandLatches::SpeedModeClick(AxisIndex axis) {
  AxisLatch& latch = Latch(axis);
  if (latch.click_waiting) {
    latch.speed_click_waiting = true;
    return;
  }
  tables_.SpeedModeBit.at(static_cast<std::size_t>(axis)) = usb::kSpeedModeBit;
}

void CommandLatches::SpeedModeOff(AxisIndex axis) {
  Latch(axis).speed_click_waiting = false;
  tables_.SpeedModeBit.at(static_cast<std::size_t>(axis)) = 0;
}

void CommandLatches::PacketSent(AxisIndex axis) {
  AxisLatch& latch = Latch(axis);
  for (std::size_t c = 0; c < kCommands; ++c) {
    latch.unsent[c] = false;
    if (latch.release_waiting[c]) {
      latch.release_waiting[c] = false;
      Bit(axis, static_cast<LevelCommand>(c)) = 0;
    }
  }
  const auto k = static_cast<std::size_t>(axis);
  if (latch.click_waiting) {
    latch.click_waiting = false;
    tables_.PositionModeBit.at(k) = usb::kPositionModeBit;
    tables_.SpeedModeBit.at(k) = 0;
  }
  if (latch.speed_click_waiting) {
    latch.speed_click_waiting = false;
    tables_.SpeedModeBit.at(k) = usb::kSpeedModeBit;
  }
}

bool CommandLatches::Waiting(AxisIndex axis) const {
  const AxisLatch& latch = axes_.at(static_cast<std::size_t>(axis));
  for (bool waiting : latch.release_waiting) {
    if (waiting) return true;
  }
  return latch.click_waiting || latch.speed_click_waiting;
}

}  // namespace stage
