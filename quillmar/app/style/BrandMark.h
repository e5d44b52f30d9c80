#pragma once

#include <QColor>
#include <QPainterPath>
#include <QWidget>

#include <memory>

class QVariantAnimation;

namespace quillmar {

// The logo: a rounded dark card with "qm" and an amber block cursor. From
// 28 px up it glows with a slow endless pulse (2.2 s each way) that starts
// one event-loop turn after it is first shown; below 40 px its border is thin.
class BrandMark : public QWidget {
    Q_OBJECT

public:
    static constexpr double glowFrom = 28.0;
    static constexpr double thickBorderFrom = 40.0;
    static constexpr int pulseMs = 2200;

    static QColor cardBg() { return QColor(0x0E, 0x11, 0x17); }
    static QColor ink() { return QColor(0xE1, 0xE6, 0xEE); }
    static QColor amber() { return QColor(0xFF, 0xB7, 0x4D); }

    explicit BrandMark(double size, QWidget* parent = nullptr);
    ~BrandMark() override;

    double markSize() const { return size_; }
    bool glows() const { return size_ >= glowFrom; }
    bool glowPulse() const { return glowPulse_; }
    double borderWidth() const { return size_ < thickBorderFrom ? 0.85 : 1.5; }
    // 0 at rest, 1 at the height of the pulse.
    double phase() const { return phase_; }
    double borderOpacity() const;
    QVariantAnimation* animation() const { return animation_.get(); }

    QSize sizeHint() const override;

    // The mark's outlines at rest for a card of side `s` at the origin; the
    // installed icons are drawn from the same outlines.
    struct Outlines {
        QPainterPath card;
        QPainterPath letters;
        QPainterPath cursor;
        double radius = 0;
    };
    static Outlines outlines(double s, QPointF origin = {});

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void startPulse();

    double size_;
    bool glowPulse_ = false;
    bool scheduled_ = false;
    double phase_ = 0.0;
    std::unique_ptr<QVariantAnimation> animation_;
};

}  // namespace quillmar
