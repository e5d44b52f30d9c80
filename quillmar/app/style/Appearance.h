#pragma once

#include "quillmar/app/style/AppAppearance.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/TerminalScheme.h"

#include <QPalette>
#include <QString>

namespace quillmar {

class UserSettings;

// True when the settings hold exactly "matrix" under "appearance".
bool isMatrixAppearance(const UserSettings& settings);

// Whether the window is drawn dark: dark and matrix are, light is not, and
// system follows the desktop.
bool colourSchemeIsDark(AppAppearance appearance, bool systemIsDark);

// The scheme id that "terminal.scheme" resolves to: "match-appearance" is
// "dot-matrix" under the matrix theme, else "metro-dark" or "metro-light"
// by the colour scheme; any other id stands for itself.
QString effectiveSchemeID(const QString& schemeID, const QString& appearanceText, bool colourSchemeDark);
const TerminalScheme& effectiveScheme(const QString& schemeID, const QString& appearanceText, bool colourSchemeDark);

// The palette drawn from the theme's colours of one variant.
QPalette themePalette(Metro::Variant variant);
// The variant a theme draws in; system takes dark or light by what the
// desktop prefers.
Metro::Variant themeVariant(AppAppearance appearance, bool systemIsDark);

}  // namespace quillmar
