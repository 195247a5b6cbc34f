// The control API in the running console: the protocol core on the main
// window's axes, its local socket, and the Remote window. The main window
// calls AfterTick after every polling cycle and EscapePressed on Esc.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/qt/local_control_server.h"
#include "stage/control/control_core.h"
#include "ui/common/console_context.h"
#include "ui/remote/frmRemote.h"
#include "ui/remote/main_window_port.h"

namespace stage::control {
class EventLog;
}

namespace stage::ui {

class frmMain;

class RemoteConsole final : public QObject, public RemoteHooks {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(RemoteConsole)

 public:
  // `now`: the clock of waits and subscriptions, in seconds (tests give the
  // simulator's); empty: the steady clock.
  RemoteConsole(std::function<frmMain*()> main_window, control::EventLog* events, std::string version,
                std::function<double()> now = {}, QObject* parent = nullptr);
  ~RemoteConsole() override;

  // Serves on `path` (empty: the default path, its folder made private).
  // False when the console runs without the API; `message` says why.
  bool Start(const std::string& path, std::string& message);
  // console_ending to every client, every connection closed.
  void Close();

  void AfterTick() override;
  void EscapePressed() override;

  control::ControlCore& Core() { return core_; }
  control::LocalControlServer& Server() { return server_; }
  frmRemote& Window() { return window_; }

 private:
  void Log(std::string_view text) const;
  void Changed(control::Change change);

  control::EventLog* events_;
  MainWindowPort port_;
  control::LocalControlServer server_;
  control::ControlCore core_;
  frmRemote window_;
  RemoteShortcut shortcut_;
};

}  // namespace stage::ui
