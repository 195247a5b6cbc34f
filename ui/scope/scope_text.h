// How the Scope's tables write a move's end and a number of counts in an
// axis's units, shared by the live figures and the step test.
#pragma once

#include <QRegularExpression>
#include <QString>
#include <cstddef>

#include "stage/axis/modKVT_USB.h"
#include "stage/scope/step_response.h"

namespace stage::ui {

inline QString EndName(scope::StepFigures::End end) {
  using End = scope::StepFigures::End;
  switch (end) {
    case End::kSettled:
      return QStringLiteral("settled");
    case End::kNotSettled:
      return QStringLiteral("not settled");
    case End::kStopped:
      return QStringLiteral("stopped");
    case End::kReplaced:
      return QStringLiteral("replaced");
    case End::kFault:
      return QStringLiteral("fault");
    case End::kMoving:
      return QStringLiteral("in progress");
  }
  return {};
}

// Counts per unit of the axis, 1 where the tables have none.
inline double CountsPerUnitOf(const modKVT_USB& tables, std::size_t axis) {
  const double per_unit = axis < tables.CountsPerMicron.size() ? tables.CountsPerMicron[axis] : 1;
  return per_unit > 0 ? per_unit : 1;
}

// A number with fixed decimals, never "-0.000": a value that rounds to zero
// has no sign.
inline QString FixedText(double value, int decimals) {
  QString text = QString::number(value, 'f', decimals);
  if (text.startsWith(u'-') && !text.contains(QRegularExpression(QStringLiteral("[1-9]")))) text.remove(0, 1);
  return text;
}

// "12.500 um": three decimals and the axis's suffix.
inline QString CountsInUnits(const modKVT_USB& tables, double counts, std::size_t axis) {
  const QString suffix = axis < tables.UnitSuffix.size() ? QString::fromStdString(tables.UnitSuffix[axis]) : QString();
  return FixedText(counts / CountsPerUnitOf(tables, axis), 3) + suffix;
}

// The axis's name without its padding, or its index when blank.
inline QString ScopeAxisName(const modKVT_USB& tables, std::size_t axis) {
  const QString name = axis < tables.AxisName.size() ? QString::fromLatin1(tables.AxisName[axis]).trimmed() : QString();
  return name.isEmpty() ? QString::number(axis) : name;
}

}  // namespace stage::ui
