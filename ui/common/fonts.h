// The windows name their fonts as designed (Arial, MS Sans Serif); these map
// to installed metric-compatible faces.
#pragma once

#include <QFont>

namespace stage::ui {

// Registers the substitutions once per application; call before any window.
void InstallFontSubstitutions();

QFont DesignFont(const char* family, double point_size, bool bold = false);

}  // namespace stage::ui
