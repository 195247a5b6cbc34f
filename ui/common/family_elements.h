// Placing controls in twips and growing control families.
//
// Every placed control keeps its twips rectangle (property "twips"), so row i
// computed from row i - 1 lands exactly where the twips say (960 + 550 * i)
// instead of drifting by the pixel rounding of each step.
#pragma once

#include <QRectF>

class QLabel;
class QLineEdit;
class QWidget;

namespace stage::ui {

class CommandButton;
class Lamp;
class TuningSlider;

void PlaceTwips(QWidget* control, double left, double top, double width, double height);
QRectF TwipsGeometry(const QWidget* control);
void SetTopTwips(QWidget* control, double top);
void SetLeftTwips(QWidget* control, double left);

// Element `index` of the family of `element0`: a hidden copy with the same
// kind, caption or text, style, font, colours, size, position and settings (for a
// slider its range, steps, ticks and current position), in the same parent.
QLabel* CopyElement(const QLabel& element0, int index);
QLineEdit* CopyElement(const QLineEdit& element0, int index);
CommandButton* CopyElement(const CommandButton& element0, int index);
Lamp* CopyElement(const Lamp& element0, int index);
TuningSlider* CopyElement(const TuningSlider& element0, int index);

// Shapes lie on the window surface under the labels, and the labels under
// every other control: a caption stands on its lamp, and a heading label
// that overlaps a slider stays behind it.
void StackLikeDesign(QWidget* window);

}  // namespace stage::ui
