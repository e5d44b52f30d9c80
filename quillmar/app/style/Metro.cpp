#include "quillmar/app/style/Metro.h"

#include "quillmar/app/style/Appearance.h"
#include "quillmar/app/style/TerminalFont.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QLabel>
#include <QPalette>

#include <array>

namespace quillmar {

QColor Metro::color(Role role, Variant variant) {
    // dark, light, matrix
    static constexpr std::array<std::array<QRgb, 3>, 12> table = {{
        {0x0E1117, 0xF6F7F9, 0x0D0208},  // background
        {0x161B24, 0xFFFFFF, 0x0C160E},  // surface
        {0x1E242F, 0xECEFF3, 0x142418},  // raised
        {0x2C3442, 0xE0E4EB, 0x224028},  // line
        {0xE1E6EE, 0x161B24, 0x00FF41},  // text
        {0xAEB8C8, 0x465263, 0x00C834},  // secondaryText
        {0x6E7B8B, 0x647080, 0x00A52D},  // mutedText
        {0xFFB74D, 0x915500, 0x00FF41},  // accent
        {0x6FCF97, 0x106E3E, 0x3FD9A0},  // success
        {0xF5BF69, 0x825400, 0xC9C94A},  // warning
        {0xF86A5C, 0xB02A20, 0xF06458},  // danger
        {0x0E1117, 0xFFFFFF, 0x0D0208},  // onAccent
    }};
    return QColor::fromRgb(table[std::size_t(role)][std::size_t(variant)] | 0xFF000000u);
}

Metro::Variant Metro::currentVariant() {
    if (isMatrixAppearance())
        return Variant::matrix;
    if (!qGuiApp)
        return Variant::dark;
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128 ? Variant::dark : Variant::light;
}

namespace {

QFont themeFace(const QString& postScriptName, qreal size, QFont::Weight weight, bool mono) {
    if (auto face = fontForPostScriptName(postScriptName, size))
        return *face;
    QFont f = QFontDatabase::systemFont(mono ? QFontDatabase::FixedFont : QFontDatabase::GeneralFont);
    f.setPointSizeF(size > 0 ? size : 13.0);
    f.setWeight(weight);
    return f;
}

}  // namespace

QFont metroFont(qreal size, QFont::Weight weight) {
    const char* name = weight >= QFont::Bold       ? "Inter-Bold"
                       : weight >= QFont::DemiBold ? "Inter-SemiBold"
                       : weight >= QFont::Medium   ? "Inter-Medium"
                                                   : "Inter-Regular";
    return themeFace(QLatin1String(name), size, weight, false);
}

QFont metroMonoFont(qreal size, QFont::Weight weight) {
    const char* name = weight >= QFont::DemiBold ? "JetBrainsMono-Bold"
                       : weight >= QFont::Medium ? "JetBrainsMono-Medium"
                                                 : "JetBrainsMono-Regular";
    return themeFace(QLatin1String(name), size, weight, true);
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    palette.setColor(QPalette::ButtonText, colour);
    palette.setColor(QPalette::Text, colour);
    widget->setPalette(palette);
}

QLabel* makeErrorLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    // What went wrong often quotes a path or a title.
    label->setTextFormat(Qt::PlainText);
    label->setObjectName(QStringLiteral("error"));
    label->setWordWrap(true);
    setTextColour(label, Metro::danger());
    label->hide();
    return label;
}

}  // namespace quillmar
