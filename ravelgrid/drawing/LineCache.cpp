#include "ravelgrid/drawing/LineCache.h"

#include <QTextLayout>

#include <unordered_map>

namespace ravelgrid {
namespace {

struct Key {
    QString text;
    uint64_t faceId;
    bool operator==(const Key&) const = default;
};

struct KeyHash {
    size_t operator()(const Key& k) const noexcept { return qHash(k.text) ^ std::hash<uint64_t>()(k.faceId); }
};

std::unordered_map<Key, ShapedText, KeyHash>& cache()
{
    static std::unordered_map<Key, ShapedText, KeyHash> c;
    return c;
}

uint64_t& shapes()
{
    static uint64_t n = 0;
    return n;
}

}  // namespace

ShapedText LineCache::shape(const QString& text, const QFont& font)
{
    ++shapes();
    ShapedText shaped;
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::NoWrap);
    layout.setTextOption(option);
    layout.beginLayout();
    QTextLine line = layout.createLine();
    if (!line.isValid()) {
        layout.endLayout();
        return shaped;
    }
    line.setLineWidth(1e6);
    layout.endLayout();
    const qreal ascent = line.ascent();
    shaped.advance = line.naturalTextWidth();
    shaped.runs = layout.glyphRuns();
    for (QGlyphRun& run : shaped.runs) {
        QList<QPointF> positions = run.positions();
        for (QPointF& p : positions)
            p.ry() -= ascent;
        run.setPositions(positions);
    }
    return shaped;
}

ShapedText LineCache::cachedLine(const QString& text, const QFont& font, uint64_t faceId)
{
    if (text.size() > maximumCachedLength)
        return shape(text, font);
    auto& c = cache();
    Key key{text, faceId};
    if (auto it = c.find(key); it != c.end())
        return it->second;
    if (c.size() >= capacity)
        c.clear();
    ShapedText shaped = shape(text, font);
    c.emplace(std::move(key), shaped);
    return shaped;
}

size_t LineCache::cachedCount()
{
    return cache().size();
}

uint64_t LineCache::shapeCount()
{
    return shapes();
}

void LineCache::clear()
{
    cache().clear();
}

}  // namespace ravelgrid
