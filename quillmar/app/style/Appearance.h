#pragma once

#include "quillmar/app/style/AppAppearance.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/TerminalScheme.h"

#include <QPalette>
#include <QString>

namespace quillmar {

class UserSettings;

// True when the settings hold exactly "matrix" under "appearance".
bool isMatrixAppearance();
bool isMatrixAppearance(const UserSettings& settings);

// Whether the window is drawn dark: dark and matrix are, light is not, and
// system follows the desktop.
bool colourSchemeIsDark(AppAppearance appearance, bool systemIsDark);

// The scheme id that "terminal.scheme" resolves to: "match-appearance" is
// "dot-matrix" under the matrix theme, else "metro-dark" or "metro-light"
// by the colour scheme; any other id stands for itself.
QString effectiveSchemeID(const QString& schemeID, const QString& appearanceText, bool colourSchemeDark);
const TerminalScheme& effectiveScheme(const QString& schemeID, const QString& appearanceText, bool colourSchemeDark);

// The application palette drawn from the theme's colours of one variant.
QPalette themePalette(Metro::Variant variant);
// Sets the application palette for a theme; system takes the dark or light
// palette by what the desktop prefers.
void applyAppearance(AppAppearance appearance, bool systemIsDark);

}  // namespace quillmar
