// The one seam through which the windows end the program: a fatal device
// message followed by a non-zero exit, or an orderly end. The program's
// implementation really ends the process; tests record what was asked and
// return, so the caller must return straight after asking.
#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <vector>
#include <memory>

class QMessageBox;
class QWidget;

namespace stage::ui {

// The fatal message box: only an OK button, and the message as plain text,
// since it carries a controller's product string (markup such as
// <img src=/dev/zero> would be loaded, not shown).
std::unique_ptr<QMessageBox> MakeFatalBox(QWidget* parent, const QString& message);

// The fatal message on stderr too, for the terminal or the session's log:
// "stage-console: " before each of its lines, device text escaped (\xNN).
void PrintFatalMessage(const QString& message);

class ProgramExit {
 public:
  virtual ~ProgramExit() = default;

  // Shows `message` in a modal box with only an OK button (and on stderr),
  // then ends the program at once with a non-zero status, closing nothing. Ended() is true
  // before the box appears, so no timer tick runs while it is on screen.
  virtual void Fatal(QWidget* parent, const QString& message) = 0;

  // Ends the program at once with `status`.
  virtual void End(int status) = 0;

  // True once Fatal or End has been asked: nothing may talk to a controller
  // or change a window after that.
  virtual bool Ended() const = 0;
};

// Modal box, then std::_Exit: the process ends without running any further
// event, timer or destructor.
class ProcessExit final : public ProgramExit {
 public:
  void Fatal(QWidget* parent, const QString& message) override;
  void End(int status) override;
  bool Ended() const override { return ended_; }

  // Runs `finish` before the program ends (before a fatal message appears),
  // since no destructor runs then: a file being written is completed there.
  void BeforeEnd(std::function<void()> finish) { finishers_.push_back(std::move(finish)); }
  // Runs `finish` before an orderly end only (End with status 0: Exit,
  // Cancel, a termination signal), never before a fatal one.
  void BeforeOrderlyEnd(std::function<void()> finish) { orderly_finishers_.push_back(std::move(finish)); }
  // Runs `last` after everything else, just before the process ends (also
  // after a fatal box): what must see every line already written.
  void AtLast(std::function<void()> last) { last_ = std::move(last); }

 private:
  void RunFinishers();

  bool ended_ = false;
  std::vector<std::function<void()>> finishers_;
  std::vector<std::function<void()>> orderly_finishers_;
  std::function<void()> last_;
};

// Records instead of ending: for tests.
class RecordingExit final : public ProgramExit {
 public:
  void Fatal(QWidget* /*parent*/, const QString& message) override {
    ended_ = true;
    fatal_messages_.push_back(message);
    status_ = 1;
  }
  void End(int status) override {
    ended_ = true;
    status_ = status;
  }
  bool Ended() const override { return ended_; }

  const QList<QString>& FatalMessages() const { return fatal_messages_; }
  int Status() const { return status_; }

 private:
  bool ended_ = false;
  int status_ = -1;
  QList<QString> fatal_messages_;
};

}  // namespace stage::ui
