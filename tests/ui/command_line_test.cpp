// Why this exists: the command line is the operator's only way to pick the
// hardware; a wrong reading starts the console on the wrong backend or lets
// a bad option through to a window.
#include <QRegularExpression>
#include <QTest>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "tests/ui/ui_test_main.h"

using stage::app::CommandLine;
using stage::app::ParseCommandLine;

Q_DECLARE_METATYPE(CommandLine::Action)
Q_DECLARE_METATYPE(CommandLine::Backend)

class CommandLineTest : public QObject {
  Q_OBJECT

 private slots:
  void parse_data();
  void parse();
  void scenarioIsKeptForTheSimulator();
  void scopeAndTraceGoWithAnyBackend();
  void profileOptionsGoWithAnyBackend();
  void versionIsInTheGnuForm();
  void usbIdsAreKeptInOrder();
  void help_names_the_stop_key();
  void controlOptions_data();
  void controlOptions();
};

void CommandLineTest::parse_data() {
  QTest::addColumn<QStringList>("arguments");
  QTest::addColumn<CommandLine::Action>("action");
  QTest::addColumn<CommandLine::Backend>("backend");
  QTest::addColumn<int>("count");
  QTest::addColumn<QString>("library");
  QTest::addColumn<QString>("render_dir");
  QTest::addColumn<QString>("error_mentions");

  using A = CommandLine::Action;
  using B = CommandLine::Backend;
  const QString vendor = QStringLiteral("libSiUSBXp.so");
  QTest::newRow("nothing: native USB") << QStringList{} << A::kRun << B::kNativeUsb << 0 << vendor << "" << "";
  QTest::newRow("usb id") << QStringList{"--usb-id", "10c4:ea61"} << A::kRun << B::kNativeUsb << 0 << vendor << ""
                          << "";
  QTest::newRow("list devices") << QStringList{"--list-devices"} << A::kListDevices << B::kNativeUsb << 0 << vendor
                                << "" << "";
  QTest::newRow("list devices, usb id") << QStringList{"--usb-id=1234:5", "--list-devices"} << A::kListDevices
                                        << B::kNativeUsb << 0 << vendor << "" << "";
  QTest::newRow("simulate 3") << QStringList{"--simulate", "3"} << A::kRun << B::kSimulated << 3 << vendor << "" << "";
  QTest::newRow("simulate=32") << QStringList{"--simulate=32"} << A::kRun << B::kSimulated << 32 << vendor << "" << "";
  QTest::newRow("library path") << QStringList{"--device-library", "/opt/x/libfake.so"} << A::kRun
                                << B::kSharedLibrary << 0 << "/opt/x/libfake.so" << "" << "";
  QTest::newRow("render, 3 by default") << QStringList{"--render-windows", "out"} << A::kRenderWindows
                                        << B::kSimulated << 3 << vendor << "out" << "";
  QTest::newRow("render with simulate 5") << QStringList{"--simulate", "5", "--render-windows=pics"}
                                          << A::kRenderWindows << B::kSimulated << 5 << vendor << "pics" << "";
  QTest::newRow("help wins") << QStringList{"--simulate", "3", "--help", "--bogus"} << A::kHelp
                             << B::kSimulated << 3 << vendor << "" << "";
  QTest::newRow("version") << QStringList{"-v"} << A::kVersion << B::kNativeUsb << 0 << vendor << "" << "";

  QTest::newRow("simulate 0") << QStringList{"--simulate", "0"} << A::kError << B::kSharedLibrary << 0 << vendor
                              << "" << "from 1 to 32";
  QTest::newRow("simulate 33") << QStringList{"--simulate", "33"} << A::kError << B::kSharedLibrary << 0 << vendor
                               << "" << "'33'";
  QTest::newRow("simulate not a number") << QStringList{"--simulate", "3x"} << A::kError << B::kSharedLibrary << 0
                                         << vendor << "" << "'3x'";
  QTest::newRow("simulate negative") << QStringList{"--simulate=-1"} << A::kError << B::kSharedLibrary << 0 << vendor
                                     << "" << "'-1'";
  QTest::newRow("missing value") << QStringList{"--device-library"} << A::kError << B::kSharedLibrary << 0 << vendor
                                 << "" << "--device-library needs a value";
  QTest::newRow("both backends") << QStringList{"--simulate", "2", "--device-library", "a.so"} << A::kError
                                 << B::kSharedLibrary << 0 << vendor << "" << "exclude each other";
  QTest::newRow("render on a library") << QStringList{"--render-windows", "d", "--device-library", "a.so"}
                                       << A::kError << B::kSharedLibrary << 0 << vendor << "" << "--render-windows";
  QTest::newRow("twice") << QStringList{"--simulate", "2", "--simulate", "3"} << A::kError << B::kSharedLibrary << 0
                         << vendor << "" << "more than once";
  QTest::newRow("unknown option") << QStringList{"--simulated", "2"} << A::kError << B::kSharedLibrary << 0 << vendor
                                  << "" << "unknown option '--simulated'";
  QTest::newRow("stray word") << QStringList{"3"} << A::kError << B::kSharedLibrary << 0 << vendor << ""
                              << "unexpected argument '3'";
  QTest::newRow("scenario on simulated") << QStringList{"--simulate", "2", "--scenario", "silent:axis=1"} << A::kRun
                                         << B::kSimulated << 2 << vendor << "" << "";
  QTest::newRow("scenario without simulate") << QStringList{"--scenario=silent"} << A::kError << B::kSharedLibrary
                                             << 0 << vendor << "" << "give --simulate N too";
  QTest::newRow("scope twice") << QStringList{"--scope", "--scope"} << A::kError << B::kSharedLibrary << 0 << vendor
                               << "" << "--scope is given more than once";
  QTest::newRow("scope takes no value") << QStringList{"--scope=yes"} << A::kError << B::kSharedLibrary << 0
                                        << vendor << "" << "unknown option '--scope=yes'";
  QTest::newRow("trace without a file") << QStringList{"--trace"} << A::kError << B::kSharedLibrary << 0 << vendor
                                        << "" << "--trace needs a value";
  QTest::newRow("trace empty") << QStringList{"--trace="} << A::kError << B::kSharedLibrary << 0 << vendor << ""
                               << "--trace needs a file";
  QTest::newRow("scenario twice") << QStringList{"--simulate", "1", "--scenario", "a", "--scenario", "b"}
                                  << A::kError << B::kSharedLibrary << 0 << vendor << "" << "more than once";
  QTest::newRow("usb id without colon") << QStringList{"--usb-id", "10C4EA61"} << A::kError << B::kNativeUsb << 0
                                        << vendor << "" << "'10C4EA61'";
  QTest::newRow("usb id too long") << QStringList{"--usb-id", "10C4:EA610"} << A::kError << B::kNativeUsb << 0
                                   << vendor << "" << "'10C4:EA610'";
  QTest::newRow("usb id not hex") << QStringList{"--usb-id", "10G4:EA61"} << A::kError << B::kNativeUsb << 0
                                  << vendor << "" << "in hex";
  QTest::newRow("usb id on simulated") << QStringList{"--simulate", "2", "--usb-id", "10C4:EA61"} << A::kError
                                       << B::kNativeUsb << 0 << vendor << "" << "excludes --simulate";
  QTest::newRow("list on a library") << QStringList{"--list-devices", "--device-library", "a.so"} << A::kError
                                     << B::kNativeUsb << 0 << vendor << "" << "--list-devices lists USB";
  QTest::newRow("profile dir without a folder") << QStringList{"--profile-dir"} << A::kError << B::kNativeUsb << 0
                                               << vendor << "" << "--profile-dir needs a value";
  QTest::newRow("profile dir empty") << QStringList{"--profile-dir="} << A::kError << B::kNativeUsb << 0 << vendor
                                     << "" << "--profile-dir needs a folder";
  QTest::newRow("profile dir twice") << QStringList{"--profile-dir", "a", "--profile-dir", "b"} << A::kError
                                     << B::kNativeUsb << 0 << vendor << "" << "--profile-dir is given more than once";
  QTest::newRow("profile dir and no profile") << QStringList{"--no-profile", "--profile-dir", "a"} << A::kError
                                              << B::kNativeUsb << 0 << vendor << "" << "exclude each other";
  QTest::newRow("no profile twice") << QStringList{"--no-profile", "--no-profile"} << A::kError << B::kNativeUsb
                                    << 0 << vendor << "" << "--no-profile is given more than once";
  QTest::newRow("no profile takes no value") << QStringList{"--no-profile=1"} << A::kError << B::kNativeUsb << 0
                                             << vendor << "" << "unknown option '--no-profile=1'";
  QTest::newRow("admin limits without a file") << QStringList{"--admin-limits"} << A::kError << B::kNativeUsb << 0
                                               << vendor << "" << "--admin-limits needs a value";
  QTest::newRow("admin limits empty") << QStringList{"--admin-limits="} << A::kError << B::kNativeUsb << 0 << vendor
                                      << "" << "--admin-limits needs a file";
  QTest::newRow("admin limits twice") << QStringList{"--admin-limits", "a", "--admin-limits=b"} << A::kError
                                      << B::kNativeUsb << 0 << vendor << "" << "--admin-limits is given more than once";
  QTest::newRow("list with a value") << QStringList{"--list-devices=3"} << A::kError << B::kNativeUsb << 0 << vendor
                                     << "" << "unknown option";
}

