#include "quillmar/app/shell/StallHint.h"

#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/Pill.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QResizeEvent>
#include <QToolButton>

namespace quillmar {

StallHint::StallHint(std::shared_ptr<TerminalSession> session, platform::Scheduler& clock, QWidget* parent)
    : QWidget(parent), session_(std::move(session)), ticks_(clock)
{
    auto* layout = new QHBoxLayout(this);
    // 10 outside the card, then 12 across and 8 down inside it.
    layout->setContentsMargins(22, 18, 22, 18);
    layout->setSpacing(10);
    pill_ = new Pill(tr("Waiting"), Metro::Role::warning, this);
    label_ = new QLabel(tr(text), this);
    label_->setWordWrap(true);
    label_->setFont(metroFont(12));
    label_->setMaximumHeight(QFontMetrics(label_->font()).lineSpacing() * 2 + 2);
    setTextRole(label_, Metro::Role::text);
    dismissButton_ = new QToolButton(this);
    dismissButton_->setAutoRaise(true);
    dismissButton_->setToolTip(tr("Dismiss"));
    dismissButton_->setAccessibleName(tr("Dismiss"));
    auto* cross = new LucideIcon(QStringLiteral("qm-x"), 12, dismissButton_);
    setTextRole(cross, Metro::Role::mutedText);
    dismissButton_->setFixedSize(20, 20);
    cross->move(4, 4);
    connect(dismissButton_, &QToolButton::clicked, this, &StallHint::dismiss);
    layout->addWidget(pill_);
    layout->addWidget(label_, 1);
    layout->addSpacing(8);
    layout->addWidget(dismissButton_);
    hide();
    // The first tick one second after the start, like a periodic timeline.
    ticks_.after(tickNs, [this] { tick(); });
}

void StallHint::tick()
{
    evaluate();
    // No need to ask again once the answer can only be no: dismissed, ended,
    // or output came too late after the start to count as a stall.
    const StallProbe& probe = session_->probe;
    const bool lateOutput = probe.lastOutputAt && *probe.lastOutputAt >= probe.startedAt &&
                            *probe.lastOutputAt - probe.startedAt >= StallProbe::quietAfterStartNs;
    if (!probe.dismissed && session_->running() && !lateOutput)
        ticks_.after(tickNs, [this] { tick(); });
}

void StallHint::evaluate()
{
    const bool show = session_->probe.shouldShowHint(ticks_.scheduler().nowNs());
    if (show != showing_) {
        showing_ = show;
        emit showingChanged(show);
    }
    setVisible(show);
    if (show)
        raise();
}

void StallHint::dismiss()
{
    session_->probe.dismissed = true;
    ticks_.cancelAll();
    evaluate();
}

QPainterPath StallHint::card() const
{
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()).adjusted(10.5, 10.5, -10.5, -10.5), 8, 8);
    return path;
}

// The see-through margin around the card belongs to the terminal below: a
// middle click there must paste into it, not vanish.
void StallHint::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    QPainterPath outline = card();
    // A pixel out on every side, so the card's edge stroke lies inside.
    QPainterPathStroker stroker;
    stroker.setWidth(2);
    outline = outline.united(stroker.createStroke(outline));
    setMask(QRegion(outline.toFillPolygon().toPolygon()));
}

void StallHint::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPainterPath path = card();
    p.fillPath(path, Metro::raised(this));
    QColor edge = Metro::warning(this);
    edge.setAlphaF(0.45f);
    p.setPen(QPen(edge, 1));
    p.drawPath(path);
}

}  // namespace quillmar
