#include "ui/common/program_exit.h"

#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

namespace stage::ui {

void ProcessExit::RunFinishers() {
  for (const std::function<void()>& finish : finishers_) finish();
  finishers_.clear();
}

void ProcessExit::Fatal(QWidget* parent, const QString& message) {
  ended_ = true;  // before the box: its nested event loop must not run a tick
  RunFinishers();
  QMessageBox box(QMessageBox::Critical, QString(), message, QMessageBox::Ok, parent);
  box.exec();
  std::fflush(nullptr);
  std::_Exit(EXIT_FAILURE);
}

void ProcessExit::End(int status) {
  ended_ = true;
  RunFinishers();
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace stage::ui