void CommandLineTest::usbIdsAreKeptInOrder() {
  const CommandLine line = ParseCommandLine({"--usb-id", "10C4:EA61", "--usb-id=abcd:1"});
  QCOMPARE(line.action, CommandLine::Action::kRun);
  QCOMPARE(line.usb_ids.size(), std::size_t{2});
  QCOMPARE(int{line.usb_ids[0].vendor_id}, 0x10C4);
  QCOMPARE(int{line.usb_ids[0].product_id}, 0xEA61);
  QCOMPARE(int{line.usb_ids[1].vendor_id}, 0xABCD);
  QCOMPARE(int{line.usb_ids[1].product_id}, 0x0001);
}

void CommandLineTest::scenarioIsKeptForTheSimulator() {
  const CommandLine line = ParseCommandLine({"--scenario=polarity:axis=2", "--simulate", "3"});
  QCOMPARE(line.action, CommandLine::Action::kRun);
  QCOMPARE(line.scenario, std::string("polarity:axis=2"));
}

void CommandLineTest::scopeAndTraceGoWithAnyBackend() {
  const CommandLine simulated = ParseCommandLine({"--scope", "--simulate", "2", "--trace=run.csv"});
  QCOMPARE(simulated.action, CommandLine::Action::kRun);
  QCOMPARE(simulated.backend, CommandLine::Backend::kSimulated);
  QVERIFY(simulated.open_scope);
  QCOMPARE(simulated.trace_path, std::string("run.csv"));
  const CommandLine library = ParseCommandLine({"--trace", "t.csv", "--device-library", "a.so"});
  QCOMPARE(library.backend, CommandLine::Backend::kSharedLibrary);
  QVERIFY(!library.open_scope);
  QCOMPARE(library.trace_path, std::string("t.csv"));
}

