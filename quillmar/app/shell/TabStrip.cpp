#include "quillmar/app/shell/TabStrip.h"

#include "quillmar/app/Version.h"
#include "quillmar/app/shell/TabChip.h"
#include "quillmar/app/shell/ToolChip.h"
#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/Pill.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>

namespace quillmar {
namespace {

// Drawn at 1x and 2x: a 2x drawing scaled down blurs the cross.
QIcon plusIcon(const QColor& colour)
{
    return LucideIcon::icon(QStringLiteral("qm-plus"), 13, colour);
}

}  // namespace

std::optional<int> TabStrip::badgeNumber(std::size_t index, std::size_t count)
{
    if (index <= 7)
        return int(index) + 1;
    if (index + 1 == count)
        return 9;
    return std::nullopt;
}

QString TabStrip::pillText()
{
    return tr("Version: %1").arg(buildText());
}
QString TabStrip::pillHelp()
{
    return tr("Build: %1. Click for About.").arg(buildText());
}

TabStrip::TabStrip(Workspace& workspace, QWidget* parent)
    : QWidget(parent), workspace_(workspace), chips_(
                                                  workspace, [this](const TabID& id) { return makeChip(id); },
                                                  [](ChipBase* chip) {
                                                      chip->hide();
                                                      chip->deleteLater();
                                                  })
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidgetResizable(true);
    // A click on the strip, of any button, leaves the keyboard in the terminal.
    scroll_->setFocusPolicy(Qt::NoFocus);
    scroll_->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    row_ = new QWidget(scroll_);
    rowLayout_ = new QHBoxLayout(row_);
    rowLayout_->setContentsMargins(6, 0, 6, 0);
    rowLayout_->setSpacing(2);
    rowLayout_->addStretch(1);
    scroll_->setWidget(row_);
    // A wheel turned over the chips scrolls them sideways.
    scroll_->viewport()->installEventFilter(this);
    row_->installEventFilter(this);

    localButton_ = new QPushButton(tr("Local"), this);
    localButton_->setFont(metroMonoFont(12));
    localButton_->setIconSize(QSize(13, 13));
    localButton_->setFixedHeight(26);
    localButton_->setFocusPolicy(Qt::NoFocus);
    localButton_->setCursor(Qt::PointingHandCursor);
    localButton_->setToolTip(tr("New local shell tab (Ctrl+Shift+T). SSH tabs open from the sidebar. "
                                "Hold Alt to see tab numbers."));
    connect(localButton_, &QPushButton::clicked, this, &TabStrip::openLocalShell);

    buildButton_ = new QPushButton(this);
    buildButton_->setFlat(true);
    buildButton_->setFocusPolicy(Qt::NoFocus);
    buildButton_->setCursor(Qt::PointingHandCursor);
    buildButton_->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    buildButton_->setToolTip(pillHelp());
    buildPill_ = new Pill(pillText(), Metro::Role::accent, buildButton_);
    buildPill_->setAttribute(Qt::WA_TransparentForMouseEvents);
    buildButton_->setFixedSize(buildPill_->sizeHint());
    connect(buildButton_, &QPushButton::clicked, this, &TabStrip::openAbout);

    restyle();
    layout->addWidget(scroll_, 1);
    layout->addWidget(localButton_);
    layout->addSpacing(10);
    layout->addWidget(buildButton_);
    layout->addSpacing(10);

    connect(&workspace_, &Workspace::sessionsChanged, this, &TabStrip::sync);
    connect(&workspace_, &Workspace::openToolsChanged, this, &TabStrip::sync);
    connect(&workspace_, &Workspace::activeIDChanged, this, &TabStrip::markActive);
    sync();
}

void TabStrip::restyle()
{
    localButton_->setIcon(plusIcon(Metro::secondaryText(this)));
    const QString sheet = QStringLiteral("QPushButton { border: 1px solid %1; border-radius: 6px; padding: 0 8px; "
                                         "color: %2; background: transparent; }")
                              .arg(Metro::line(this).name(), Metro::secondaryText(this).name());
    // A new style sheet changes the palette again: set only what differs.
    if (localButton_->styleSheet() != sheet)
        localButton_->setStyleSheet(sheet);
    buildPill_->update();
    // Below the scroll area's style sheet no palette change reaches them.
    for (const auto& [id, chip] : chips())
        chip->restyle();
}

void TabStrip::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        restyle();
}

void TabStrip::openLocalShell()
{
    workspace_.open(SessionTarget::local());
}

void TabStrip::openAbout()
{
    workspace_.setSettingsScrollTarget(QStringLiteral("about"));
    workspace_.openTool(ToolTab::settings);
}

TabChip* TabStrip::chipFor(const QUuid& sessionID) const
{
    return qobject_cast<TabChip*>(chips_.find(sessionID));
}

ToolChip* TabStrip::chipFor(ToolTab tool) const
{
    return qobject_cast<ToolChip*>(chips_.find(tool));
}

std::optional<QRect> TabStrip::chipFrame(const TabID& id, const QWidget* reference) const
{
    ChipBase* chip = chips_.find(id);
    if (!chip || !chip->isVisible() || !reference)
        return std::nullopt;
    return QRect(reference->mapFromGlobal(chip->mapToGlobal(QPoint(0, 0))), chip->size());
}

ChipBase* TabStrip::makeChip(const TabID& id)
{
    auto select = [this, id] { workspace_.activate(id); };
    if (auto tool = id.tool())
        return new ToolChip(
            *tool, select, [this, id] { workspace_.close(id); }, row_);
    auto* chip = new TabChip(
        workspace_.session(*id.session()), select, [this, id] { workspace_.requestClose(id); }, row_);
    connect(chip, &TabChip::renameEnded, this, &TabStrip::renameEnded);
    return chip;
}

void TabStrip::sync()
{
    chips_.sync();
    int place = 0;
    for (const auto& [id, chip] : chips_.inOrder())
        rowLayout_->insertWidget(place++, chip);
    markActive();
    emit chipsChanged();
}

void TabStrip::markActive()
{
    const auto active = workspace_.activeID();
    ChipBase* activeChip = active ? chips_.find(*active) : nullptr;
    chips_.forEach([&](ChipBase* chip) { chip->setActive(chip == activeChip); });
    revealActive();
    // A chip just added has no place yet; once the row is laid out again.
    scheduleReveal();
}

void TabStrip::scheduleReveal()
{
    if (revealPending_)
        return;
    revealPending_ = true;
    QTimer::singleShot(0, this, [this] {
        revealPending_ = false;
        revealActive();
    });
}

void TabStrip::revealActive()
{
    const auto active = workspace_.activeID();
    ChipBase* chip = active ? chips_.find(*active) : nullptr;
    // With the row's padding, so the first and last chips show their edge.
    if (chip)
        scroll_->ensureWidgetVisible(chip, rowLayout_->contentsMargins().left(), 0);
}

bool TabStrip::eventFilter(QObject* watched, QEvent* event)
{
    // The row grows with its chips and the viewport with the window: either
    // can push the active chip out of sight.
    if ((watched == row_ || watched == scroll_->viewport()) && event->type() == QEvent::Resize)
        scheduleReveal();
    if (watched == scroll_->viewport() && event->type() == QEvent::Wheel) {
        auto* wheel = static_cast<QWheelEvent*>(event);
        const QPoint delta = wheel->angleDelta();
        QScrollBar* bar = scroll_->horizontalScrollBar();
        bar->setValue(bar->value() - (delta.x() != 0 ? delta.x() : delta.y()));
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace quillmar
