#pragma once

#include <QColor>
#include <QFont>

class QLabel;
class QWidget;

namespace quillmar {

// The application theme's colours and faces. Each colour has a dark, a light
// and a matrix value; the matrix one applies while "appearance" is "matrix",
// otherwise the dark or light one by the palette the window is drawn with.
class Metro {
public:
    enum class Variant { dark, light, matrix };
    enum class Role {
        background, surface, raised, line, text, secondaryText, mutedText, accent, success, warning, danger, onAccent
    };

    static QColor color(Role role, Variant variant);
    // The variant in force now.
    static Variant currentVariant();

    static QColor background() { return color(Role::background, currentVariant()); }
    static QColor surface() { return color(Role::surface, currentVariant()); }
    static QColor raised() { return color(Role::raised, currentVariant()); }
    static QColor line() { return color(Role::line, currentVariant()); }
    static QColor text() { return color(Role::text, currentVariant()); }
    static QColor secondaryText() { return color(Role::secondaryText, currentVariant()); }
    static QColor mutedText() { return color(Role::mutedText, currentVariant()); }
    static QColor accent() { return color(Role::accent, currentVariant()); }
    static QColor success() { return color(Role::success, currentVariant()); }
    static QColor warning() { return color(Role::warning, currentVariant()); }
    static QColor danger() { return color(Role::danger, currentVariant()); }
    static QColor onAccent() { return color(Role::onAccent, currentVariant()); }
};

// The theme's interface face (Inter) at a size in points and a weight; the
// system font when Inter is missing.
QFont metroFont(qreal size, QFont::Weight weight = QFont::Normal);
// The theme's monospaced face (JetBrains Mono); the system's fixed font when missing.
QFont metroMonoFont(qreal size, QFont::Weight weight = QFont::Normal);

// Sets the colour a widget draws its text in (labels, buttons and editors).
void setTextColour(QWidget* widget, const QColor& colour);
// A hidden, wrapping label named "error" in the danger colour, where a sheet
// says what went wrong.
QLabel* makeErrorLabel(QWidget* parent);

}  // namespace quillmar
