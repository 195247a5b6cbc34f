// The operator's level commands (GO, STOP, ZERO, Rel) as they reach the
// controllers. A level bit goes out in every packet of its axis while it is
// set; a press and release handled back to back, with no packet of the axis
// between them, would never be sent. The latch holds such a release (and the
// click that comes with it) until one packet of the axis has carried the bit,
// so a quick click gives the controller the same packets as a button held over
// one tick. A button held longer behaves exactly as without the latch.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "stage/axis/modKVT_USB.h"

namespace stage {

enum class LevelCommand : std::uint8_t { kGo, kStop, kZero, kRelMove };

// Who holds a level bit up. A bit set by nobody (Enter in the target box, the
// polling cycle's cancel-on-error) stays until some holder's release.
enum class CommandHolder : std::uint8_t {
  kNone = 0,
  kControl = 1,  // the axis's own button (mouse, or Space on Rel)
  kEscape = 2,   // Esc, held for every axis
  kRequest = 4,  // a move or stop requested by another source than the operator (the Scope's step test)
};

class CommandLatches {
 public:
  explicit CommandLatches(modKVT_USB& tables) : tables_(tables) {}

  // One latch per axis of the allocated tables.
  void Allocate();

  // The bit goes up now, held by `holder`; from here it must travel in at
  // least one packet of the axis before a release may clear it.
  void Press(AxisIndex axis, LevelCommand command, CommandHolder holder);
  // `holder` lets go. When no holder is left the bit is cleared, at once if
  // a packet of the axis has carried it since it went up, otherwise right
  // after the next packet.
  void Release(AxisIndex axis, LevelCommand command, CommandHolder holder);
  // The click of GO or Rel: position mode, speed mode off. It waits with a
  // release of the same button that waits, so the mode changes in the packet
  // after the one that carried the command, as for a held button.
  void Click(AxisIndex axis, LevelCommand command);
  // A click on the axis's Speed slider: speed mode on, after a waiting click.
  void SpeedModeClick(AxisIndex axis);
  // STOP pressed: speed mode off at once, and a waiting Speed-slider click
  // is dropped (it came before the STOP).
  void SpeedModeOff(AxisIndex axis);

  // A packet of `axis` has gone out with the bits as they stand: what waited
  // for it takes effect now.
  void PacketSent(AxisIndex axis);

  // True while something of the axis waits for its next packet.
  bool Waiting(AxisIndex axis) const;

 private:
  static constexpr std::size_t kCommands = 4;
  struct AxisLatch {
    std::array<std::uint8_t, kCommands> holders{};       // CommandHolder bits
    std::array<bool, kCommands> unsent{};                // set since the last packet
    std::array<bool, kCommands> release_waiting{};
    bool click_waiting = false;
    bool speed_click_waiting = false;
  };

  std::uint8_t& Bit(AxisIndex axis, LevelCommand command);
  static std::uint8_t Value(LevelCommand command);
  AxisLatch& Latch(AxisIndex axis) { return axes_.at(static_cast<std::size_t>(axis)); }

  modKVT_USB& tables_;
  std::vector<AxisLatch> axes_;
};

}  // namespace stage
