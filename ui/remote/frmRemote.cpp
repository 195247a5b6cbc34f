#include "ui/remote/frmRemote.h"

#include <QApplication>
#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QVBoxLayout>
#include <chrono>

#include "stage/control/control_core.h"
#include "ui/common/outside_window.h"

namespace stage::ui {
namespace {

double SteadyNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A steady-clock time as the wall-clock time it was.
QString WallTime(double steady, double steady_now, const QDateTime& wall_now) {
  const auto ago_ms = static_cast<qint64>((steady_now - steady) * 1000);
  return wall_now.addMSecs(-ago_ms).toString(QStringLiteral("HH:mm:ss"));
}

QString Plain(const std::string& text) { return QString::fromStdString(text); }

QLabel* PlainLabel(QWidget* parent, const char* name) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

frmRemote::frmRemote(control::ControlCore& core, QWidget* parent) : QWidget(parent, Qt::Window), core_(core) {
  setObjectName(QStringLiteral("frmRemote"));
  setWindowTitle(QStringLiteral("Remote"));
  auto* layout = new QVBoxLayout(this);
  lbl_control_ = PlainLabel(this, "lblControl");
  lbl_moves_ = PlainLabel(this, "lblMoves");
  layout->addWidget(lbl_control_);
  layout->addWidget(lbl_moves_);

  tbl_clients_ = new QTableWidget(0, kColumnCount, this);
  tbl_clients_->setObjectName(QStringLiteral("tblClients"));
  tbl_clients_->setAccessibleName(QStringLiteral("Connected clients"));
  tbl_clients_->setHorizontalHeaderLabels(
      {QStringLiteral("PID"), QStringLiteral("Program"), QStringLiteral("Since"), QStringLiteral("Role")});
  tbl_clients_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tbl_clients_->verticalHeader()->setVisible(false);
  tbl_clients_->horizontalHeader()->setStretchLastSection(true);
  layout->addWidget(tbl_clients_);

  auto* commands_label = new QLabel(QStringLiteral("Last commands:"), this);
  layout->addWidget(commands_label);
  lst_commands_ = new QListWidget(this);
  lst_commands_->setObjectName(QStringLiteral("lstCommands"));
  lst_commands_->setAccessibleName(QStringLiteral("Last commands"));
  layout->addWidget(lst_commands_);

  auto* buttons = new QHBoxLayout;
  cmd_revoke_ = new QPushButton(QStringLiteral("Revoke Control"), this);
  cmd_revoke_->setObjectName(QStringLiteral("cmdRevoke"));
  cmd_moves_ = new QPushButton(this);
  cmd_moves_->setObjectName(QStringLiteral("cmdMoves"));
  buttons->addWidget(cmd_revoke_);
  buttons->addWidget(cmd_moves_);
  layout->addLayout(buttons);
  resize(520, 420);

  connect(cmd_revoke_, &QPushButton::clicked, this, [this] {
    core_.RevokeControl("revoked by the operator");
    Refresh();
  });
  connect(cmd_moves_, &QPushButton::clicked, this, [this] {
    core_.SetRemoteMovesAllowed(!core_.RemoteMovesAllowed());
    Refresh();
  });

  refresh_.setInterval(kRefreshMs);
  connect(&refresh_, &QTimer::timeout, this, [this] {
    if (changed_ && isVisible()) Refresh();
  });
  refresh_.start();
  MarkOutsideWindow(*this);
  Refresh();
}

frmRemote::~frmRemote() = default;

void frmRemote::MarkChanged() { changed_ = true; }

void frmRemote::Refresh() {
  changed_ = false;
  const std::vector<control::ClientView> clients = core_.Clients();
  const double steady_now = SteadyNow();
  const QDateTime wall_now = QDateTime::currentDateTime();
  QString holder = QStringLiteral("Control: with the operator (no client holds it).");
  tbl_clients_->setRowCount(static_cast<int>(clients.size()));
  int row = 0;
  for (const control::ClientView& client : clients) {
    const auto cell = [this, row](int column, const QString& text) {
      auto* item = new QTableWidgetItem(text);
      tbl_clients_->setItem(row, column, item);
    };
    cell(kPidColumn, QString::number(client.peer.pid));
    cell(kProgramColumn, Plain(client.peer.program));
    cell(kSinceColumn, WallTime(client.since, steady_now, wall_now));
    QString role = client.holds_control ? QStringLiteral("holds control") : QString();
    if (client.rate_hz > 0) {
      if (!role.isEmpty()) role += QStringLiteral(", ");
      role += QStringLiteral("subscribed at %1 Hz").arg(client.rate_hz);
    }
    cell(kRoleColumn, role);
    if (client.holds_control) {
      holder = QStringLiteral("Control: held by pid %1 (%2).").arg(client.peer.pid).arg(Plain(client.peer.program));
    }
    ++row;
  }
  lbl_control_->setText(holder);
  const bool allowed = core_.RemoteMovesAllowed();
  lbl_moves_->setText(allowed ? QStringLiteral("Remote moves: allowed.")
                              : QStringLiteral("Remote moves: refused (Esc or the button below)."));
  cmd_moves_->setText(allowed ? QStringLiteral("Refuse Remote Moves") : QStringLiteral("Allow Remote Moves"));
  cmd_revoke_->setEnabled(core_.Holder().has_value());

  lst_commands_->clear();
  const auto& recent = core_.RecentCommands();
  for (auto it = recent.rbegin(); it != recent.rend(); ++it) {
    lst_commands_->addItem(QStringLiteral("%1  pid %2: %3")
                               .arg(WallTime(it->time, steady_now, wall_now))
                               .arg(it->pid)
                               .arg(Plain(it->text)));
  }
}

void frmRemote::showEvent(QShowEvent* event) {
  Refresh();
  QWidget::showEvent(event);
}

void frmRemote::ShowRemote() {
  if (!placed_) PlaceClear();
  show();
  raise();
  activateWindow();
}

void frmRemote::ShowBeside() {
  if (isVisible()) return;
  if (!placed_) PlaceClear();
  setAttribute(Qt::WA_ShowWithoutActivating, true);
  show();
  setAttribute(Qt::WA_ShowWithoutActivating, false);
}

void frmRemote::PlaceClear() {
  placed_ = true;
  // Right of the program's other windows, else left of them, else below.
  QRect taken;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window != this && window->isVisible() && window->isWindow()) taken |= window->frameGeometry();
  }
  QScreen* screen = QApplication::primaryScreen();
  if (screen == nullptr || taken.isNull()) return;
  const QRect free = screen->availableGeometry();
  const QSize size = frameGeometry().size().expandedTo(this->size());
  if (taken.right() + 1 + size.width() <= free.right() + 1) {
    move(taken.right() + 1, std::max(free.top(), taken.top()));
  } else if (taken.left() - size.width() >= free.left()) {
    move(taken.left() - size.width(), std::max(free.top(), taken.top()));
  } else if (taken.bottom() + 1 + size.height() <= free.bottom() + 1) {
    move(std::max(free.left(), taken.left()), taken.bottom() + 1);
  }
}

RemoteShortcut::RemoteShortcut(frmRemote& remote, QObject* parent) : QObject(parent), remote_(remote) {
  QApplication::instance()->installEventFilter(this);
}

RemoteShortcut::~RemoteShortcut() = default;

bool RemoteShortcut::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == kKey && key->modifiers() == Qt::NoModifier && QApplication::activeModalWidget() == nullptr &&
        watched->isWidgetType()) {
      if (!key->isAutoRepeat()) remote_.ShowRemote();
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

}  // namespace stage::ui
