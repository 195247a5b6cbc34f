#include "ui/common/window_icon.h"

#include <QApplication>
#include <QString>
#include <array>

namespace stage::ui {

namespace {

// The sizes packaging/icon.cmake renders (STAGE_ICON_SIZES, given to the
// compiler as a list); the resource keeps the icon theme's folder layout.
constexpr std::array kIconSizes{STAGE_ICON_SIZES};

}  // namespace

QList<QSize> WindowIconSizes() {
  QList<QSize> sizes;
  for (const int size : kIconSizes) sizes.append(QSize(size, size));
  return sizes;
}

QIcon WindowIcon() {
  QIcon icon;
  for (const int size : kIconSizes) {
    icon.addFile(QStringLiteral(":/icons/%1x%1/apps/stage-console.png").arg(size), QSize(size, size));
  }
  return icon;
}

void InstallWindowIcon() { QApplication::setWindowIcon(WindowIcon()); }

}  // namespace stage::ui
