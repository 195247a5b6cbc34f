// A lamp: a painted rectangle whose fill colour is switched by the polling
// cycle on every tick. Painting a flat colour is cheap, and a colour that does
// not change repaints nothing (style sheets would re-polish the widget each
// time). An outline-only lamp is the plain outlined rectangle of the panel.
//
// Like a shape drawn on the window surface, a lamp takes no mouse input and
// no focus: clicks go to whatever lies under it.
#pragma once

#include <QColor>
#include <QWidget>

namespace stage::ui {

// The system's button-face colour: the resting colour of the lamps and of
// indicator buttons.
QColor ButtonFaceColor();

class Lamp : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QColor fillColor READ FillColor WRITE SetFillColor)

 public:
  enum class Style {
    kFilled,   // solid fill inside a one-pixel border
    kOutline,  // the border only; what lies below shows through
  };

  explicit Lamp(Style style, QWidget* parent = nullptr);

  Style LampStyle() const { return style_; }

  // Repaints only when the colour differs from the current one.
  void SetFillColor(const QColor& color);
  QColor FillColor() const { return fill_; }

  // What the lamp tells assistive technology besides its name: `lit` while
  // it shows `lit_color`, `unlit` otherwise ("busy" / "not busy"). Screen
  // readers are told when the state changes.
  void SetStateTexts(const QString& lit, const QString& unlit, const QColor& lit_color);
  // Empty when no state texts are set.
  QString StateText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool Lit() const { return fill_ == lit_color_; }

  Style style_;
  QColor fill_;
  QString lit_text_;
  QString unlit_text_;
  QColor lit_color_;
};

}  // namespace stage::ui
