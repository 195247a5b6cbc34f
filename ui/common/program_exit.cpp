#include "ui/common/program_exit.h"

#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

#include "stage/usb/device_library.h"

namespace stage::ui {

void ProcessExit::RunFinishers() {
  for (const std::function<void()>& finish : finishers_) finish();
  finishers_.clear();
}

std::unique_ptr<QMessageBox> MakeFatalBox(QWidget* parent, const QString& message) {
  auto box = std::make_unique<QMessageBox>(QMessageBox::Critical, QString(), QString(), QMessageBox::Ok, parent);
  box->setObjectName(QStringLiteral("FatalBox"));
  box->setTextFormat(Qt::PlainText);
  box->setText(message);
  return box;
}

void PrintFatalMessage(const QString& message) {
  for (const QString& line : message.split(QLatin1Char('\n'))) {
    const QByteArray bytes = line.toLatin1();
    std::fprintf(stderr, "stage-console: %s\n",
                 usb::PrintableText({bytes.constData(), static_cast<std::size_t>(bytes.size())}).c_str());
  }
  std::fflush(stderr);
}

void ProcessExit::Fatal(QWidget* parent, const QString& message) {
  ended_ = true;  // before the box: its nested event loop must not run a tick
  RunFinishers();
  PrintFatalMessage(message);
  const std::unique_ptr<QMessageBox> box = MakeFatalBox(parent, message);
  // Destroyed by the window system rather than answered, the box is closed
  // (WindowDestroyWatch), which ends exec() the same way.
  box->exec();
  std::fflush(nullptr);
  if (last_) last_();
  std::_Exit(EXIT_FAILURE);
}

void ProcessExit::End(int status) {
  ended_ = true;
  if (status == 0) {
    for (const std::function<void()>& finish : orderly_finishers_) finish();
  }
  orderly_finishers_.clear();
  RunFinishers();
  std::fflush(nullptr);
  if (last_) last_();
  std::_Exit(status);
}

}  // namespace stage::ui
