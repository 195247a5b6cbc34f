// The one main of every window test: the offscreen platform, a QApplication,
// then the test object's slots.
//
// The offscreen screen is set explicitly. By default it is large enough for
// every designed window the tests build, so the windows keep their designed
// size; a test of windows capped to a laptop screen picks a small one.
#pragma once

#include <QApplication>
#include <QTest>

#include "ui/common/offscreen_screen.h"

#define STAGE_UI_TEST_MAIN_ON_SCREEN(TestObject, width_px, height_px) \
  int main(int argc, char** argv) {                                  \
    const stage::ui::OffscreenScreen screen(width_px, height_px);    \
    QApplication::setAttribute(Qt::AA_Use96Dpi, true);               \
    QApplication app(argc, argv);                                    \
    TestObject test;                                                 \
    return QTest::qExec(&test, argc, argv);                          \
  }

#define STAGE_UI_TEST_MAIN(TestObject) \
  STAGE_UI_TEST_MAIN_ON_SCREEN(TestObject, stage::ui::kLargeScreenPx, stage::ui::kLargeScreenPx)
