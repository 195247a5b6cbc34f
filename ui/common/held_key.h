// A key held anywhere in the application: pressed() when it goes down in any
// of the program's windows, whatever control has the focus, released() when
// it comes up, or when the program loses the keyboard before that (the key-up
// would go to another application). Automatic repeats are ignored. The key
// is not consumed: it goes on to the control as usual.
#pragma once

#include <QObject>
#include <functional>
#include <utility>

namespace stage::ui {

class HeldKey : public QObject {
  Q_OBJECT

 public:
  // Watches every event of the application from construction on.
  HeldKey(int key, std::function<void()> pressed, std::function<void()> released, QObject* parent);
  ~HeldKey() override;
  HeldKey(const HeldKey&) = delete;
  HeldKey& operator=(const HeldKey&) = delete;

  bool Held() const { return held_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Release();

  int key_;
  std::function<void()> pressed_;
  std::function<void()> released_;
  bool held_ = false;
};

}  // namespace stage::ui
