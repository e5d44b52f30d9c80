#include "quillmar/app/style/TerminalFont.h"

#include "quillmar/app/style/MonospaceFonts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFontDatabase>
#include <QHash>

namespace quillmar {
namespace {

QString squeezed(QString text)
{
    text.remove(QLatin1Char(' '));
    return text.toLower();
}

// Family (without spaces, lower case) to family name, built once; cleared
// when fonts are registered.
QHash<QString, QString>& familyIndex()
{
    static QHash<QString, QString> index;
    return index;
}

QString familyFor(const QString& squeezedFamily)
{
    QHash<QString, QString>& index = familyIndex();
    if (index.isEmpty()) {
        for (const QString& family : QFontDatabase::families())
            index.insert(squeezed(family), family);
    }
    return index.value(squeezedFamily);
}

}  // namespace

std::optional<QFont> fontForPostScriptName(const QString& name, qreal size)
{
    if (name.isEmpty() || name.size() > 256)
        return std::nullopt;
    const qreal points = size > 0 ? size : 13.0;
    if (QFontDatabase::hasFamily(name)) {
        QFont f(name);
        f.setPointSizeF(points);
        return f;
    }
    const qsizetype dash = name.lastIndexOf(QLatin1Char('-'));
    const QString familyPart = dash > 0 ? name.left(dash) : name;
    const QString stylePart = dash > 0 ? name.mid(dash + 1) : QStringLiteral("Regular");
    const QString family = familyFor(squeezed(familyPart));
    if (family.isEmpty())
        return std::nullopt;
    const QString wantedStyle = squeezed(stylePart);
    for (const QString& style : QFontDatabase::styles(family)) {
        if (squeezed(style) == wantedStyle) {
            // Weight and slant rather than a style name, which would win over
            // the bold and italic a terminal asks of the same font.
            QFont f(family);
            f.setWeight(QFont::Weight(QFontDatabase::weight(family, style)));
            f.setItalic(QFontDatabase::italic(family, style));
            f.setPointSizeF(points);
            return f;
        }
    }
    return std::nullopt;
}

std::optional<QFont> TerminalFont::chosen(const QString& name, qreal size)
{
    if (name.isEmpty() || name.size() > 256)
        return std::nullopt;
    // Settings offers fontconfig's families: whatever it offers is drawn,
    // whatever the regular face's style is called (DejaVu's is "Book").
    for (const MonospaceFace& face : monospaceFaces()) {
        if (face.postScriptName == name || face.family == name) {
            QFont f(face.family);
            f.setPointSizeF(size > 0 ? size : 13.0);
            f.setWeight(QFont::Normal);
            f.setItalic(false);
            return f;
        }
    }
    return fontForPostScriptName(name, size);
}

QFont TerminalFont::font(const QString& name, qreal size)
{
    if (auto f = chosen(name, size))
        return *f;
    if (auto f = fontForPostScriptName(QLatin1String(nerdFontName), size))
        return *f;
    if (auto f = fontForPostScriptName(QStringLiteral("JetBrainsMono-Regular"), size))
        return *f;
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSizeF(size > 0 ? size : 13.0);
    f.setWeight(QFont::Normal);
    return f;
}

int registerFontsIn(const QString& directory)
{
    int count = 0;
    const QDir folder(directory);
    for (const QString& file : folder.entryList({QStringLiteral("*.ttf"), QStringLiteral("*.otf")}, QDir::Files)) {
        if (QFontDatabase::addApplicationFont(folder.filePath(file)) >= 0)
            ++count;
    }
    if (count)
        familyIndex().clear();
    return count;
}

int registerApplicationFonts()
{
    const QString base = QCoreApplication::applicationDirPath();
    return registerFontsIn(base + QStringLiteral("/fonts")) +
           registerFontsIn(base + QStringLiteral("/../share/quillmar/fonts"));
}

}  // namespace quillmar
