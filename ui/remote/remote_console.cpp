#include "ui/remote/remote_console.h"

#include "stage/control/event_log.h"
#include "ui/main/frmMain.h"

namespace stage::ui {

RemoteConsole::RemoteConsole(std::function<frmMain*()> main_window, control::EventLog* events, std::string version,
                             std::function<double()> now, QObject* parent)
    : QObject(parent),
      events_(events),
      port_(std::move(main_window), std::move(now)),
      server_([this](std::string_view text) { Log(text); }),
      core_(port_, server_, std::move(version), [this](std::string_view text) { Log(text); },
            [this](control::Change change) { Changed(change); }),
      window_(core_),
      shortcut_(window_) {
  server_.SetCore(&core_);
}

RemoteConsole::~RemoteConsole() = default;

bool RemoteConsole::Start(const std::string& path, std::string& message) {
  const bool default_path = path.empty();
  const std::string where = default_path ? control::DefaultSocketPath() : path;
  const auto started = server_.Listen(where, default_path, message);
  if (started != control::LocalControlServer::Started::kServing) {
    message += "; the console runs without the control API";
    return false;
  }
  Log("control API on " + where);
  return true;
}

void RemoteConsole::Close() { server_.Close(); }

void RemoteConsole::AfterTick() { server_.AfterTick(); }

void RemoteConsole::EscapePressed() { core_.SetRemoteMovesAllowed(false); }

void RemoteConsole::Log(std::string_view text) const {
  if (events_ != nullptr) events_->Log(text);
}

void RemoteConsole::Changed(control::Change change) {
  window_.MarkChanged();
  if (change == control::Change::kFirstControl) window_.ShowBeside();
}

}  // namespace stage::ui
