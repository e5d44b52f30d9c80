#include "ravelgrid/drawing/FontSet.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <atomic>
#include <cmath>

namespace ravelgrid {
namespace {

std::atomic<uint64_t> nextSerial{1};

// Past this a glyph outgrows every atlas and cache sized for text.
constexpr qreal maximumPixelSize = 1024.0;

qreal sanePointSize(qreal size)
{
    if (!std::isfinite(size) || size < 1.0)
        return FontSet::defaultSize;
    return size;
}

}  // namespace

FontSet::FontSet()
{
    build(QFont(defaultFamily()), defaultSize);
}

FontSet::FontSet(const QString& family, qreal pointSize)
{
    build(QFont(family), pointSize);
}

FontSet::FontSet(const QFont& base)
{
    const qreal points = base.pixelSize() > 0 ? qreal(base.pixelSize()) / pixelsPerPoint() : base.pointSizeF();
    build(base, points);
}

FontSet FontSet::defaultSet()
{
    return FontSet(defaultFamily(), defaultSize);
}

QString FontSet::defaultFamily()
{
    // The fixed font names fontconfig's alias ("monospace"), which the GPU
    // path cannot open by name: take the family it resolves to.
    static const QString family = QFontInfo(QFontDatabase::systemFont(QFontDatabase::FixedFont)).family();
    return family;
}

qreal FontSet::pixelsPerPoint()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    const qreal dpi = screen ? screen->logicalDotsPerInchY() : 0;
    return (std::isfinite(dpi) && dpi >= 1 ? dpi : 96.0) / 72.0;
}

FontSet FontSet::withAntialiasing(bool on) const
{
    if (on == antialiased_)
        return *this;
    FontSet other = *this;
    other.antialiased_ = on;
    other.build(fonts_[0], pointSize_);
    return other;
}

void FontSet::build(const QFont& base, qreal pointSize)
{
    const qreal perPoint = pixelsPerPoint();
    pixelSize_ = std::min(sanePointSize(pointSize) * perPoint, maximumPixelSize);
    pointSize_ = pixelSize_ / perPoint;
    serial_ = nextSerial.fetch_add(1);
    for (size_t i = 0; i < 4; ++i) {
        QFont f = base;
        f.setPointSizeF(pointSize_);
        f.setStyleHint(QFont::Monospace, antialiased_ ? QFont::PreferDefault : QFont::NoAntialias);
        f.setKerning(false);
        f.setBold(i == size_t(FontFace::bold) || i == size_t(FontFace::boldItalic));
        f.setItalic(i == size_t(FontFace::italic) || i == size_t(FontFace::boldItalic));
        fonts_[i] = f;
        QRawFont raw = QRawFont::fromFont(f);
        if (!raw.isValid()) {
            QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
            fixed.setStyleStrategy(f.styleStrategy());
            raw = QRawFont::fromFont(fixed);
        }
        raw.setPixelSize(pixelSize_);
        raws_[i] = raw;
    }
}

}  // namespace ravelgrid
