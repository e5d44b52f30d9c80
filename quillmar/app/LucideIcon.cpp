#include "quillmar/app/LucideIcon.h"

#include <QPainter>
#include <QPainterPath>

namespace quillmar {
namespace {

// The artwork on a 24-unit grid, stroked 2 units wide with round caps.
QPainterPath artwork(const QString& name) {
    QPainterPath path;
    if (name == QLatin1String("qm-plus")) {
        path.moveTo(5, 12);
        path.lineTo(19, 12);
        path.moveTo(12, 5);
        path.lineTo(12, 19);
    } else if (name == QLatin1String("qm-x")) {
        path.moveTo(18, 6);
        path.lineTo(6, 18);
        path.moveTo(6, 6);
        path.lineTo(18, 18);
    }
    return path;
}

}  // namespace

LucideIcon::LucideIcon(const QString& name, int size, QWidget* parent)
    : QWidget(parent), name_(name), size_(size), colour_(palette().color(QPalette::WindowText)) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAccessibleName(QString());
}

void LucideIcon::setColor(const QColor& colour) {
    colour_ = colour;
    update();
}

bool LucideIcon::known(const QString& name) { return !artwork(name).isEmpty(); }

void LucideIcon::paint(QPainter& painter, const QString& name, const QRectF& box, const QColor& colour) {
    const QPainterPath path = artwork(name);
    if (path.isEmpty() || box.isEmpty())
        return;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal scale = std::min(box.width(), box.height()) / 24.0;
    painter.translate(box.center().x() - 12 * scale, box.center().y() - 12 * scale);
    painter.scale(scale, scale);
    QPen pen(colour, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.restore();
}

void LucideIcon::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paint(p, name_, QRectF(rect()), colour_);
}

}  // namespace quillmar
