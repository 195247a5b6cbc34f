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

inline constexpr std::string_view kScenarioUsage =
    "--scenario SPEC   play a scenario on the simulated controllers (with --simulate).\n"
    "  SPEC is one or more items separated by commas; an item is a name followed by\n"
    "  :key=value options. axis=N is a controller number from 0 (default: every\n"
    "  controller); after=S is seconds since the controllers were opened (default 0).\n"
    "    silent[:axis=N][:after=S]        reads time out (the controller stops answering)\n"
    "    write-fail[:axis=N][:after=S]    writes fail (write error, 0 bytes)\n"
    "    read-fail[:axis=N][:after=S]     reads fail (read error, 0 bytes)\n"
    "    short-write[:axis=N][:after=S][:bytes=B]  writes report B of 12 bytes (default 6)\n"
    "    short-read[:axis=N][:after=S][:bytes=B]   reads return B of 12 bytes (default 6)\n"
    "    bad-reply[:axis=N][:after=S]     replies that cannot be decoded\n"
    "    open-fail[:axis=N]               opening the controller fails\n"
    "    count-fail                       counting the controllers fails\n"
    "    polarity[:axis=N]                motor wired reversed: the axis runs away unless\n"
    "                                     \"Reverse Motor Polarity\" is ticked\n"
    "    limits[:axis=N]                  short travel: limit switches 1 mm either side\n"
    "  Example: --scenario polarity:axis=2,silent:axis=1:after=5\n";

// `base` with the scenario applied, or empty with `error` saying what is wrong
// in `spec` (error is left alone on success). An axis must be below
// base.controller_count. Transfer faults keep firing once they have started.
std::optional<SimulatorConfig> ApplyScenario(std::string_view spec, SimulatorConfig base,
                                             std::string& error);

}  // namespace stage::sim
