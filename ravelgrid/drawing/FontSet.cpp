#include "ravelgrid/drawing/FontSet.h"

#include <QFontDatabase>
#include <QFontInfo>

#include <atomic>
#include <cmath>

namespace ravelgrid {
namespace {

std::atomic<uint64_t> nextSerial{1};

qreal sanePixelSize(qreal size) {
    if (!std::isfinite(size) || size < 1.0)
        return FontSet::defaultSize;
    return std::min(size, 1024.0);
}

}  // namespace

FontSet::FontSet() { build(QFont(defaultFamily()), defaultSize); }

FontSet::FontSet(const QString& family, qreal pixelSize) { build(QFont(family), pixelSize); }

FontSet::FontSet(const QFont& base) {
    qreal size = base.pixelSize() > 0 ? qreal(base.pixelSize()) : base.pointSizeF();
    build(base, size);
}

FontSet FontSet::defaultSet() { return FontSet(defaultFamily(), defaultSize); }

QString FontSet::defaultFamily() {
    static const QString family = [] {
        const QString preferred = QStringLiteral("JetBrains Mono");
        if (QFontDatabase::hasFamily(preferred))
            return preferred;
        return QFontDatabase::systemFont(QFontDatabase::FixedFont).family();
    }();
    return family;
}

void FontSet::build(const QFont& base, qreal pixelSize) {
    pixelSize_ = sanePixelSize(pixelSize);
    serial_ = nextSerial.fetch_add(1);
    for (size_t i = 0; i < 4; ++i) {
        QFont f = base;
        f.setPixelSize(std::max(1, int(std::lround(pixelSize_))));
        f.setStyleHint(QFont::Monospace, QFont::PreferDefault);
        f.setKerning(false);
        f.setBold(i == size_t(FontFace::bold) || i == size_t(FontFace::boldItalic));
        f.setItalic(i == size_t(FontFace::italic) || i == size_t(FontFace::boldItalic));
        fonts_[i] = f;
        QRawFont raw = QRawFont::fromFont(f);
        if (!raw.isValid())
            raw = QRawFont::fromFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        raw.setPixelSize(pixelSize_);
        raws_[i] = raw;
    }
}

}  // namespace ravelgrid
