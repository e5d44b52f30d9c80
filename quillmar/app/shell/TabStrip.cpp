#include "quillmar/app/shell/TabStrip.h"

#include "quillmar/app/style/LucideIcon.h"
#include "quillmar/app/style/Metro.h"
#include "quillmar/app/style/Pill.h"
#include "quillmar/app/shell/TabChip.h"
#include "quillmar/app/shell/ToolChip.h"
#include "quillmar/app/Version.h"

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

QIcon plusIcon(const QColor& colour) {
    const qreal dpr = 2.0;
    QPixmap pixmap(QSize(13, 13) * dpr);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    LucideIcon::paint(p, QStringLiteral("qm-plus"), QRectF(0, 0, 13, 13), colour);
    return QIcon(pixmap);
}

}  // namespace

std::optional<int> TabStrip::badgeNumber(std::size_t index, std::size_t count) {
    if (index <= 7)
        return int(index) + 1;
    if (index + 1 == count)
        return 9;
    return std::nullopt;
}

QString TabStrip::pillText() { return QStringLiteral("Version: ") + buildText(); }
QString TabStrip::pillHelp() { return QStringLiteral("Build: ") + buildText() + QStringLiteral(". Click for About."); }

TabStrip::TabStrip(Workspace& workspace, QWidget* parent) : QWidget(parent), workspace_(workspace) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setWidgetResizable(true);
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

    localButton_ = new QPushButton(QStringLiteral("Local"), this);
    localButton_->setFont(metroMonoFont(12));
    localButton_->setIconSize(QSize(13, 13));
    localButton_->setFixedHeight(26);
    localButton_->setFocusPolicy(Qt::NoFocus);
    localButton_->setCursor(Qt::PointingHandCursor);
    localButton_->setToolTip(QStringLiteral("New local shell tab (Ctrl+Shift+T). SSH tabs open from the sidebar. "
                                            "Hold Alt to see tab numbers."));
    connect(localButton_, &QPushButton::clicked, this, &TabStrip::openLocalShell);

    buildButton_ = new QPushButton(this);
    buildButton_->setFlat(true);
    buildButton_->setFocusPolicy(Qt::NoFocus);
    buildButton_->setCursor(Qt::PointingHandCursor);
    buildButton_->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; }"));
    buildButton_->setToolTip(pillHelp());
    buildPill_ = new Pill(pillText(), Metro::accent(), buildButton_);
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

void TabStrip::restyle() {
    localButton_->setIcon(plusIcon(Metro::secondaryText()));
    localButton_->setStyleSheet(QStringLiteral("QPushButton { border: 1px solid %1; border-radius: 6px; padding: 0 8px; "
                                               "color: %2; background: transparent; }")
                                    .arg(Metro::line().name(), Metro::secondaryText().name()));
    buildPill_->setTone(Metro::accent());
    for (const auto& [id, chip] : chips())
        chip->restyle();
}

void TabStrip::openLocalShell() { workspace_.open(SessionTarget::local()); }

void TabStrip::openAbout() {
    workspace_.setSettingsScrollTarget(QStringLiteral("about"));
    workspace_.openTool(ToolTab::settings);
}

std::vector<std::pair<QUuid, ChipBase*>> TabStrip::chips() const {
    std::vector<std::pair<QUuid, ChipBase*>> list;
    for (const auto& session : workspace_.sessions()) {
        if (TabChip* chip = chipFor(session->id))
            list.emplace_back(session->id, chip);
    }
    for (ToolTab tool : allToolTabs) {
        if (ToolChip* chip = chipFor(tool))
            list.emplace_back(tabID(tool), chip);
    }
    return list;
}

TabChip* TabStrip::chipFor(const QUuid& sessionID) const {
    auto it = sessionChips_.find(sessionID);
    return it == sessionChips_.end() ? nullptr : it->second.data();
}

ToolChip* TabStrip::chipFor(ToolTab tool) const {
    auto it = toolChips_.find(tool);
    return it == toolChips_.end() ? nullptr : it->second.data();
}

std::optional<QRect> TabStrip::chipFrame(const QUuid& id, const QWidget* reference) const {
    ChipBase* chip = nullptr;
    if (auto tool = toolTabFor(id))
        chip = chipFor(*tool);
    else
        chip = chipFor(id);
    if (!chip || !chip->isVisible() || !reference)
        return std::nullopt;
    return QRect(reference->mapFromGlobal(chip->mapToGlobal(QPoint(0, 0))), chip->size());
}

void TabStrip::sync() {
    // Chips of closed tabs go; a chip lives as long as its tab, so a rename
    // in progress survives changes to the other tabs.
    for (auto it = sessionChips_.begin(); it != sessionChips_.end();) {
        if (workspace_.session(it->first)) {
            ++it;
            continue;
        }
        if (it->second) {
            it->second->hide();
            it->second->deleteLater();
        }
        it = sessionChips_.erase(it);
    }
    for (auto it = toolChips_.begin(); it != toolChips_.end();) {
        if (workspace_.openTools().count(it->first)) {
            ++it;
            continue;
        }
        if (it->second) {
            it->second->hide();
            it->second->deleteLater();
        }
        it = toolChips_.erase(it);
    }
    int place = 0;
    for (const auto& session : workspace_.sessions()) {
        QPointer<TabChip>& chip = sessionChips_[session->id];
        if (!chip) {
            const QUuid id = session->id;
            chip = new TabChip(
                session, [this, id] { workspace_.activate(id); }, [this, id] { workspace_.requestClose(id); }, row_);
        }
        rowLayout_->insertWidget(place++, chip);
    }
    for (ToolTab tool : allToolTabs) {
        if (!workspace_.openTools().count(tool))
            continue;
        QPointer<ToolChip>& chip = toolChips_[tool];
        if (!chip) {
            const QUuid id = tabID(tool);
            chip = new ToolChip(
                tool, [this, id] { workspace_.activate(id); }, [this, id] { workspace_.close(id); }, row_);
        }
        rowLayout_->insertWidget(place++, chip);
    }
    markActive();
    emit chipsChanged();
}

void TabStrip::markActive() {
    const auto active = workspace_.activeID();
    for (auto& [id, chip] : sessionChips_) {
        if (chip)
            chip->setActive(active == id);
    }
    for (auto& [tool, chip] : toolChips_) {
        if (chip)
            chip->setActive(active && toolTabFor(*active) == tool);
    }
    revealActive();
    // A chip just added has no place yet; once the row is laid out again.
    scheduleReveal();
}

void TabStrip::scheduleReveal() {
    if (revealPending_)
        return;
    revealPending_ = true;
    QTimer::singleShot(0, this, [this] {
        revealPending_ = false;
        revealActive();
    });
}

void TabStrip::revealActive() {
    for (const auto& [id, chip] : chips()) {
        // With the row's padding, so the first and last chips show their edge.
        if (chip->isActive())
            scroll_->ensureWidgetVisible(chip, rowLayout_->contentsMargins().left(), 0);
    }
}

bool TabStrip::eventFilter(QObject* watched, QEvent* event) {
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
