// The one main of every window test: the offscreen platform, a QApplication,
// then the test object's slots.
#pragma once

#include <QApplication>
#include <QTest>
#include <cstdlib>

#define STAGE_UI_TEST_MAIN(TestObject)                 \
  int main(int argc, char** argv) {                    \
    setenv("QT_QPA_PLATFORM", "offscreen", 1);         \
    QApplication::setAttribute(Qt::AA_Use96Dpi, true); \
    QApplication app(argc, argv);                      \
    TestObject test;                                   \
    return QTest::qExec(&test, argc, argv);            \
  }
