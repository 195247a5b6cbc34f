// Why this exists: an operator types a scenario on the command line to see a
// fault without hardware; each documented scenario must set up exactly that
// fault, and a mistyped one must be refused with a message naming the mistake.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "stage/sim/scenario.h"
#include "stage/sim/servo_axis_model.h"
#include "stage/sim/simulated_controllers.h"
#include "stage/usb/packet_codec.h"

namespace stage::sim {
namespace {

using namespace std::chrono_literals;
using Kind = TransferFault::Kind;

SimulatorConfig ThreeControllers() {
  SimulatorConfig config;
  config.controller_count = 3;
  return config;
}

struct FaultCase {
  const char* spec;
  TransferOp op;
  Kind kind;
  int status;  // for kStatus
  std::uint32_t count;
  std::optional<std::uint32_t> device;
  Nanoseconds after;
  friend void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.spec; }
};

class TransferScenarioTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(TransferScenarioTest, BecomesOneLastingTransferFault) {
  const FaultCase& param = GetParam();
  std::string error = "untouched";
  const std::optional<SimulatorConfig> config = ApplyScenario(param.spec, ThreeControllers(), error);
  ASSERT_TRUE(config.has_value()) << error;
  EXPECT_EQ(error, "untouched");
  ASSERT_EQ(config->transfer_faults.size(), 1u);
  const TransferFault& fault = config->transfer_faults[0];
  EXPECT_EQ(fault.op, param.op);
  EXPECT_EQ(fault.kind, param.kind);
  if (param.kind == Kind::kStatus) {
    EXPECT_EQ(fault.status, param.status);
  }
  EXPECT_EQ(fault.count, param.count);
  EXPECT_EQ(fault.device, param.device);
  EXPECT_EQ(fault.after, param.after);
  EXPECT_TRUE(fault.repeat);
  if (param.kind == Kind::kVerbatimReply) {
    EXPECT_FALSE(usb::DecodeStatus(fault.reply).has_value());
  }
  EXPECT_TRUE(config->axis_wiring.empty());
}

constexpr auto W = TransferOp::kWrite;
constexpr auto R = TransferOp::kRead;

INSTANTIATE_TEST_SUITE_P(
    Scenarios, TransferScenarioTest,
    ::testing::Values(
        FaultCase{"silent:axis=1:after=5", R, Kind::kTimeout, 0, 0, 1, 5s},
        FaultCase{"silent", R, Kind::kTimeout, 0, 0, std::nullopt, 0s},
        FaultCase{"write-fail:axis=0:after=3", W, Kind::kStatus, usb::SI_WRITE_ERROR, 0, 0, 3s},
        FaultCase{"read-fail:after=2.5:axis=2", R, Kind::kStatus, usb::SI_READ_ERROR, 0, 2, 2500ms},
        FaultCase{"short-write:axis=1", W, Kind::kShortCount, 0, 6, 1, 0s},
        FaultCase{"short-read:bytes=11", R, Kind::kShortCount, 0, 11, std::nullopt, 0s},
        FaultCase{"short-read:bytes=0:after=0.01", R, Kind::kShortCount, 0, 0, std::nullopt, 10ms},
        FaultCase{"bad-reply:axis=2:after=1", R, Kind::kVerbatimReply, 0, 0, 2, 1s}));

TEST(ScenarioTest, StartUpFaults) {
  std::string error;
  const std::optional<SimulatorConfig> open = ApplyScenario("open-fail:axis=2", ThreeControllers(), error);
  ASSERT_TRUE(open.has_value()) << error;
  ASSERT_EQ(open->open_failures.size(), 1u);
  EXPECT_EQ(open->open_failures[0].device, 2u);
  EXPECT_NE(open->open_failures[0].status, usb::SI_SUCCESS);

  const std::optional<SimulatorConfig> all = ApplyScenario("open-fail", ThreeControllers(), error);
  ASSERT_TRUE(all.has_value()) << error;
  EXPECT_EQ(all->open_failures.size(), 3u);

  const std::optional<SimulatorConfig> count = ApplyScenario("count-fail", ThreeControllers(), error);
  ASSERT_TRUE(count.has_value()) << error;
  ASSERT_TRUE(count->count_status.has_value());
  EXPECT_NE(*count->count_status, usb::SI_SUCCESS);
}

TEST(ScenarioTest, WiringScenariosCombineAndKeepTheRestOfTheBase) {
  SimulatorConfig base = ThreeControllers();
  base.product_strings = {"Left"};
  std::string error;
  const std::optional<SimulatorConfig> config =
      ApplyScenario("polarity:axis=2,limits:axis=2,limits:axis=0,silent:axis=1", base, error);
  ASSERT_TRUE(config.has_value()) << error;
  ASSERT_EQ(config->axis_wiring.size(), 3u);

  ServoWiring short_reversed = ShortTravelWiring();
  short_reversed.motor_reversed = true;
  EXPECT_EQ(config->axis_wiring[0], ShortTravelWiring());
  EXPECT_EQ(config->axis_wiring[1], ServoWiring{});
  EXPECT_EQ(config->axis_wiring[2], short_reversed);
  EXPECT_EQ(config->transfer_faults.size(), 1u);
  EXPECT_EQ(config->product_strings, base.product_strings);
  EXPECT_EQ(config->controller_count, 3u);

  const std::optional<SimulatorConfig> every = ApplyScenario("polarity", base, error);
  ASSERT_TRUE(every.has_value()) << error;
  for (const ServoWiring& wiring : every->axis_wiring) EXPECT_TRUE(wiring.motor_reversed);
}

struct RefusedCase {
  const char* spec;
  const char* message_part;
  friend void PrintTo(const RefusedCase& c, std::ostream* out) { *out << '"' << c.spec << '"'; }
};

class RefusedScenarioTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedScenarioTest, IsRefusedWithAMessage) {
  std::string error;
  EXPECT_FALSE(ApplyScenario(GetParam().spec, ThreeControllers(), error).has_value());
  EXPECT_NE(error.find(GetParam().message_part), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Mistakes, RefusedScenarioTest,
    ::testing::Values(RefusedCase{"", "empty scenario (known: silent, write-fail"},
                      RefusedCase{"sleepy", "unknown scenario 'sleepy'"},
                      RefusedCase{"Silent", "unknown scenario 'Silent'"},
                      RefusedCase{"silent,", "empty item"},
                      RefusedCase{"silent:axis=3", "there is no axis 3 (3 controllers"},
                      RefusedCase{"silent:axis=-1", "axis must be a controller number, not '-1'"},
                      RefusedCase{"silent:axis=1x", "not '1x'"},
                      RefusedCase{"silent:axis=", "not ''"},
                      RefusedCase{"silent:axis", "expected key=value, not 'axis'"},
                      RefusedCase{"silent:axis=1:axis=2", "'axis' given twice"},
                      RefusedCase{"silent:after=-1", "after must be seconds"},
                      RefusedCase{"silent:after=1e3", "not '1e3'"},
                      RefusedCase{"silent:after=nan", "not 'nan'"},
                      RefusedCase{"silent:after=2000000", "after must be seconds"},
                      RefusedCase{"short-read:bytes=12", "bytes must be 0 to 11"},
                      RefusedCase{"silent:bytes=3", "scenario 'silent': no option 'bytes'"},
                      RefusedCase{"open-fail:after=1", "no option 'after'"},
                      RefusedCase{"count-fail:axis=0", "no option 'axis'"},
                      RefusedCase{"limits:speed=3", "no option 'speed'"}));

TEST(ScenarioTest, WiringNeedsTheBuiltInModel) {
  SimulatorConfig base = ThreeControllers();
  base.model_factory = [](std::uint32_t) { return std::make_unique<SimpleAxisModel>(); };
  std::string error;
  EXPECT_FALSE(ApplyScenario("limits", base, error).has_value());
  EXPECT_EQ(error, "scenario 'limits' needs the built-in servo model");
  EXPECT_TRUE(ApplyScenario("silent", std::move(base), error).has_value());
}

// The operator's example, played: controller 1 answers until 5 s after the
// controllers were opened, then every read waits its time-out and fails.
TEST(ScenarioTest, SilentControllerStopsAnsweringAfterItsTime) {
  std::string error;
  std::optional<SimulatorConfig> config = ApplyScenario("silent:axis=1:after=5", ThreeControllers(), error);
  ASSERT_TRUE(config.has_value()) << error;
  auto clock = std::make_shared<ManualClock>();
  SimulatedControllers sim(std::move(*config), clock);
  sim.SetTimeouts(10000, 10000);
  std::vector<usb::Handle> handles(3);
  for (std::uint32_t device = 0; device < 3; ++device) ASSERT_EQ(sim.Open(device, handles[device]), 0);

  const auto exchange = [&](std::uint32_t device) {
    usb::CommandFields fields;
    fields.control_byte = usb::kActiveBit;
    const usb::Packet packet = *usb::EncodeCommand(fields).packet;
    usb::Packet reply{};
    std::uint32_t count = 0;
    EXPECT_EQ(sim.Write(handles[device], packet.data(), 12, count), usb::SI_SUCCESS);
    return sim.Read(handles[device], reply.data(), 12, count);
  };
  clock->Advance(4990ms);
  EXPECT_EQ(exchange(1), usb::SI_SUCCESS);
  clock->Advance(10ms);
  EXPECT_EQ(exchange(0), usb::SI_SUCCESS);
  const Nanoseconds before = clock->Now();
  EXPECT_EQ(exchange(1), usb::SI_READ_TIMED_OUT);
  EXPECT_EQ(clock->Now() - before, 10s);
  EXPECT_EQ(exchange(1), usb::SI_READ_TIMED_OUT);
  EXPECT_EQ(exchange(2), usb::SI_SUCCESS);
}

}  // namespace
}  // namespace stage::sim
