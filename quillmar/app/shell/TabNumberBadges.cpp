#include "quillmar/app/shell/TabNumberBadges.h"

#include "quillmar/app/shell/TabStrip.h"
#include "quillmar/app/shell/Workspace.h"
#include "quillmar/app/style/Metro.h"

#include <QPainter>
#include <QPainterPath>

namespace quillmar {

TabNumberBadges::TabNumberBadges(Workspace& workspace, TabStrip& strip, QWidget* parent)
    : QWidget(parent), workspace_(workspace), strip_(strip)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFixedHeight(bandHeight);
}

std::vector<TabNumberBadges::Badge> TabNumberBadges::badges() const
{
    std::vector<Badge> list;
    const std::vector<TabID> ids = workspace_.tabIDs();
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const auto number = TabStrip::badgeNumber(i, ids.size());
        if (!number)
            continue;
        // A chip not laid out yet has no place to point at.
        const auto frame = strip_.chipFrame(ids[i], this);
        if (!frame)
            continue;
        list.push_back({tr("Alt+%1").arg(*number), QPoint(frame->center().x(), 18)});
    }
    return list;
}

void TabNumberBadges::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor band = Metro::surface(this);
    band.setAlphaF(0.96f);
    p.fillRect(rect(), band);
    p.fillRect(QRect(0, height() - 1, width(), 1), Metro::line(this));
    const QFont font = metroMonoFont(14, QFont::Bold);
    p.setFont(font);
    const QFontMetrics fm(font);
    for (const Badge& badge : badges()) {
        const QSize size(fm.horizontalAdvance(badge.text) + 20, fm.height() + 6);
        QRectF box(QPointF(badge.centre.x() - size.width() / 2.0, badge.centre.y() - size.height() / 2.0), size);
        QPainterPath shadow;
        shadow.addRoundedRect(box.translated(0, 1), box.height() / 2, box.height() / 2);
        p.fillPath(shadow, QColor(0, 0, 0, 115));
        QPainterPath capsule;
        capsule.addRoundedRect(box, box.height() / 2, box.height() / 2);
        p.fillPath(capsule, Metro::accent(this));
        p.setPen(Metro::background(this));
        p.drawText(box, Qt::AlignCenter, badge.text);
    }
}

}  // namespace quillmar
