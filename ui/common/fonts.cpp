#include "ui/common/fonts.h"

#include <QStringList>

namespace stage::ui {

void InstallFontSubstitutions() {
  // Liberation Sans has Arial's metrics; MS Sans Serif has no metric twin on
  // Linux, and Liberation Sans is the closest widely installed face.
  QFont::insertSubstitutions(QStringLiteral("Arial"),
                             QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
  QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                             QStringList{QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
}

QFont DesignFont(const char* family, double point_size, bool bold) {
  QFont font(QString::fromLatin1(family));
  font.setPointSizeF(point_size);
  font.setBold(bold);
  return font;
}

}  // namespace stage::ui
