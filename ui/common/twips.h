// Window geometry is designed in twips (1440 to the inch). One place turns
// twips into Qt's device-independent pixels: 15 twips per pixel at 96 dpi, so
// high-DPI screens scale the whole layout.
#pragma once

#include <QColor>
#include <QRect>
#include <cmath>
#include <cstdint>

namespace stage::ui {

inline constexpr int kTwipsPerPixel = 15;

inline int TwipsToPixels(double twips) {
  return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}
inline double PixelsToTwips(int pixels) { return static_cast<double>(pixels) * kTwipsPerPixel; }

inline QRect TwipsRect(double left, double top, double width, double height) {
  return {TwipsToPixels(left), TwipsToPixels(top), TwipsToPixels(width), TwipsToPixels(height)};
}

// Colours are designed as 0x00BBGGRR values.
inline QColor BgrColor(std::uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFFu), static_cast<int>((bgr >> 8) & 0xFFu),
                static_cast<int>((bgr >> 16) & 0xFFu));
}

}  // namespace stage::ui
