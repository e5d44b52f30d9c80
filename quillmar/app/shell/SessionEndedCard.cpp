#include "quillmar/app/shell/SessionEndedCard.h"

#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/Pill.h"
#include "ravelgrid/view/PlainText.h"

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmar {

Metro::Role exitRole(std::optional<std::int32_t> exitCode, SessionTarget::Kind kind)
{
    if (!exitCode)
        return Metro::Role::danger;
    if (*exitCode == 0)
        return Metro::Role::success;
    if (*exitCode == 255 && kind == SessionTarget::Kind::ssh)
        return Metro::Role::danger;
    return Metro::Role::warning;
}

QColor exitTone(std::optional<std::int32_t> exitCode, SessionTarget::Kind kind, const QWidget* widget)
{
    return Metro::color(exitRole(exitCode, kind), Metro::variantOf(widget));
}

SessionEndedCard::SessionEndedCard(std::shared_ptr<TerminalSession> session, QWidget* parent)
    : QWidget(parent), session_(std::move(session))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 16, 22, 16);
    layout->setSpacing(10);
    pill_ = new Pill(QString(), Metro::Role::danger, this);
    title_ = new QLabel(this);
    title_->setFont(metroFont(14, QFont::DemiBold));
    title_->setAlignment(Qt::AlignCenter);
    hint_ = new QLabel(this);
    hint_->setFont(metroFont(12));
    hint_->setAlignment(Qt::AlignCenter);
    dismissButton_ = new QPushButton(tr("Dismiss"), this);
    dismissButton_->setFlat(true);
    dismissButton_->setCursor(Qt::PointingHandCursor);
    dismissButton_->setFont(metroMonoFont(11));
    dismissButton_->setFocusPolicy(Qt::NoFocus);
    setTextRole(title_, Metro::Role::text);
    setTextRole(hint_, Metro::Role::secondaryText);
    setTextRole(dismissButton_, Metro::Role::mutedText);
    connect(dismissButton_, &QPushButton::clicked, this, &SessionEndedCard::dismiss);
    layout->addWidget(pill_, 0, Qt::AlignHCenter);
    layout->addWidget(title_, 0, Qt::AlignHCenter);
    layout->addWidget(hint_, 0, Qt::AlignHCenter);
    layout->addWidget(dismissButton_, 0, Qt::AlignHCenter);
    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(QColor(0, 0, 0, 89));
    shadow->setBlurRadius(32);
    shadow->setOffset(0, 6);
    setGraphicsEffect(shadow);
    refresh();
}

QString SessionEndedCard::title() const
{
    return title_->text();
}
QString SessionEndedCard::hint() const
{
    return hint_->text();
}

void SessionEndedCard::refresh()
{
    const bool tool = session_->target.kind == SessionTarget::Kind::tool;
    pill_->setText(ravelgrid::revealHiddenCharacters(session_->exitDescription().value_or(tr("exited"))));
    pill_->setTone(exitRole(session_->exitCode(), session_->target.kind));
    title_->setText(tool ? tr("Finished.") : tr("Session ended."));
    // A local session has no host to double-click.
    switch (session_->target.kind) {
    case SessionTarget::Kind::tool: hint_->setText(tr("Read the output above, then close the tab.")); break;
    case SessionTarget::Kind::local:
        hint_->setText(tr("Close the tab, or press Ctrl+Shift+T for a new local shell."));
        break;
    case SessionTarget::Kind::ssh: hint_->setText(tr("Close the tab, or double-click the host to reconnect.")); break;
    }
    adjustSize();
    update();
}

void SessionEndedCard::dismiss()
{
    session_->setExitNoticeDismissed(true);
    hide();
}

void SessionEndedCard::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    p.fillPath(path, Metro::raised(this));
    QColor edge = exitTone(session_->exitCode(), session_->target.kind, this);
    edge.setAlphaF(0.32f);
    p.setPen(QPen(edge, 1));
    p.drawPath(path);
}

}  // namespace quillmar
