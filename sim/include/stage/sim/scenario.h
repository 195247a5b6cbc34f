// Operator scenarios for the simulated controllers: a short text names a
// fault or a peculiar stage, so that an operator can see the console's fatal
// messages, a runaway or the limit switches without hardware or a test.
//
//   SPEC  = ITEM { "," ITEM }
//   ITEM  = NAME { ":" KEY "=" VALUE }
//
// kScenarioUsage below is the operator's description of every NAME and KEY.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "stage/sim/simulated_controllers.h"

namespace stage::sim {

// The option's lines for the program's --help, in its Options list.
inline constexpr std::string_view kScenarioUsage =
    "  --scenario SPEC          with --simulate: play a scenario on the simulated\n"
    "                           controllers. SPEC is one or more items separated by\n"
    "                           commas, each a name with :key=value options;\n"
    "                           axis=N is a controller number from 0 (default:\n"
    "                           every controller); after=S, for silent to\n"
    "                           bad-reply, the seconds since the controllers were\n"
    "                           opened (default 0):\n"
    "                             silent       reads time out: the controller stops\n"
    "                                          answering\n"
    "                             write-fail   writes fail\n"
    "                             read-fail    reads fail\n"
    "                             short-write  writes report B of 12 bytes\n"
    "                                          (bytes=B, default 6)\n"
    "                             short-read   reads return B of 12 bytes\n"
    "                                          (bytes=B, default 6)\n"
    "                             bad-reply    replies that do not decode\n"
    "                             open-fail    opening the controller fails\n"
    "                             count-fail   counting the controllers fails\n"
    "                             polarity     the motor is wired reversed: the axis\n"
    "                                          runs away unless \"Reverse Motor\n"
    "                                          Polarity\" is ticked\n"
    "                             limits       short travel: limit switches 1 mm\n"
    "                                          either side of the start\n"
    "                           e.g. --scenario polarity:axis=2,silent:axis=1:after=5\n";

// `base` with the scenario applied, or empty with `error` saying what is wrong
// in `spec` (error is left alone on success). An axis must be below
// base.controller_count. Transfer faults keep firing once they have started.
std::optional<SimulatorConfig> ApplyScenario(std::string_view spec, SimulatorConfig base,
                                             std::string& error);

}  // namespace stage::sim
