// The command line and the scenario text meet whatever an operator or a
// script passes. This target splits the input into words at zero bytes and
// checks that parsing never fails, that every refusal says why, that an
// accepted --simulate count is in range, and that an accepted scenario
// applies to a simulator configuration (the same text is also played on its
// own, as --scenario would give it).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "stage/sim/scenario.h"

namespace {

[[noreturn]] void Fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "%s\n  input (%zu bytes): \"%.*s\"\n", what, input.size(),
               static_cast<int>(input.size() > 200 ? 200 : input.size()), input.data());
  std::abort();
}

void PlayScenario(const std::string& spec, std::string_view input) {
  stage::sim::SimulatorConfig config;
  config.controller_count = 3;
  std::string error;
  const auto played = stage::sim::ApplyScenario(spec, config, error);
  if (!played && error.empty()) Fail("a refused scenario without a reason", input);
  if (played && played->controller_count != 3) Fail("a scenario changed the controller count", input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> words(1);
  for (const char c : input) {
    if (c == '\0') {
      words.emplace_back();
    } else {
      words.back() += c;
    }
  }

  const stage::app::CommandLine line = stage::app::ParseCommandLine(words);
  using Action = stage::app::CommandLine::Action;
  if (line.action == Action::kError && line.error.empty()) Fail("a refusal without a reason", input);
  if (line.action != Action::kError && !line.error.empty()) Fail("an error on an accepted line", input);
  if ((line.action == Action::kRun || line.action == Action::kRenderWindows) &&
      line.backend == stage::app::CommandLine::Backend::kSimulated &&
      (line.simulated_count < 1 || line.simulated_count > stage::app::kMaxSimulatedControllers)) {
    Fail("a simulated count out of range was accepted", input);
  }
  if (line.action != Action::kError && !line.scenario.empty()) PlayScenario(line.scenario, input);
  PlayScenario(std::string(input), input);
  return 0;
}
