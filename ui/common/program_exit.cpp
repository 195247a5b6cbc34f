#include "ui/common/program_exit.h"

#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

namespace stage::ui {

void ProcessExit::Fatal(QWidget* parent, const QString& message) {
  ended_ = true;  // before the box: its nested event loop must not run a tick
  QMessageBox box(QMessageBox::Critical, QString(), message, QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);  // the message carries the controllers' own strings
  box.exec();
  std::fflush(nullptr);
  std::_Exit(EXIT_FAILURE);
}

void ProcessExit::End(int status) {
  ended_ = true;
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace stage::ui
