#include "ravelgrid/view/PlainText.h"

#include "platform/Utf8.h"

#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QStandardItemModel>

namespace ravelgrid {
namespace {

// A tooltip is read at a glance; a longer one only costs layout time.
constexpr qsizetype kMaxToolTipChars = 4000;

// The list draws the display text; an editable box fills its field, and
// completes what is typed, from the edit text: the value as written.
class SpeltOutItem final : public QStandardItem {
public:
    explicit SpeltOutItem(const QString& value) : QStandardItem(revealHiddenCharacters(value))
    {
        setData(value, Qt::UserRole);
    }
    QVariant data(int role) const override
    {
        return QStandardItem::data(role == Qt::EditRole ? int(Qt::UserRole) : role);
    }
    QStandardItem* clone() const override { return new SpeltOutItem(data(Qt::UserRole).toString()); }
};

}  // namespace

QLabel* plainLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QString plainToolTip(const QString& text)
{
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
                                           QMessageBox::StandardButton defaultButton)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::Question, title, QString(), buttons, parent);
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    if (defaultButton != QMessageBox::NoButton)
        box->setDefaultButton(defaultButton);
    return box;
}

QMessageBox::StandardButton ask(std::unique_ptr<QMessageBox> box)
{
    // A closing tab deletes its children, the running box among them.
    const QPointer<QMessageBox> alive(box.get());
    const int answer = box->exec();
    if (!alive) {
        (void)box.release();
        return QMessageBox::NoButton;
    }
    return QMessageBox::StandardButton(answer);
}

// One rule for every name shown, here and where the application checks names.
bool isHiddenCharacter(char32_t c)
{
    return platform::isHiddenCharacter(c);
}

bool hasHiddenCharacters(const QString& text)
{
    for (const char32_t c : text.toUcs4())
        if (isHiddenCharacter(c))
            return true;
    return false;
}

QString revealHiddenCharacters(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        const bool otherBlank = c != U' ' && QChar::category(c) == QChar::Separator_Space;
        if (isHiddenCharacter(c) || otherBlank)
            out += QStringLiteral("<U+%1>").arg(uint(c), 4, 16, QLatin1Char('0')).toUpper();
        else
            out += QString::fromUcs4(&c, 1);
    }
    return out;
}

void addSpeltOutItems(QComboBox* box, const QStringList& values)
{
    auto* model = qobject_cast<QStandardItemModel*>(box->model());
    for (const QString& value : values) {
        if (model)
            model->appendRow(new SpeltOutItem(value));
        else
            box->addItem(revealHiddenCharacters(value), value);
    }
}

}  // namespace ravelgrid
