// The "Remote" window: who drives the stage besides the operator. It lists
// the control API's clients (pid, program, connected since), says who holds
// control and whether remote moves are allowed, shows the latest commands,
// and has the operator's two buttons: take control back, and allow or refuse
// remote moves. F10 opens it from any window; it also opens by itself, clear
// of the main window's controls and without taking the keyboard, the first
// time a client takes control. Not one of the console's own windows: coming
// back from it to the main window is like coming back from another
// application. Everything a client sent is shown as plain text.
#pragma once

#include <QObject>
#include <QTimer>
#include <QWidget>

class QLabel;
class QListWidget;
class QPushButton;
class QTableWidget;

namespace stage::control {
class ControlCore;
}

namespace stage::ui {

// NOLINTNEXTLINE(readability-identifier-naming): named like the console's windows
class frmRemote : public QWidget {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(frmRemote)

 public:
  static constexpr int kRefreshMs = 200;
  enum Column { kPidColumn, kProgramColumn, kSinceColumn, kRoleColumn, kColumnCount };

  explicit frmRemote(control::ControlCore& core, QWidget* parent = nullptr);
  ~frmRemote() override;

  // In front, with the keyboard (F10).
  void ShowRemote();
  // Shown without taking the keyboard, clear of the program's other windows
  // where the screen has room (a client took control).
  void ShowBeside();
  // Something changed: redrawn soon if shown.
  void MarkChanged();
  // Redrawn now.
  void Refresh();

  QLabel* lblControl() const { return lbl_control_; }
  QLabel* lblMoves() const { return lbl_moves_; }
  QTableWidget* tblClients() const { return tbl_clients_; }
  QListWidget* lstCommands() const { return lst_commands_; }
  QPushButton* cmdRevoke() const { return cmd_revoke_; }
  QPushButton* cmdMoves() const { return cmd_moves_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void PlaceClear();

  control::ControlCore& core_;
  QLabel* lbl_control_ = nullptr;
  QLabel* lbl_moves_ = nullptr;
  QTableWidget* tbl_clients_ = nullptr;
  QListWidget* lst_commands_ = nullptr;
  QPushButton* cmd_revoke_ = nullptr;
  QPushButton* cmd_moves_ = nullptr;
  QTimer refresh_;
  bool changed_ = true;
  bool placed_ = false;
};

// Opens the Remote window on F10 from any window of the program (none of the
// console's controls uses F10); not while a modal message is up.
class RemoteShortcut : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(RemoteShortcut)

 public:
  static constexpr Qt::Key kKey = Qt::Key_F10;
  explicit RemoteShortcut(frmRemote& remote, QObject* parent = nullptr);
  ~RemoteShortcut() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  frmRemote& remote_;
};

}  // namespace stage::ui
