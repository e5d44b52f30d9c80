#include "quillmar/app/style/LucideIcon.h"

#include <QAbstractButton>
#include <QEvent>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include <cmath>

namespace quillmar {
namespace {

// The artwork on a 24-unit grid, stroked 2 units wide with round caps.
QPainterPath artwork(const QString& name)
{
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
    } else if (name == QLatin1String("qm-square-terminal")) {
        path.addRoundedRect(QRectF(3, 3, 18, 18), 2, 2);
        path.moveTo(7, 8);
        path.lineTo(10, 11);
        path.lineTo(7, 14);
        path.moveTo(12, 15);
        path.lineTo(17, 15);
    } else if (name == QLatin1String("qm-server")) {
        path.addRoundedRect(QRectF(2, 2, 20, 8), 2, 2);
        path.addRoundedRect(QRectF(2, 14, 20, 8), 2, 2);
        // Zero-length strokes: the round caps make them dots.
        path.moveTo(6, 6);
        path.lineTo(6.01, 6);
        path.moveTo(6, 18);
        path.lineTo(6.01, 18);
    } else if (name == QLatin1String("qm-key-round")) {
        path.addEllipse(QPointF(7.5, 16.5), 4.5, 4.5);
        path.moveTo(10.7, 13.3);
        path.lineTo(21, 3);
        path.moveTo(18, 6);
        path.lineTo(21, 9);
        path.moveTo(15, 9);
        path.lineTo(17, 11);
    } else if (name == QLatin1String("qm-scroll-text")) {
        path.moveTo(8, 21);
        path.lineTo(17, 21);
        path.arcTo(QRectF(15, 17, 4, 4), 270, 90);
        path.lineTo(19, 5);
        path.arcTo(QRectF(15, 3, 4, 4), 0, 90);
        path.lineTo(6, 3);
        path.arcTo(QRectF(4, 3, 4, 4), 90, 90);
        path.lineTo(4, 17);
        path.moveTo(8, 21);
        path.arcTo(QRectF(4, 17, 4, 4), 270, -180);
        path.moveTo(9, 8);
        path.lineTo(15, 8);
        path.moveTo(9, 12);
        path.lineTo(15, 12);
        path.moveTo(9, 16);
        path.lineTo(13, 16);
    } else if (name == QLatin1String("qm-settings")) {
        path.addEllipse(QPointF(12, 12), 3, 3);
        path.addEllipse(QPointF(12, 12), 7, 7);
        for (int i = 0; i < 8; ++i) {
            const double a = i * M_PI / 4;
            path.moveTo(12 + 7 * std::cos(a), 12 + 7 * std::sin(a));
            path.lineTo(12 + 10 * std::cos(a), 12 + 10 * std::sin(a));
        }
    }
    return path;
}

// Redraws a button's icon whenever its palette (so the theme) changes.
class ButtonIconFollower final : public QObject {
public:
    ButtonIconFollower(QAbstractButton* button, const QString& name, int size, int gap)
        : QObject(button), button_(button), name_(name), size_(size), gap_(gap)
    {
        button->setIconSize({size + gap, size});
        button->installEventFilter(this);
        refresh();
    }

    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::PaletteChange)
            refresh();
        return false;
    }

private:
    void refresh()
    {
        button_->setIcon(LucideIcon::icon(name_, size_, button_->palette().color(QPalette::ButtonText), gap_));
    }

    QAbstractButton* button_;
    QString name_;
    int size_;
    int gap_;
};

}  // namespace

LucideIcon::LucideIcon(const QString& name, int size, QWidget* parent) : QWidget(parent), name_(name), size_(size)
{
    setFixedSize(size, size);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAccessibleName(QString());
}

void LucideIcon::setColor(const QColor& colour)
{
    colour_ = colour;
    update();
}

bool LucideIcon::known(const QString& name)
{
    return !artwork(name).isEmpty();
}

QIcon LucideIcon::icon(const QString& name, int size, const QColor& colour, int gap)
{
    QIcon out;
    // Drawn for both scales so neither is a blurred resample of the other.
    for (const qreal scale : {1.0, 2.0}) {
        QPixmap pixmap(QSize(size + gap, size) * scale);
        pixmap.setDevicePixelRatio(scale);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        paint(p, name, QRectF(0, 0, size, size), colour);
        p.end();
        out.addPixmap(pixmap);
    }
    return out;
}

void LucideIcon::decorate(QAbstractButton* button, const QString& name, int size, int gap)
{
    if (auto* old = button->findChild<ButtonIconFollower*>(QString(), Qt::FindDirectChildrenOnly))
        delete old;
    new ButtonIconFollower(button, name, size, gap);
}

void LucideIcon::paint(QPainter& painter, const QString& name, const QRectF& box, const QColor& colour)
{
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

void LucideIcon::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paint(p, name_, QRectF(rect()), color());
}

}  // namespace quillmar
