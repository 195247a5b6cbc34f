// A top-level window's designed size on a real desktop.
//
// Heights (and widths) that the windows set by code are outer sizes: title
// bar and borders included. The frame is only known once the window manager
// has framed the window, after the first showing; so the designed outer size
// is applied with the frame as known when it is set, again when the window
// is shown, and again whenever the frame changes.
//
// A window larger than the available screen area would leave controls out of
// reach: then the window is capped to the screen, and its designed contents,
// unchanged, move into a scroll area that fills it. A window that fits is
// left exactly as designed.
#pragma once

#include <QObject>
#include <QSize>
#include <functional>

class QScrollArea;
class QWidget;

namespace stage::ui {

class WindowFit : public QObject {
  Q_OBJECT

 public:
  // Takes the window's current size as its designed client size.
  explicit WindowFit(QWidget* window);

  // The designed outer height or width in twips; applied at once.
  void SetOuterHeightTwips(double twips);
  void SetOuterWidthTwips(double twips);

  // The designed outer height as the window reports it back: the frame
  // height plus the designed client height (its full height when it fits).
  double OuterHeightTwips() const;

  // Runs after every application of the designed size.
  void OnApplied(std::function<void()> applied) { applied_ = std::move(applied); }

  // The scroll area once the window has been capped; nullptr while it fits.
  QScrollArea* ScrollArea() const { return scroll_area_; }
  // What holds the designed controls: the window, or the scroll area's page.
  QWidget* Canvas() const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QSize FrameSize() const;
  QSize DesignedClientSize(const QSize& frame) const;
  void Apply(bool may_cap);
  void MoveIntoScrollArea();

  QWidget* window_;
  QSize designed_client_px_;
  int outer_width_px_ = -1;   // -1: the client width is designed
  int outer_height_px_ = -1;  // -1: the client height is designed
  QSize applied_frame_{-1, -1};
  bool shown_ = false;
  QScrollArea* scroll_area_ = nullptr;
  QWidget* page_ = nullptr;
  std::function<void()> applied_;
};

}  // namespace stage::ui
