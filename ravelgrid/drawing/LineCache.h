#pragma once

#include <QFont>
#include <QGlyphRun>
#include <QList>
#include <QString>

#include <cstdint>

namespace ravelgrid {

// Text shaped by Qt (with its font fallback), glyph positions relative to
// the start of the baseline.
struct ShapedText {
    QList<QGlyphRun> runs;
    qreal advance = 0;
};

// Shaping of short strings (grapheme clusters, emoji sequences): strings of
// at most 8 UTF-16 units are kept process-wide, 2048 at most, emptied whole
// when full; longer ones are shaped afresh on every call. Main thread only.
class LineCache {
public:
    static constexpr size_t capacity = 2048;
    static constexpr int maximumCachedLength = 8;

    static ShapedText cachedLine(const QString& text, const QFont& font, uint64_t faceId);
    static ShapedText shape(const QString& text, const QFont& font);

    static size_t cachedCount();
    static uint64_t shapeCount();  // how many times text was shaped, for tests
    static void clear();
};

}  // namespace ravelgrid