void CommandLineTest::profileOptionsGoWithAnyBackend() {
  const CommandLine none = ParseCommandLine({});
  QVERIFY(none.profile_dir.empty());
  QVERIFY(!none.no_profile);
  const CommandLine folder = ParseCommandLine({"--simulate", "2", "--profile-dir=/srv/lab/stages"});
  QCOMPARE(folder.action, CommandLine::Action::kRun);
  QCOMPARE(folder.profile_dir, std::string("/srv/lab/stages"));
  QVERIFY(!folder.no_profile);
  const CommandLine off = ParseCommandLine({"--no-profile", "--render-windows", "out"});
  QCOMPARE(off.action, CommandLine::Action::kRenderWindows);
  QVERIFY(off.no_profile);
  const QString help = QString::fromStdString(stage::app::HelpText("stage-console"));
  QVERIFY(help.contains(QStringLiteral("--profile-dir DIR")));
  QVERIFY(help.contains(QStringLiteral("--no-profile")));
  // The administrator's bounds go with profiles on or off.
  const CommandLine bounds = ParseCommandLine({"--no-profile", "--admin-limits", "/srv/lab/limits.toml"});
  QCOMPARE(bounds.action, CommandLine::Action::kRun);
  QCOMPARE(bounds.admin_limits_path, std::string("/srv/lab/limits.toml"));
  QVERIFY(help.contains(QStringLiteral("--admin-limits FILE")));
  QVERIFY(help.contains(QRegularExpression(QStringLiteral("\\n  F2 +open Axis Settings"))));
}

// Name and version on the first line (what scripts read), then copyright and
// licence, as GNU programs print them.
void CommandLineTest::versionIsInTheGnuForm() {
  const QStringList lines = QString::fromStdString(stage::app::VersionText("stage-console", "1.2.3")).split('\n');
  QCOMPARE(lines.size(), 6);
  QCOMPARE(lines[0], QStringLiteral("stage-console 1.2.3"));
  QVERIFY(lines[1].startsWith(QStringLiteral("Copyright (C) 2026 ")));
  QCOMPARE(lines[2], QStringLiteral("License GPLv3+: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>."));
  QCOMPARE(lines[5], QString());  // ends with a newline
}

