#pragma once

#include <QColor>
#include <QFont>

class QLabel;
class QWidget;

namespace quillmar {

// The application theme's colours and faces. Each colour has a dark, a light
// and a matrix value; which one applies is the variant of the theme of the
// window a widget is in. Code that draws asks with its widget, so two
// windows of different themes each draw their own.
class Metro {
public:
    enum class Variant { dark, light, matrix };
    enum class Role {
        background,
        surface,
        raised,
        line,
        text,
        secondaryText,
        mutedText,
        accent,
        success,
        warning,
        danger,
        onAccent
    };

    static QColor color(Role role, Variant variant);
    // The variant the widget's window draws in (see Theme); with no widget,
    // or one outside every themed window, the application palette's.
    static Variant variantOf(const QWidget* widget);
    static Variant currentVariant() { return variantOf(nullptr); }

    static QColor background(const QWidget* w = nullptr) { return color(Role::background, variantOf(w)); }
    static QColor surface(const QWidget* w = nullptr) { return color(Role::surface, variantOf(w)); }
    static QColor raised(const QWidget* w = nullptr) { return color(Role::raised, variantOf(w)); }
    static QColor line(const QWidget* w = nullptr) { return color(Role::line, variantOf(w)); }
    static QColor text(const QWidget* w = nullptr) { return color(Role::text, variantOf(w)); }
    static QColor secondaryText(const QWidget* w = nullptr) { return color(Role::secondaryText, variantOf(w)); }
    static QColor mutedText(const QWidget* w = nullptr) { return color(Role::mutedText, variantOf(w)); }
    static QColor accent(const QWidget* w = nullptr) { return color(Role::accent, variantOf(w)); }
    static QColor success(const QWidget* w = nullptr) { return color(Role::success, variantOf(w)); }
    static QColor warning(const QWidget* w = nullptr) { return color(Role::warning, variantOf(w)); }
    static QColor danger(const QWidget* w = nullptr) { return color(Role::danger, variantOf(w)); }
    static QColor onAccent(const QWidget* w = nullptr) { return color(Role::onAccent, variantOf(w)); }
};

// The theme's interface face (Inter) at a size in points and a weight; the
// system font when Inter is missing.
QFont metroFont(qreal size, QFont::Weight weight = QFont::Normal);
// The theme's monospaced face (JetBrains Mono); the system's fixed font when missing.
QFont metroMonoFont(qreal size, QFont::Weight weight = QFont::Normal);

// Keeps the colour a widget draws its text in (labels, buttons and editors)
// on a role of its window's theme, now and after every change of theme.
// Errors take `danger`, notices `warning`.
void setTextRole(QWidget* widget, Metro::Role role);
// Keeps the widget's background filled with a role of its window's theme.
void setFillRole(QWidget* widget, Metro::Role role, qreal opacity = 1.0);
// Puts the kept roles of the widget and all within it into their palettes
// again: a widget under a style sheet hears of no palette change.
void restyleKeptRoles(QWidget* root);

// A pane's title (the tool panes) or a section's (in a pane or a sheet), in
// the text colour.
enum class TitleLevel { pane, section };
QLabel* makeTitle(const QString& text, QWidget* parent, TitleLevel level = TitleLevel::pane);
// A hidden, wrapping label named "error" in the danger colour, where a sheet
// says what went wrong.
QLabel* makeErrorLabel(QWidget* parent);
// Shows `text`, which may quote a file or the keyring, spelt out in such a
// label, and makes its sheet tall enough for all of it.
void showErrorText(QLabel* label, const QString& text);

}  // namespace quillmar
