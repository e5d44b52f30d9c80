#include "quillmar/app/style/Theme.h"

#include "quillmar/app/UserSettings.h"
#include "quillmar/app/style/Appearance.h"
#include "quillmar/app/style/SystemAppearance.h"

#include <QApplication>

#include <algorithm>
#include <optional>
#include <vector>

namespace quillmar {
namespace {

std::vector<const Theme*>& themes()
{
    static std::vector<const Theme*> live;
    return live;
}

std::optional<Metro::Variant>& setApplicationVariant()
{
    static std::optional<Metro::Variant> variant;
    return variant;
}

}  // namespace

Theme::Theme(UserSettings& settings, SystemAppearance& system, QWidget& window)
    : QObject(&window), settings_(settings), system_(system), window_(&window), variant_(computeVariant())
{
    themes().push_back(this);
    connect(&settings_, &UserSettings::appearanceChanged, this, &Theme::apply);
    connect(&system_, &SystemAppearance::changed, this, [this] {
        if (settings_.appearance() == AppAppearance::system)
            apply();
    });
    apply();
}

Theme::~Theme()
{
    std::erase(themes(), this);
}

bool Theme::colourSchemeIsDark() const
{
    return quillmar::colourSchemeIsDark(settings_.appearance(), system_.isDark());
}

Metro::Variant Theme::computeVariant() const
{
    return themeVariant(settings_.appearance(), system_.isDark());
}

void Theme::apply()
{
    if (settings_.appearance() == AppAppearance::system)
        system_.watch();
    variant_ = computeVariant();
    const QPalette palette = themePalette(variant_);
    if (qApp && themes().size() == 1) {
        setApplicationVariant() = variant_;
        QApplication::setPalette(palette);
    }
    // Set after the application's, which a window with a palette of its own
    // keeps. Its dialogs would take the application's only a turn later, and
    // never while another window set it.
    if (window_) {
        window_->setPalette(palette);
        for (QWidget* child : window_->findChildren<QWidget*>()) {
            if (child->isWindow())
                child->setPalette(palette);
        }
        restyleKeptRoles(window_);
        // Drawn parts under a style sheet hear of no change either.
        window_->update();
    }
    emit changed();
}

const Theme* Theme::of(const QWidget* widget)
{
    for (const QWidget* w = widget ? widget->window() : nullptr; w;
         w = w->parentWidget() ? w->parentWidget()->window() : nullptr) {
        for (const Theme* theme : themes()) {
            if (theme->window_ == w)
                return theme;
        }
    }
    return nullptr;
}

Metro::Variant Theme::applicationVariant()
{
    if (auto v = setApplicationVariant())
        return *v;
    if (!qGuiApp)
        return Metro::Variant::dark;
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128 ? Metro::Variant::dark
                                                                                : Metro::Variant::light;
}

}  // namespace quillmar