void CommandLineTest::parse() {
  QFETCH(QStringList, arguments);
  QFETCH(CommandLine::Action, action);
  QFETCH(CommandLine::Backend, backend);
  QFETCH(int, count);
  QFETCH(QString, library);
  QFETCH(QString, render_dir);
  QFETCH(QString, error_mentions);
  std::vector<std::string> words;
  for (const QString& argument : arguments) words.push_back(argument.toStdString());

  const CommandLine line = ParseCommandLine(words);

  QCOMPARE(line.action, action);
  QCOMPARE(QString::fromStdString(line.error).contains(error_mentions), true);
  QCOMPARE(line.error.empty(), action != CommandLine::Action::kError);
  if (action == CommandLine::Action::kError) return;
  QCOMPARE(line.backend, backend);
  QCOMPARE(line.simulated_count, static_cast<std::uint32_t>(count));
  QCOMPARE(QString::fromStdString(line.library_path), library);
  QCOMPARE(QString::fromStdString(line.render_dir), render_dir);
}

// The operator's one key that works in every window is told in --help.
void CommandLineTest::help_names_the_stop_key() {
  const QString help = QString::fromStdString(stage::app::HelpText("stage-console"));
  QVERIFY(help.contains(QRegularExpression(QStringLiteral("\\n  Esc +stop every axis"))));
}

// The control API's socket, the event log's file and the start without OK.
void CommandLineTest::controlOptions_data() {
  QTest::addColumn<QStringList>("arguments");
  QTest::addColumn<QString>("control_path");
  QTest::addColumn<bool>("no_control");
  QTest::addColumn<QString>("log_path");
  QTest::addColumn<bool>("start");
  QTest::addColumn<QString>("error_mentions");  // empty: no error
  QTest::newRow("none: the default socket") << QStringList{} << "" << false << "" << false << "";
  QTest::newRow("control path") << QStringList{"--control", "/tmp/c.sock"} << "/tmp/c.sock" << false << "" << false
                                << "";
  QTest::newRow("control=path, log, start")
      << QStringList{"--simulate", "2", "--control=/tmp/c.sock", "--log", "run.log", "--start"} << "/tmp/c.sock"
      << false << "run.log" << true << "";
  QTest::newRow("no control") << QStringList{"--no-control"} << "" << true << "" << false << "";
  QTest::newRow("control and no control") << QStringList{"--no-control", "--control", "a"} << "" << false << ""
                                          << false << "--no-control";
  QTest::newRow("control twice") << QStringList{"--control", "a", "--control", "b"} << "" << false << "" << false
                                 << "--control is given more than once";
  QTest::newRow("control empty") << QStringList{"--control="} << "" << false << "" << false << "--control needs";
  QTest::newRow("control without a value") << QStringList{"--control"} << "" << false << "" << false
                                           << "--control needs a value";
  QTest::newRow("no control twice") << QStringList{"--no-control", "--no-control"} << "" << false << "" << false
                                    << "--no-control is given more than once";
  QTest::newRow("log twice") << QStringList{"--log", "a", "--log", "b"} << "" << false << "" << false
                             << "--log is given more than once";
  QTest::newRow("log empty") << QStringList{"--log="} << "" << false << "" << false << "--log needs a file";
  QTest::newRow("start twice") << QStringList{"--start", "--start"} << "" << false << "" << false
                               << "--start is given more than once";
  QTest::newRow("start with render") << QStringList{"--start", "--render-windows", "d"} << "" << false << ""
                                     << false << "--render-windows";
}

void CommandLineTest::controlOptions() {
  QFETCH(QStringList, arguments);
  QFETCH(QString, control_path);
  QFETCH(bool, no_control);
  QFETCH(QString, log_path);
  QFETCH(bool, start);
  QFETCH(QString, error_mentions);
  std::vector<std::string> words;
  for (const QString& argument : arguments) words.push_back(argument.toStdString());
  const CommandLine line = ParseCommandLine(words);
  if (!error_mentions.isEmpty()) {
    QCOMPARE(line.action, CommandLine::Action::kError);
    QVERIFY2(QString::fromStdString(line.error).contains(error_mentions), line.error.c_str());
    return;
  }
  QCOMPARE(line.action, CommandLine::Action::kRun);
  QCOMPARE(QString::fromStdString(line.control_path), control_path);
  QCOMPARE(line.no_control, no_control);
  QCOMPARE(QString::fromStdString(line.log_path), log_path);
  QCOMPARE(line.start, start);
  const QString help = QString::fromStdString(stage::app::HelpText("stage-console"));
  for (const char* option : {"--control PATH", "--no-control", "--log FILE", "--start", "\n  F10 "}) {
    QVERIFY2(help.contains(QRegularExpression(QString::fromLatin1(option))), option);
  }
}

STAGE_UI_TEST_MAIN(CommandLineTest)
#include "command_line_test.moc"
