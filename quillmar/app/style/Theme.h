#pragma once

#include "quillmar/app/style/Metro.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace quillmar {

class SystemAppearance;
class UserSettings;

// The look of one window: the theme variant its settings and the desktop
// give, set as the window's palette (and the application's while this is
// the only window with a theme, so menus and dialogs match). Widgets find
// the theme of their own window through `Metro::variantOf`, and restyle on
// the palette change that a new variant brings.
class Theme final : public QObject {
    Q_OBJECT

public:
    Theme(UserSettings& settings, SystemAppearance& system, QWidget& window);
    ~Theme() override;

    Metro::Variant variant() const { return variant_; }
    bool colourSchemeIsDark() const;
    QWidget* window() const { return window_; }

    // Reads the settings and the desktop again and sets the palettes.
    void apply();

    // The theme of the widget's window, or of the window that owns that
    // one (a dialog); none for a widget outside every themed window.
    static const Theme* of(const QWidget* widget);
    // The variant of the application palette: the last one a theme set, or
    // the desktop's lightness before any did.
    static Metro::Variant applicationVariant();

signals:
    void changed();

private:
    Metro::Variant computeVariant() const;

    UserSettings& settings_;
    SystemAppearance& system_;
    QPointer<QWidget> window_;
    Metro::Variant variant_;
};

}  // namespace quillmar
