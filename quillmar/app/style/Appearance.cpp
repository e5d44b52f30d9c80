#include "quillmar/app/style/Appearance.h"

#include "quillmar/app/UserSettings.h"

namespace quillmar {

bool isMatrixAppearance(const UserSettings& settings)
{
    return settings.appearanceText() == QLatin1String("matrix");
}

bool colourSchemeIsDark(AppAppearance appearance, bool systemIsDark)
{
    switch (appearance) {
    case AppAppearance::dark:
    case AppAppearance::matrix: return true;
    case AppAppearance::light: return false;
    case AppAppearance::system: return systemIsDark;
    }
    return true;
}

QString effectiveSchemeID(const QString& schemeID, const QString& appearanceText, bool colourSchemeDark)
{
    if (schemeID != QLatin1String("match-appearance"))
        return schemeID;
    if (appearanceText == QLatin1String("matrix"))
        return QStringLiteral("dot-matrix");
    return colourSchemeDark ? QStringLiteral("metro-dark") : QStringLiteral("metro-light");
}

const TerminalScheme& effectiveScheme(const QString& schemeID, const QString& appearanceText, bool colourSchemeDark)
{
    return TerminalScheme::named(effectiveSchemeID(schemeID, appearanceText, colourSchemeDark));
}

QPalette themePalette(Metro::Variant v)
{
    using R = Metro::Role;
    QPalette p;
    const QColor background = Metro::color(R::background, v);
    const QColor surface = Metro::color(R::surface, v);
    const QColor raised = Metro::color(R::raised, v);
    const QColor text = Metro::color(R::text, v);
    const QColor muted = Metro::color(R::mutedText, v);
    const QColor accent = Metro::color(R::accent, v);
    p.setColor(QPalette::Window, background);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, surface);
    p.setColor(QPalette::AlternateBase, raised);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, raised);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, raised);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, muted);
    p.setColor(QPalette::Highlight, accent);
    p.setColor(QPalette::HighlightedText, Metro::color(R::onAccent, v));
    p.setColor(QPalette::Link, accent);
    p.setColor(QPalette::BrightText, Metro::color(R::danger, v));
    p.setColor(QPalette::Mid, Metro::color(R::line, v));
    p.setColor(QPalette::Disabled, QPalette::Text, muted);
    p.setColor(QPalette::Disabled, QPalette::WindowText, muted);
    p.setColor(QPalette::Disabled, QPalette::ButtonText, muted);
    return p;
}

Metro::Variant themeVariant(AppAppearance appearance, bool systemIsDark)
{
    if (appearance == AppAppearance::matrix)
        return Metro::Variant::matrix;
    return colourSchemeIsDark(appearance, systemIsDark) ? Metro::Variant::dark : Metro::Variant::light;
}

}  // namespace quillmar
