#include "quillmar/app/style/Metro.h"

#include "quillmar/app/style/TerminalFont.h"
#include "quillmar/app/style/Theme.h"
#include "ravelgrid/view/PlainText.h"

#include <QCoreApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QLabel>
#include <QLayout>
#include <QPalette>
#include <QPointer>

#include <algorithm>
#include <array>

namespace quillmar {

QColor Metro::color(Role role, Variant variant)
{
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

Metro::Variant Metro::variantOf(const QWidget* widget)
{
    if (const Theme* theme = Theme::of(widget))
        return theme->variant();
    return Theme::applicationVariant();
}

namespace {

QFont themeFace(const QString& postScriptName, qreal size, QFont::Weight weight, bool mono)
{
    if (auto face = fontForPostScriptName(postScriptName, size))
        return *face;
    QFont f = QFontDatabase::systemFont(mono ? QFontDatabase::FixedFont : QFontDatabase::GeneralFont);
    f.setPointSizeF(size > 0 ? size : 13.0);
    f.setWeight(weight);
    return f;
}

}  // namespace

QFont metroFont(qreal size, QFont::Weight weight)
{
    const char* name = weight >= QFont::Bold       ? "Inter-Bold"
                       : weight >= QFont::DemiBold ? "Inter-SemiBold"
                       : weight >= QFont::Medium   ? "Inter-Medium"
                                                   : "Inter-Regular";
    return themeFace(QLatin1String(name), size, weight, false);
}

QFont metroMonoFont(qreal size, QFont::Weight weight)
{
    const char* name = weight >= QFont::DemiBold ? "JetBrainsMono-Bold"
                       : weight >= QFont::Medium ? "JetBrainsMono-Medium"
                                                 : "JetBrainsMono-Regular";
    return themeFace(QLatin1String(name), size, weight, true);
}

namespace {

const char* const textRoleKey = "quillmarTextRole";
const char* const fillRoleKey = "quillmarFillRole";
const char* const fillOpacityKey = "quillmarFillOpacity";

// Puts the widget's kept roles into its palette. Setting the palette sends
// the widget another palette change, which then finds nothing to do.
void restyle(QWidget* widget)
{
    const QVariant text = widget->property(textRoleKey);
    const QVariant fill = widget->property(fillRoleKey);
    if (!text.isValid() && !fill.isValid())
        return;
    const Metro::Variant variant = Metro::variantOf(widget);
    QPalette palette = widget->palette();
    if (text.isValid()) {
        const QColor colour = Metro::color(Metro::Role(text.toInt()), variant);
        for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
            palette.setColor(role, colour);
    }
    if (fill.isValid()) {
        QColor colour = Metro::color(Metro::Role(fill.toInt()), variant);
        colour.setAlphaF(float(widget->property(fillOpacityKey).toDouble()));
        palette.setColor(QPalette::Window, colour);
    }
    if (palette != widget->palette())
        widget->setPalette(palette);
}

class RoleKeeper final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ParentChange)
            restyle(static_cast<QWidget*>(watched));
        return false;
    }
};

void keep(QWidget* widget)
{
    static QPointer<RoleKeeper> keeper;
    if (!keeper)
        keeper = new RoleKeeper(qApp);
    // Installing again moves it to the front: still once.
    widget->installEventFilter(keeper);
    restyle(widget);
}

}  // namespace

void setTextRole(QWidget* widget, Metro::Role role)
{
    if (!widget)
        return;
    widget->setProperty(textRoleKey, int(role));
    keep(widget);
}

void setFillRole(QWidget* widget, Metro::Role role, qreal opacity)
{
    if (!widget)
        return;
    widget->setAutoFillBackground(true);
    widget->setProperty(fillRoleKey, int(role));
    widget->setProperty(fillOpacityKey, opacity);
    keep(widget);
}

void restyleKeptRoles(QWidget* root)
{
    if (!root)
        return;
    restyle(root);
    for (QWidget* widget : root->findChildren<QWidget*>())
        restyle(widget);
}

QLabel* makeTitle(const QString& text, QWidget* parent, TitleLevel level)
{
    auto* label = new QLabel(text, parent);
    label->setFont(level == TitleLevel::pane ? metroFont(20, QFont::DemiBold) : metroFont(15, QFont::DemiBold));
    setTextRole(label, Metro::Role::text);
    return label;
}

QLabel* makeErrorLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    // What went wrong often quotes a path or a title.
    label->setTextFormat(Qt::PlainText);
    label->setObjectName(QStringLiteral("error"));
    label->setWordWrap(true);
    setTextRole(label, Metro::Role::danger);
    label->hide();
    return label;
}

void showErrorText(QLabel* label, const QString& text)
{
    label->setText(ravelgrid::revealHiddenCharacters(text));
    label->show();
    // A window's layout keeps it no taller than its minimum, which counts
    // wrapped text at a width of its own: two lines can be cut to one.
    QWidget* sheet = label->window();
    if (QLayout* layout = sheet->layout()) {
        layout->activate();
        const int needed = std::max(sheet->heightForWidth(sheet->width()), sheet->minimumHeight());
        if (needed > sheet->height())
            sheet->resize(sheet->width(), needed);
    }
}

}  // namespace quillmar
