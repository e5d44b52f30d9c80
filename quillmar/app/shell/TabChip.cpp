#include "quillmar/app/shell/TabChip.h"

#include "quillmar/app/shell/SessionEndedCard.h"
#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "ravelgrid/view/PlainText.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>

namespace quillmar {
namespace {

// Spaces and tabs only: a line break typed into the name stays.
QString trimmedName(const QString& text)
{
    qsizetype begin = 0, end = text.size();
    auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

class StatusDot : public QWidget {
public:
    explicit StatusDot(QWidget* parent) : QWidget(parent) { setFixedSize(6, 6); }
    QColor colour;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawEllipse(QRectF(rect()));
    }
};

}  // namespace

QToolButton* makeCloseButton(const QString& help, QWidget* parent)
{
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setToolTip(help);
    button->setAccessibleName(help);
    button->setFixedSize(16, 16);
    button->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    auto* cross = new LucideIcon(QStringLiteral("qm-x"), 12, button);
    setTextRole(cross, Metro::Role::mutedText);
    cross->move(2, 2);
    return button;
}

ChipBase::ChipBase(std::function<void()> onSelect, std::function<void()> onClose, QWidget* parent)
    : QWidget(parent), onSelect_(std::move(onSelect)), onClose_(std::move(onClose))
{
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(10, 5, 10, 5);
    row_->setSpacing(6);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ChipBase::setActive(bool active)
{
    if (active == active_)
        return;
    active_ = active;
    activeChanged();
    update();
}

void ChipBase::restyle()
{
    activeChanged();
    update();
}

void ChipBase::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        restyle();
}

void ChipBase::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && onSelect_)
        onSelect_();
    event->accept();
}

void ChipBase::paintEvent(QPaintEvent*)
{
    if (!active_)
        return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), 6, 6);
    p.fillPath(path, Metro::raised(this));
    p.fillRect(QRectF(6, height() - 2, width() - 12, 2), Metro::accent(this));
}

TabChip::TabChip(std::shared_ptr<TerminalSession> session, std::function<void()> onSelect,
                 std::function<void()> onClose, QWidget* parent)
    : ChipBase(std::move(onSelect), std::move(onClose), parent), session_(std::move(session))
{
    dot_ = new StatusDot(this);
    title_ = ravelgrid::plainLabel(QString(), this);
    title_->setFont(metroMonoFont(12));
    field_ = new QLineEdit(this);
    field_->setPlaceholderText(tr("Tab name"));
    field_->setFont(metroMonoFont(12));
    field_->setFrame(false);
    field_->setFixedWidth(110);
    field_->hide();
    // Return and Escape end the rename here; no key typed into the field
    // reaches the terminal or a shortcut meant for it.
    field_->installEventFilter(this);
    closeButton_ = makeCloseButton(tr("Close tab"), this);
    connect(closeButton_, &QToolButton::clicked, this, [this] {
        if (onClose_)
            onClose_();
    });
    row_->addWidget(dot_);
    row_->addWidget(title_);
    row_->addWidget(field_);
    row_->addWidget(closeButton_);
    connect(session_.get(), &TerminalSession::titleChanged, this, &TabChip::refresh);
    connect(session_.get(), &TerminalSession::exited, this, &TabChip::refresh);
    refresh();
}

QString TabChip::titleText() const
{
    return title_->text();
}

QColor TabChip::statusColor(const TerminalSession& session, const QWidget* widget)
{
    if (session.running())
        return Metro::success(widget);
    QColor tone = exitTone(session.exitCode(), session.target.kind, widget);
    if (session.exitCode() == 0)
        tone.setAlphaF(0.45f);
    return tone;
}

void TabChip::refresh()
{
    static_cast<StatusDot*>(dot_)->colour = statusColor(*session_, this);
    dot_->update();
    title_->setText(ravelgrid::revealHiddenCharacters(session_->title()));
    setTextRole(title_, active_ ? Metro::Role::text : Metro::Role::secondaryText);
    setTextRole(field_, Metro::Role::text);
    setToolTip(ravelgrid::plainToolTip(ravelgrid::revealHiddenCharacters(session_->summary())));
    adjustSize();
}

void TabChip::activeChanged()
{
    refresh();
}

void TabChip::beginRename()
{
    field_->setText(session_->customName().value_or(session_->title()));
    editing_ = true;
    title_->hide();
    field_->show();
    field_->selectAll();
    field_->setFocus(Qt::OtherFocusReason);
    adjustSize();
}

void TabChip::commitRename()
{
    if (!editing_)
        return;
    const QString name = trimmedName(field_->text());
    session_->setCustomName(name.isEmpty() ? std::nullopt : std::optional<QString>(name));
    cancelRename();
}

void TabChip::cancelRename()
{
    const bool hadKeyboard = editing_ && field_->hasFocus();
    editing_ = false;
    field_->hide();
    title_->show();
    refresh();
    if (hadKeyboard)
        emit renameEnded();
}

void TabChip::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        beginRename();
    event->accept();
}

bool TabChip::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == field_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            commitRename();
            return true;
        }
        if (key->key() == Qt::Key_Escape) {
            cancelRename();
            return true;
        }
    }
    return ChipBase::eventFilter(watched, event);
}

}  // namespace quillmar
