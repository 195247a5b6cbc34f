// How the console names a controller to the operator: in the start-up
// window's column header and in every fatal message about one controller,
// so that the operator knows which of several alike boxes to look at.
#pragma once

#include <QString>

#include "stage/axis/modKVT_USB.h"
#include "ui/common/accessible_names.h"

namespace stage::ui {

// Device text is one byte per character (see modKVT_USB).
inline QString Latin1Text(const std::string& bytes) {
  return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// The column header: the product (serial-number) string; when it is blank
// (a controller this user may not open cannot be asked for it), where the
// controller is plugged in; when the backend cannot tell that either, its
// device number.
inline QString ControllerCaption(const modKVT_USB& tables, AxisIndex axis) {
  const auto k = static_cast<std::size_t>(axis);
  const std::string& product = tables.ProductString.at(k);
  if (!product.empty()) return Latin1Text(product);
  const std::string& port = tables.DevicePort.at(k);
  if (!port.empty()) return QStringLiteral("port ") + Latin1Text(port);
  return QStringLiteral("device ") + QString::number(axis);
}

// The sentence a fatal message adds about its controller: "Axis Y, serial
// KLV-Y2, port 1-2.3." Parts the console does not know are left out, and
// so is what ControllerCaption said when the message names the controller
// by it already (`after_caption`).
inline QString ControllerSentence(const modKVT_USB& tables, AxisIndex axis, bool after_caption = false) {
  const auto k = static_cast<std::size_t>(axis);
  QString sentence = QStringLiteral("Axis ") + AxisLabel(tables, axis);
  const std::string& product = tables.ProductString.at(k);
  const std::string& port = tables.DevicePort.at(k);
  if (!after_caption && !product.empty()) sentence += QStringLiteral(", serial ") + Latin1Text(product);
  if (!port.empty() && !(after_caption && product.empty())) sentence += QStringLiteral(", port ") + Latin1Text(port);
  return sentence + QLatin1Char('.');
}

}  // namespace stage::ui
