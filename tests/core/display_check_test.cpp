// Why: without a display Qt's own platforms end the console with SIGABRT and
// advise reinstalling it; the check before Qt must see every session the
// console can really have, or it would refuse a working desktop.
#include "app/display_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace stage::app {
namespace {

using testing::HasSubstr;

struct Session {
  const char* name;
  std::map<std::string, std::string> variables;
  std::set<std::string> x_servers;        // DISPLAY values that answer
  std::set<std::string> wayland_sockets;  // socket paths that answer
  const char* reason;                     // "" when the console may start
};

std::string CaseName(const testing::TestParamInfo<Session>& row) { return row.param.name; }

class DisplayCheckTest : public testing::TestWithParam<Session> {};

TEST_P(DisplayCheckTest, StartsOnlyWhereAPlatformCanBeHad) {
  const Session& session = GetParam();
  DisplayEnvironment environment;
  environment.variable = [&session](const char* name) -> std::optional<std::string> {
    const auto found = session.variables.find(name);
    if (found == session.variables.end()) return std::nullopt;
    return found->second;
  };
  environment.x_server_answers = [&session](const std::string& display) {
    return session.x_servers.count(display) != 0;
  };
  environment.wayland_answers = [&session](const std::string& path) {
    return session.wayland_sockets.count(path) != 0;
  };
  EXPECT_EQ(NoDisplayReason(environment), session.reason);
}

const std::string kRun = "/run/user/1000";

INSTANTIATE_TEST_SUITE_P(
    Sessions, DisplayCheckTest,
    testing::Values(
        Session{"TextConsole", {}, {}, {}, "DISPLAY is not set, XDG_RUNTIME_DIR is not set"},
        Session{"SshLogin", {{"XDG_RUNTIME_DIR", kRun}}, {}, {}, "DISPLAY is not set, WAYLAND_DISPLAY is not set"},
        Session{"X11Desktop", {{"DISPLAY", ":0"}}, {":0"}, {}, ""},
        Session{"SshWithXForwarding", {{"DISPLAY", "localhost:10.0"}}, {"localhost:10.0"}, {}, ""},
        Session{"XServerGone",
                {{"DISPLAY", ":1"}},
                {":0"},
                {},
                "no X server answers at DISPLAY :1, XDG_RUNTIME_DIR is not set"},
        Session{"WaylandDesktop",
                {{"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", kRun}},
                {},
                {kRun + "/wayland-0"},
                ""},
        Session{"WaylandDefaultSocket", {{"XDG_RUNTIME_DIR", kRun}}, {}, {kRun + "/wayland-0"}, ""},
        Session{"WaylandAbsoluteSocket", {{"WAYLAND_DISPLAY", "/tmp/w"}}, {}, {"/tmp/w"}, ""},
        Session{"WaylandSocketHandedOver", {{"WAYLAND_SOCKET", "5"}}, {}, {}, ""},
        Session{"AskedForX11OnWayland",
                {{"QT_QPA_PLATFORM", "xcb"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"XDG_RUNTIME_DIR", kRun}},
                {},
                {kRun + "/wayland-0"},
                "DISPLAY is not set"},
        Session{
            "AskedForWaylandThenX11", {{"QT_QPA_PLATFORM", "wayland;xcb:nograb"}, {"DISPLAY", ":0"}}, {":0"}, {}, ""},
        Session{"Offscreen", {{"QT_QPA_PLATFORM", "offscreen"}}, {}, {}, ""},
        Session{"EmptyPlatformMeansTheDefault",
                {{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ""}},
                {},
                {},
                "DISPLAY is not set, XDG_RUNTIME_DIR is not set"}),
    CaseName);

TEST(NoDisplayMessageTest, SaysWhatTheConsoleNeedsAndWhatWorksWithout) {
  const std::string message = NoDisplayMessage("DISPLAY is not set");
  EXPECT_THAT(message, HasSubstr("DISPLAY is not set"));
  EXPECT_THAT(message, HasSubstr("needs a desktop session, X11 or Wayland"));
  EXPECT_THAT(message, HasSubstr("--list-devices needs no display"));
  EXPECT_THAT(message, testing::Not(HasSubstr("einstall")));
}

}  // namespace
}  // namespace stage::app
