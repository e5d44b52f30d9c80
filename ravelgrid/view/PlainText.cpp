#include "ravelgrid/view/PlainText.h"

#include <QLabel>
#include <QPointer>

namespace ravelgrid {
namespace {

// A tooltip is read at a glance; a longer one only costs layout time.
constexpr qsizetype kMaxToolTipChars = 4000;

}  // namespace

QLabel* plainLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QString plainToolTip(const QString& text) {
    QString shown = text;
    if (shown.size() > kMaxToolTipChars) {
        qsizetype cut = kMaxToolTipChars;
        if (shown.at(cut - 1).isHighSurrogate())
            --cut;
        shown = shown.left(cut) + QChar(0x2026);
    }
    // Qt shows text as written unless it guesses markup; only then does it
    // need escaping, and white-space:pre keeps its lines and spaces.
    if (!Qt::mightBeRichText(shown))
        return shown;
    return QStringLiteral("<p style='white-space:pre'>") + shown.toHtmlEscaped() + QStringLiteral("</p>");
}

std::unique_ptr<QMessageBox> plainQuestion(QWidget* parent, const QString& title, const QString& text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton) {
    auto box = std::make_unique<QMessageBox>(QMessageBox::Question, title, QString(), buttons, parent);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    if (defaultButton != QMessageBox::NoButton)
        box->setDefaultButton(defaultButton);
    return box;
}

QMessageBox::StandardButton ask(std::unique_ptr<QMessageBox> box) {
    // A closing tab deletes its children, the running box among them.
    const QPointer<QMessageBox> alive(box.get());
    const int answer = box->exec();
    if (!alive) {
        (void)box.release();
        return QMessageBox::NoButton;
    }
    return QMessageBox::StandardButton(answer);
}

bool isHiddenCharacter(char32_t c) {
    switch (c) {
    case 0x034F:  // combining grapheme joiner
    case 0x115F:
    case 0x1160:
    case 0x3164:
    case 0xFFA0:  // Hangul fillers, drawn as blanks
    case 0x17B4:
    case 0x17B5:
    case 0x2028:
    case 0x2029: return true;
    default: break;
    }
    // Bidi embeddings, overrides, isolates and marks, zero-width spaces and
    // joiners, the byte order mark and tag characters are all format controls.
    return QChar::category(c) == QChar::Other_Format;
}

bool hasHiddenCharacters(const QString& text) {
    for (const char32_t c : text.toUcs4())
        if (isHiddenCharacter(c))
            return true;
    return false;
}

QString revealHiddenCharacters(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (isHiddenCharacter(c))
            out += QStringLiteral("<U+%1>").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
        else
            out += QString::fromUcs4(&c, 1);
    }
    return out;
}

}  // namespace ravelgrid
