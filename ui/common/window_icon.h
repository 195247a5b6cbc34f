// The program's icon, drawn for stage-console and rendered to PNG sizes at
// build time, compiled into the program as a Qt resource.
#pragma once

#include <QIcon>
#include <QList>
#include <QSize>

namespace stage::ui {

// Every size the icon comes in, smallest first.
QList<QSize> WindowIconSizes();

QIcon WindowIcon();

// Gives every window, shown now or later, the program's icon: title bars, the
// task switcher and the dock take it from the application, so no window sets
// its own. Call once, after the QApplication exists.
void InstallWindowIcon();

}  // namespace stage::ui
