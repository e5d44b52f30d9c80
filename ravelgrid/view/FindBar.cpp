#include "ravelgrid/view/FindBar.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>

namespace ravelgrid {

FindBar::FindBar(QWidget* parent) : QFrame(parent)
{
    setObjectName(QStringLiteral("findBar"));
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("#findBar { background: palette(window); border: 1px solid palette(mid); "
                                 "border-radius: 8px; }"));
    setMaximumWidth(maxWidth);

    searchField_ = new QLineEdit(this);
    searchField_->setPlaceholderText(QStringLiteral("Find"));
    searchField_->setMinimumWidth(200);
    searchField_->setClearButtonEnabled(true);
    searchField_->installEventFilter(this);

    auto button = [this](const QString& text, const QString& tip, bool checkable) {
        auto* b = new QToolButton(this);
        b->setText(text);
        b->setToolTip(tip);
        b->setAccessibleName(tip);
        b->setCheckable(checkable);
        b->setFocusPolicy(Qt::NoFocus);
        return b;
    };
    previousButton_ = button(QStringLiteral("Previous"), QStringLiteral("Previous"), false);
    nextButton_ = button(QStringLiteral("Next"), QStringLiteral("Next"), false);
    caseButton_ = button(QStringLiteral("Aa"), QStringLiteral("Case Sensitive"), true);
    regexButton_ = button(QStringLiteral(".*"), QStringLiteral("Regex"), true);
    wordButton_ = button(QStringLiteral("Word"), QStringLiteral("Whole Word"), true);
    closeButton_ = button(QStringLiteral("Close"), QStringLiteral("Close"), false);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 6, 8, 6);
    row->setSpacing(6);
    for (QWidget* w : std::initializer_list<QWidget*>{searchField_, previousButton_, nextButton_, caseButton_,
                                                      regexButton_, wordButton_, closeButton_})
        row->addWidget(w, 0, Qt::AlignVCenter);

    connect(searchField_, &QLineEdit::textChanged, this, &FindBar::termChanged);
    connect(previousButton_, &QToolButton::clicked, this, &FindBar::previousRequested);
    connect(nextButton_, &QToolButton::clicked, this, &FindBar::nextRequested);
    connect(closeButton_, &QToolButton::clicked, this, &FindBar::closeRequested);
    for (QToolButton* toggle : {caseButton_, regexButton_, wordButton_})
        connect(toggle, &QToolButton::toggled, this, &FindBar::optionsChanged);
}

QString FindBar::term() const
{
    return searchField_->text();
}

void FindBar::setTerm(const QString& term)
{
    const QSignalBlocker block(searchField_);
    searchField_->setText(term);
}

void FindBar::focusTerm()
{
    searchField_->setFocus(Qt::ShortcutFocusReason);
    searchField_->selectAll();
}

SearchOptions FindBar::options() const
{
    return SearchOptions{caseButton_->isChecked(), regexButton_->isChecked(), wordButton_->isChecked()};
}

bool FindBar::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == searchField_ && (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        auto* key = static_cast<QKeyEvent*>(event);
        const bool enter = key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
        const bool escape = key->key() == Qt::Key_Escape;
        if (enter || escape) {
            // Claimed before any shortcut can take it.
            if (event->type() == QEvent::ShortcutOverride) {
                key->accept();
                return true;
            }
            if (escape)
                emit closeRequested();
            else if (key->modifiers() & Qt::ShiftModifier)
                emit previousRequested();
            else
                emit nextRequested();
            return true;
        }
    }
    return QFrame::eventFilter(watched, event);
}

}  // namespace ravelgrid
