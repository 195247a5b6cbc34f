// The offscreen platform with one screen of a chosen size, for pictures and
// tests that must not depend on the platform's default screen (800 x 800):
// a designed window larger than the screen would be capped to it and scroll.
// Select it before the QApplication exists; it lives as long as the
// application.
#pragma once

#include <QByteArray>
#include <QTemporaryFile>
#include <QtGlobal>

namespace stage::ui {

// Large enough for every designed window of 40 axes or 20 controllers.
inline constexpr int kLargeScreenPx = 4096;

class OffscreenScreen {
 public:
  // 96 dpi, frame margins as the platform draws them.
  OffscreenScreen(int width_px, int height_px) {
    if (!file_.open()) qFatal("cannot write the offscreen screen configuration");
    file_.write(QByteArray("{\"windowFrameMargins\": true, ") +
                "\"screens\": [{\"name\": \"screen\", \"x\": 0, \"y\": 0, " +
                "\"width\": " + QByteArray::number(width_px) + ", \"height\": " + QByteArray::number(height_px) +
                ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}");
    file_.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + file_.fileName().toLocal8Bit());
  }

 private:
  QTemporaryFile file_;
};

}  // namespace stage::ui
