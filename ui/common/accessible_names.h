// Names for assistive technology. A screen reader reaches every control of
// every row, and a row's controls look alike: each name says which axis the
// control belongs to ("Axis X target position", "Axis Y P gain").
#pragma once

#include <QString>
#include <QWidget>

#include "stage/axis/modKVT_USB.h"

namespace stage::ui {

// The axis as the operator knows it: its name without the padding blanks,
// or its index when the name is blank.
inline QString AxisLabel(const modKVT_USB& tables, AxisIndex axis) {
  const QString name = QString::fromLatin1(tables.AxisName.at(static_cast<std::size_t>(axis))).trimmed();
  return name.isEmpty() ? QString::number(axis) : name;
}

// "Axis X" + " " + role, or "Axis X" alone for an empty role.
inline void NameForAxis(QWidget* control, const QString& axis_label, const char* role) {
  QString name = QStringLiteral("Axis ") + axis_label;
  if (*role != '\0') name += QLatin1Char(' ') + QLatin1String(role);
  control->setAccessibleName(name);
}

}  // namespace stage::ui
