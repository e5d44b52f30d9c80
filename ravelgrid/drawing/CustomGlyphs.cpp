#include "ravelgrid/drawing/CustomGlyphs.h"

#include "ravelgrid/drawing/CellMetrics.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <vector>

namespace ravelgrid {
namespace {

int roundInt(double v)
{
    return int(roundHalfAwayFromZero(v));
}

// --- block elements -------------------------------------------------------------

using R = BlockElementRect;
constexpr BlockAlpha F = BlockAlpha::full;

struct BlockEntry {
    std::array<BlockElementRect, 3> rects;
    uint8_t count;
};

constexpr std::array<BlockEntry, 32> blockTable{{
    {{R{0, 8, 0, 4, F}}, 1},                                      // 2580 upper half
    {{R{0, 8, 7, 8, F}}, 1},                                      // 2581
    {{R{0, 8, 6, 8, F}}, 1},                                      // 2582
    {{R{0, 8, 5, 8, F}}, 1},                                      // 2583
    {{R{0, 8, 4, 8, F}}, 1},                                      // 2584 lower half
    {{R{0, 8, 3, 8, F}}, 1},                                      // 2585
    {{R{0, 8, 2, 8, F}}, 1},                                      // 2586
    {{R{0, 8, 1, 8, F}}, 1},                                      // 2587
    {{R{0, 8, 0, 8, F}}, 1},                                      // 2588 full block
    {{R{0, 7, 0, 8, F}}, 1},                                      // 2589
    {{R{0, 6, 0, 8, F}}, 1},                                      // 258A
    {{R{0, 5, 0, 8, F}}, 1},                                      // 258B
    {{R{0, 4, 0, 8, F}}, 1},                                      // 258C left half
    {{R{0, 3, 0, 8, F}}, 1},                                      // 258D
    {{R{0, 2, 0, 8, F}}, 1},                                      // 258E
    {{R{0, 1, 0, 8, F}}, 1},                                      // 258F
    {{R{4, 8, 0, 8, F}}, 1},                                      // 2590 right half
    {{R{0, 8, 0, 8, BlockAlpha::light}}, 1},                      // 2591
    {{R{0, 8, 0, 8, BlockAlpha::medium}}, 1},                     // 2592
    {{R{0, 8, 0, 8, BlockAlpha::dark}}, 1},                       // 2593
    {{R{0, 8, 0, 1, F}}, 1},                                      // 2594
    {{R{7, 8, 0, 8, F}}, 1},                                      // 2595
    {{R{0, 4, 4, 8, F}}, 1},                                      // 2596
    {{R{4, 8, 4, 8, F}}, 1},                                      // 2597
    {{R{0, 4, 0, 4, F}}, 1},                                      // 2598
    {{R{0, 4, 0, 4, F}, R{0, 4, 4, 8, F}, R{4, 8, 4, 8, F}}, 3},  // 2599
    {{R{0, 4, 0, 4, F}, R{4, 8, 4, 8, F}}, 2},                    // 259A
    {{R{0, 4, 0, 4, F}, R{4, 8, 0, 4, F}, R{0, 4, 4, 8, F}}, 3},  // 259B
    {{R{0, 4, 0, 4, F}, R{4, 8, 0, 4, F}, R{4, 8, 4, 8, F}}, 3},  // 259C
    {{R{4, 8, 0, 4, F}}, 1},                                      // 259D
    {{R{4, 8, 0, 4, F}, R{0, 4, 4, 8, F}}, 2},                    // 259E
    {{R{4, 8, 0, 4, F}, R{0, 4, 4, 8, F}, R{4, 8, 4, 8, F}}, 3},  // 259F
}};

// --- box drawing ----------------------------------------------------------------

enum Arm : uint8_t { none = 0, light = 1, heavy = 2, dbl = 3 };

struct BoxArms {
    uint8_t up = none, right = none, down = none, left = none;
};

constexpr uint8_t armOf(char c)
{
    return c == 'L' ? light : c == 'H' ? heavy : c == 'D' ? dbl : none;
}

struct ArmEntry {
    char32_t cp;
    const char* arms;  // up, right, down, left
};

constexpr ArmEntry armEntries[] = {
    {0x2500, "-L-L"}, {0x2501, "-H-H"}, {0x2502, "L-L-"}, {0x2503, "H-H-"}, {0x250C, "-LL-"}, {0x250D, "-HL-"},
    {0x250E, "-LH-"}, {0x250F, "-HH-"}, {0x2510, "--LL"}, {0x2511, "--LH"}, {0x2512, "--HL"}, {0x2513, "--HH"},
    {0x2514, "LL--"}, {0x2515, "LH--"}, {0x2516, "HL--"}, {0x2517, "HH--"}, {0x2518, "L--L"}, {0x2519, "L--H"},
    {0x251A, "H--L"}, {0x251B, "H--H"}, {0x251C, "LLL-"}, {0x251D, "LHL-"}, {0x251E, "HLL-"}, {0x251F, "LLH-"},
    {0x2520, "HLH-"}, {0x2521, "HHL-"}, {0x2522, "LHH-"}, {0x2523, "HHH-"}, {0x2524, "L-LL"}, {0x2525, "L-LH"},
    {0x2526, "H-LL"}, {0x2527, "L-HL"}, {0x2528, "H-HL"}, {0x2529, "H-LH"}, {0x252A, "L-HH"}, {0x252B, "H-HH"},
    {0x252C, "-LLL"}, {0x252D, "-LLH"}, {0x252E, "-HLL"}, {0x252F, "-HLH"}, {0x2530, "-LHL"}, {0x2531, "-LHH"},
    {0x2532, "-HHL"}, {0x2533, "-HHH"}, {0x2534, "LL-L"}, {0x2535, "LL-H"}, {0x2536, "LH-L"}, {0x2537, "LH-H"},
    {0x2538, "HL-L"}, {0x2539, "HL-H"}, {0x253A, "HH-L"}, {0x253B, "HH-H"}, {0x253C, "LLLL"}, {0x253D, "LLLH"},
    {0x253E, "LHLL"}, {0x253F, "LHLH"}, {0x2540, "HLLL"}, {0x2541, "LLHL"}, {0x2542, "HLHL"}, {0x2543, "HLLH"},
    {0x2544, "HHLL"}, {0x2545, "LLHH"}, {0x2546, "LHHL"}, {0x2547, "HHLH"}, {0x2548, "LHHH"}, {0x2549, "HLHH"},
    {0x254A, "HHHL"}, {0x254B, "HHHH"}, {0x2550, "-D-D"}, {0x2551, "D-D-"}, {0x2552, "-DL-"}, {0x2553, "-LD-"},
    {0x2554, "-DD-"}, {0x2555, "--LD"}, {0x2556, "--DL"}, {0x2557, "--DD"}, {0x2558, "LD--"}, {0x2559, "DL--"},
    {0x255A, "DD--"}, {0x255B, "L--D"}, {0x255C, "D--L"}, {0x255D, "D--D"}, {0x255E, "LDL-"}, {0x255F, "DLD-"},
    {0x2560, "DDD-"}, {0x2561, "L-LD"}, {0x2562, "D-DL"}, {0x2563, "D-DD"}, {0x2564, "-DLD"}, {0x2565, "-LDL"},
    {0x2566, "-DDD"}, {0x2567, "LD-D"}, {0x2568, "DL-L"}, {0x2569, "DD-D"}, {0x256A, "LDLD"}, {0x256B, "DLDL"},
    {0x256C, "DDDD"}, {0x2574, "---L"}, {0x2575, "L---"}, {0x2576, "-L--"}, {0x2577, "--L-"}, {0x2578, "---H"},
    {0x2579, "H---"}, {0x257A, "-H--"}, {0x257B, "--H-"}, {0x257C, "-H-L"}, {0x257D, "L-H-"}, {0x257E, "-L-H"},
    {0x257F, "H-L-"},
};

struct ArmTable {
    std::array<BoxArms, 128> arms{};
    std::array<bool, 128> present{};
};

const ArmTable& armTable()
{
    static const ArmTable table = [] {
        ArmTable t;
        for (const ArmEntry& e : armEntries) {
            const size_t i = e.cp - 0x2500;
            t.arms[i] = BoxArms{armOf(e.arms[0]), armOf(e.arms[1]), armOf(e.arms[2]), armOf(e.arms[3])};
            t.present[i] = true;
        }
        return t;
    }();
    return table;
}

}  // namespace

// Device-pixel rectangles of one colour, filled in one call; a rectangle
// that continues the last one on the same rows is merged into it, so a line
// across many cells is one rectangle.
class RectBatch {
public:
    explicit RectBatch(QPainter& painter) : painter_(painter) {}
    ~RectBatch() { flush(); }

    void add(const QRect& r, const QColor& color)
    {
        if (color != color_) {
            flush();
            color_ = color;
        }
        // The last few: a cell's arms alternate between the two directions.
        const size_t from = rects_.size() > 4 ? rects_.size() - 4 : 0;
        for (size_t i = rects_.size(); i-- > from;) {
            QRect& other = rects_[i];
            const bool sameRows = other.top() == r.top() && other.height() == r.height() &&
                                  r.left() <= other.right() + 1 && r.right() + 1 >= other.left();
            const bool sameColumns = other.left() == r.left() && other.width() == r.width() &&
                                     r.top() <= other.bottom() + 1 && r.bottom() + 1 >= other.top();
            if (sameRows || sameColumns) {
                other = other.united(r);
                return;
            }
        }
        rects_.push_back(r);
    }
    void flush()
    {
        if (rects_.empty())
            return;
        const QBrush brush(color_);
        for (const QRect& r : rects_)
            painter_.fillRect(r, brush);
        rects_.clear();
    }

private:
    QPainter& painter_;
    QColor color_;
    std::vector<QRect> rects_;
};

namespace {

// One cell in device pixels; the painter's unit is one device pixel.
struct BoxCellGrid {
    QPainter& painter;
    RectBatch& batch;
    QColor color;
    int x = 0;  // top-left device pixel of the cell
    int y = 0;
    int widthPx = 1;
    int heightPx = 1;
    int lineWeight = 1;
    int light = 1;
    int heavy = 2;

    void fillPixelRect(int x0, int y0, int x1, int y1) const
    {
        x0 = std::clamp(x0, 0, widthPx);
        x1 = std::clamp(x1, 0, widthPx);
        y0 = std::clamp(y0, 0, heightPx);
        y1 = std::clamp(y1, 0, heightPx);
        if (x0 < x1 && y0 < y1)
            batch.add(QRect(x + x0, y + y0, x1 - x0, y1 - y0), color);
    }
    void fillHorizontalDashSegment(int x0, int x1, int top, int thickness) const
    {
        fillPixelRect(x0, top, x1, top + thickness);
    }
    void fillVerticalDashSegment(int y0, int y1, int left, int thickness) const
    {
        fillPixelRect(left, y0, left + thickness, y1);
    }
};

struct Bands {
    int lt, lb, ht, hb, dt, db;
};

Bands bandsFor(int extent, int light, int heavy)
{
    Bands b{};
    b.lt = std::max(0, extent - light) / 2;
    b.lb = std::min(b.lt + light, extent);
    b.ht = std::max(0, extent - heavy) / 2;
    b.hb = std::min(b.ht + heavy, extent);
    b.dt = std::max(0, b.lt - light);
    b.db = std::min(b.lb + light, extent);
    return b;
}

// How far the arms along one axis reach into the centre, given the two arms
// across it (a, b) and the two along it (p, q).
std::pair<int, int> reach(uint8_t a, uint8_t b, uint8_t p, uint8_t q, const Bands& across)
{
    if (a == heavy || b == heavy)
        return {across.ht, across.hb};
    if (a == b && p != q) {
        if (a == none)
            return {across.lt, across.lb};
        return {across.lb, across.lt};
    }
    if (a == dbl || b == dbl)
        return {across.dt, across.db};
    return {across.lt, across.lb};
}

void paintBoxArms(const BoxCellGrid& g, const BoxArms& arms)
{
    const int W = g.widthPx;
    const int H = g.heightPx;
    const Bands row = bandsFor(H, g.light, g.heavy);
    const Bands col = bandsFor(W, g.light, g.heavy);
    // Vertical arms: down covers [downStart, H), up [0, upEnd).
    const auto [downStart, upEnd] = reach(arms.left, arms.right, arms.up, arms.down, row);
    // Horizontal arms: right covers [rightStart, W), left [0, leftEnd).
    const auto [rightStart, leftEnd] = reach(arms.up, arms.down, arms.left, arms.right, col);

    switch (arms.up) {
    case light: g.fillPixelRect(col.lt, 0, col.lb, upEnd); break;
    case heavy: g.fillPixelRect(col.ht, 0, col.hb, upEnd); break;
    case dbl:
        g.fillPixelRect(col.dt, 0, col.lt, arms.left == dbl ? row.lt : upEnd);
        g.fillPixelRect(col.lb, 0, col.db, arms.right == dbl ? row.lt : upEnd);
        break;
    default: break;
    }
    switch (arms.right) {
    case light: g.fillPixelRect(rightStart, row.lt, W, row.lb); break;
    case heavy: g.fillPixelRect(rightStart, row.ht, W, row.hb); break;
    case dbl:
        g.fillPixelRect(arms.up == dbl ? col.lb : rightStart, row.dt, W, row.lt);
        g.fillPixelRect(arms.down == dbl ? col.lb : rightStart, row.lb, W, row.db);
        break;
    default: break;
    }
    switch (arms.down) {
    case light: g.fillPixelRect(col.lt, downStart, col.lb, H); break;
    case heavy: g.fillPixelRect(col.ht, downStart, col.hb, H); break;
    case dbl:
        g.fillPixelRect(col.dt, arms.left == dbl ? row.lb : downStart, col.lt, H);
        g.fillPixelRect(col.lb, arms.right == dbl ? row.lb : downStart, col.db, H);
        break;
    default: break;
    }
    switch (arms.left) {
    case light: g.fillPixelRect(0, row.lt, leftEnd, row.lb); break;
    case heavy: g.fillPixelRect(0, row.ht, leftEnd, row.hb); break;
    case dbl:
        g.fillPixelRect(0, row.dt, arms.up == dbl ? col.lt : leftEnd, row.lt);
        g.fillPixelRect(0, row.lb, arms.down == dbl ? col.lt : leftEnd, row.db);
        break;
    default: break;
    }
}

void paintDashes(const BoxCellGrid& g, bool horizontal, int n, int t, int gapLimit)
{
    const int L = horizontal ? g.widthPx : g.heightPx;
    const int cross = horizontal ? g.heightPx : g.widthPx;
    if (L < 2 * n) {
        // Too small for dashes: a solid line of the weight passed in.
        const int thickness = std::max(1, g.lineWeight);
        const int offset = std::max(0, cross - thickness) / 2;
        if (horizontal)
            g.fillHorizontalDashSegment(0, L, offset, thickness);
        else
            g.fillVerticalDashSegment(0, L, offset, thickness);
        return;
    }
    const int gap = std::min(L / (2 * n), gapLimit);
    const int total = L - n * gap;
    const int dash = total / n;
    const int longer = total % n;
    const int offset = std::max(0, cross - t) / 2;
    int pos = horizontal ? gap / 2 : 0;
    for (int i = 0; i < n; ++i) {
        const int len = dash + (i < longer ? 1 : 0);
        if (horizontal)
            g.fillHorizontalDashSegment(pos, pos + len, offset, t);
        else
            g.fillVerticalDashSegment(pos, pos + len, offset, t);
        pos += len + gap;
    }
}

void paintBoxArc(const BoxCellGrid& g, int corner)
{
    const int W = g.widthPx;
    const int H = g.heightPx;
    const int t = std::max(1, g.light);
    const int cx = std::max(0, W - t) / 2;
    const int cy = std::max(0, H - t) / 2;
    const double h = t * 0.5;
    const double xc = cx + h;
    const double yc = cy + h;
    const double m = std::min(W, H);
    const double r = std::min(0.3 * m, std::max(0.0, 0.5 * m - h));
    const int yA = std::clamp(int(std::ceil(yc - r)), 0, H);
    const int yB = std::clamp(int(std::floor(yc + r)), 0, H);
    const int xA = std::clamp(int(std::ceil(xc - r)), 0, W);
    const int xB = std::clamp(int(std::floor(xc + r)), 0, W);

    double ax = 0;
    double ay = 0;
    QRectF clip;
    switch (corner) {
    case 0:  // up and left
        g.fillVerticalDashSegment(0, yA, cx, t);
        g.fillHorizontalDashSegment(0, xA, cy, t);
        ax = xc - r;
        ay = yc - r;
        clip = QRectF(ax, ay, W - ax, H - ay);
        break;
    case 1:  // up and right
        g.fillVerticalDashSegment(0, yA, cx, t);
        g.fillHorizontalDashSegment(xB, W, cy, t);
        ax = xc + r;
        ay = yc - r;
        clip = QRectF(0, ay, ax, H - ay);
        break;
    case 2:  // down and left
        g.fillVerticalDashSegment(yB, H, cx, t);
        g.fillHorizontalDashSegment(0, xA, cy, t);
        ax = xc - r;
        ay = yc + r;
        clip = QRectF(ax, 0, W - ax, ay);
        break;
    default:  // down and right
        g.fillVerticalDashSegment(yB, H, cx, t);
        g.fillHorizontalDashSegment(xB, W, cy, t);
        ax = xc + r;
        ay = yc + r;
        clip = QRectF(0, 0, ax, ay);
        break;
    }
    if (r + h <= 0)
        return;
    clip.setWidth(std::max<qreal>(0, clip.width()));
    clip.setHeight(std::max<qreal>(0, clip.height()));
    QPainterPath path;
    path.setFillRule(r - h > 0 ? Qt::OddEvenFill : Qt::WindingFill);
    path.addEllipse(QPointF(ax, ay), r + h, r + h);
    if (r - h > 0)
        path.addEllipse(QPointF(ax, ay), r - h, r - h);
    g.painter.save();
    g.painter.translate(g.x, g.y);
    g.painter.setClipRect(clip, Qt::IntersectClip);
    g.painter.setRenderHint(QPainter::Antialiasing, true);
    g.painter.fillPath(path, g.color);
    g.painter.restore();
}

void paintDiagonal(const BoxCellGrid& g, bool rising)
{
    const double W = g.widthPx;
    const double H = g.heightPx;
    const double a = W / H;
    const double b = H / W;
    const double ex = (a < 1 ? a : 1) * 0.5;
    const double ey = (b < 1 ? b : 1) * 0.5;
    const int w = g.light + (g.light >= 2 ? 1 : 0);
    QPointF from, to;
    if (rising) {
        from = QPointF(W + ex, -ey);
        to = QPointF(-ex, H + ey);
    } else {
        from = QPointF(-ex, -ey);
        to = QPointF(W + ex, H + ey);
    }
    g.painter.save();
    g.painter.translate(g.x, g.y);
    g.painter.setRenderHint(QPainter::Antialiasing, true);
    g.painter.setPen(QPen(g.color, w, Qt::SolidLine, Qt::FlatCap));
    g.painter.drawLine(from, to);
    g.painter.restore();
}

}  // namespace

qreal blockAlphaFactor(BlockAlpha a)
{
    switch (a) {
    case BlockAlpha::full: return 1.0;
    case BlockAlpha::dark: return 0.75;
    case BlockAlpha::medium: return 0.5;
    case BlockAlpha::light: return 0.25;
    }
    return 1.0;
}

std::span<const BlockElementRect> blockElementRects(char32_t cp)
{
    if (cp < 0x2580 || cp > 0x259F)
        return {};
    const BlockEntry& e = blockTable[cp - 0x2580];
    return {e.rects.data(), e.count};
}

void drawBlockElementItems(QPainter& painter, std::span<const BlockElementRenderItem> items, const CustomGlyphCell& at,
                           bool antiAlias)
{
    if (items.empty())
        return;
    const qreal s = at.scale > 0 ? at.scale : 1.0;
    const qreal cw = at.cell.width();
    const qreal eh = at.cell.height() * 0.125;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, antiAlias);
    if (!antiAlias)
        painter.scale(1 / s, 1 / s);
    RectBatch batch(painter);
    for (const BlockElementRenderItem& item : items) {
        if (item.rects.empty())
            continue;
        const qreal A = item.foregroundColor.alphaF();
        const qreal ew = item.columnWidth * cw * 0.125;
        const qreal ox = item.column * cw;
        for (const BlockElementRect& r : item.rects) {
            const qreal opacity = std::max<qreal>(0, std::min<qreal>(blockAlphaFactor(r.alpha) * A, 1.0));
            QColor color = item.foregroundColor;
            color.setAlphaF(float(opacity));
            const QRectF rect(ox + r.x0 * ew, at.rowTop + r.y0 * eh, (r.x1 - r.x0) * ew, (r.y1 - r.y0) * eh);
            if (antiAlias) {
                if (rect.width() > 0 && rect.height() > 0)
                    painter.fillRect(rect, color);
                continue;
            }
            // Outward to whole device pixels, so neighbours meet without a seam.
            const int x0 = int(std::floor(rect.left() * s + 1e-9));
            const int y0 = int(std::floor(rect.top() * s + 1e-9));
            const int x1 = int(std::ceil(rect.right() * s - 1e-9));
            const int y1 = int(std::ceil(rect.bottom() * s - 1e-9));
            if (x1 > x0 && y1 > y0)
                batch.add(QRect(x0, y0, x1 - x0, y1 - y0), color);
        }
    }
    batch.flush();
    painter.restore();
}

int boxLineWeight(qreal underlineThickness, qreal scale)
{
    return std::max(1, std::max(roundInt(underlineThickness * scale * 1.35), roundInt(scale)));
}

namespace {

// Shapes drawn with anti-aliased paths are rendered once per size and colour
// and then copied: a screen of rounded corners stays cheap.
struct ShapeKey {
    char32_t cp;
    int width;
    int height;
    int weight;
    QRgb color;
    bool operator==(const ShapeKey&) const = default;
};
struct ShapeKeyHash {
    size_t operator()(const ShapeKey& k) const noexcept
    {
        size_t h = k.cp;
        for (size_t v : {size_t(k.width), size_t(k.height), size_t(k.weight), size_t(k.color)})
            h = h * 1000003u ^ v;
        return h;
    }
};
constexpr size_t shapeCacheCapacity = 512;

std::unordered_map<ShapeKey, QImage, ShapeKeyHash>& shapeCache()
{
    static std::unordered_map<ShapeKey, QImage, ShapeKeyHash> cache;
    return cache;
}

template <typename Paint>
const QImage& cachedShape(const ShapeKey& key, QSize size, Paint&& paint)
{
    auto& cache = shapeCache();
    if (auto it = cache.find(key); it != cache.end())
        return it->second;
    if (cache.size() >= shapeCacheCapacity)
        cache.clear();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing, false);
        paint(p);
    }
    return cache.emplace(key, std::move(image)).first->second;
}

bool pathShaped(char32_t cp)
{
    return cp >= 0x256D && cp <= 0x2573;
}

void paintBoxGlyph(QPainter& painter, RectBatch& batch, char32_t cp, const QColor& color, int lineWeight,
                   const QRect& cellPx);

}  // namespace

void paintBoxGlyphPx(QPainter& painter, char32_t cp, const QColor& color, int lineWeight, const QRect& cellPx)
{
    RectBatch batch(painter);
    paintBoxGlyph(painter, batch, cp, color, lineWeight, cellPx);
}

namespace {

void paintBoxGlyph(QPainter& painter, RectBatch& batch, char32_t cp, const QColor& color, int lineWeight,
                   const QRect& cellPx)
{
    if (!isBoxDrawing(cp))
        return;
    if (pathShaped(cp) && painter.transform().type() <= QTransform::TxScale) {
        const ShapeKey key{cp, std::max(1, cellPx.width()), std::max(1, cellPx.height()), lineWeight, color.rgba()};
        const QImage& shape = cachedShape(key, QSize(key.width, key.height), [&](QPainter& p) {
            RectBatch own(p);
            BoxCellGrid g{p, own, color};
            g.widthPx = key.width;
            g.heightPx = key.height;
            g.lineWeight = lineWeight;
            g.light = std::max(1, lineWeight);
            g.heavy = 2 * g.light;
            if (cp == 0x2571 || cp == 0x2573)
                paintDiagonal(g, true);
            if (cp == 0x2572 || cp == 0x2573)
                paintDiagonal(g, false);
            if (cp >= 0x256D && cp <= 0x2570)
                paintBoxArc(g, cp == 0x256D ? 3 : cp == 0x256E ? 2 : cp == 0x256F ? 0 : 1);
        });
        batch.flush();
        painter.drawImage(cellPx.topLeft(), shape);
        return;
    }
    BoxCellGrid g{painter, batch, color};
    g.x = cellPx.x();
    g.y = cellPx.y();
    g.widthPx = std::max(1, cellPx.width());
    g.heightPx = std::max(1, cellPx.height());
    g.lineWeight = lineWeight;
    g.light = std::max(1, lineWeight);
    g.heavy = 2 * g.light;

    const ArmTable& table = armTable();
    const size_t index = cp - 0x2500;
    if (table.present[index]) {
        paintBoxArms(g, table.arms[index]);
        return;
    }
    const int dashGap = std::max(4, g.light);
    switch (cp) {
    case 0x2504: paintDashes(g, true, 3, g.light, dashGap); return;
    case 0x2505: paintDashes(g, true, 3, g.heavy, dashGap); return;
    case 0x2506: paintDashes(g, false, 3, g.light, dashGap); return;
    case 0x2507: paintDashes(g, false, 3, g.heavy, dashGap); return;
    case 0x2508: paintDashes(g, true, 4, g.light, dashGap); return;
    case 0x2509: paintDashes(g, true, 4, g.heavy, dashGap); return;
    case 0x250A: paintDashes(g, false, 4, g.light, dashGap); return;
    case 0x250B: paintDashes(g, false, 4, g.heavy, dashGap); return;
    case 0x254C: paintDashes(g, true, 2, g.light, g.light); return;
    case 0x254D: paintDashes(g, true, 2, g.heavy, g.heavy); return;
    case 0x254E: paintDashes(g, false, 2, g.light, g.heavy); return;
    case 0x254F: paintDashes(g, false, 2, g.heavy, g.heavy); return;
    case 0x256D: paintBoxArc(g, 3); return;
    case 0x256E: paintBoxArc(g, 2); return;
    case 0x256F: paintBoxArc(g, 0); return;
    case 0x2570: paintBoxArc(g, 1); return;
    case 0x2571: paintDiagonal(g, true); return;
    case 0x2572: paintDiagonal(g, false); return;
    case 0x2573:
        paintDiagonal(g, true);
        paintDiagonal(g, false);
        return;
    default: return;
    }
}

}  // namespace

void paintBlockOrBoxGlyph(QPainter& painter, char32_t cp, const QColor& color, int lineWeight, QPointF origin,
                          QSizeF size, qreal scale)
{
    const qreal s = scale > 0 ? scale : 1.0;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.scale(1 / s, 1 / s);
    const QRect cell(roundInt(origin.x() * s), roundInt(origin.y() * s), std::max(1, roundInt(size.width() * s)),
                     std::max(1, roundInt(size.height() * s)));
    paintBoxGlyphPx(painter, cp, color, lineWeight, cell);
    painter.restore();
}

void drawBoxDrawingItems(QPainter& painter, std::span<const BoxDrawingRenderItem> items, const CustomGlyphCell& at,
                         int lineWeight)
{
    if (items.empty())
        return;
    const qreal s = at.scale > 0 ? at.scale : 1.0;
    const int cwPx = std::max(1, roundInt(at.cell.width() * s));
    const int chPx = std::max(1, roundInt(at.cell.height() * s));
    const int rowY = roundInt(at.rowTop * s);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.scale(1 / s, 1 / s);
    {
        RectBatch batch(painter);
        for (const BoxDrawingRenderItem& item : items) {
            // A QColor's alpha is always within 0...1: no clamping needed.
            paintBoxGlyph(painter, batch, item.codePoint, item.foregroundColor, lineWeight,
                          QRect(item.column * cwPx, rowY, item.columnWidth * cwPx, chPx));
        }
    }
    painter.restore();
}

namespace {

// One separator in a cell, snapped to a grid of sx by sy units per pixel.
void paintPowerline(QPainter& painter, char32_t cp, const QRectF& cell, qreal sx, qreal sy, const QColor& color)
{
    const qreal px = 1 / sx;
    const qreal left = std::floor(cell.left() * sx + 1e-9) / sx;
    const qreal right = std::ceil(cell.right() * sx - 1e-9) / sx;
    const qreal top = std::floor(cell.top() * sy + 1e-9) / sy;
    const qreal bottom = std::ceil(cell.bottom() * sy - 1e-9) / sy;
    const bool pointsRight = cp == 0xE0B0 || cp == 0xE0B4;
    const qreal base = pointsRight ? left : right;
    const qreal tip = pointsRight ? right : left;

    QPainterPath path;
    path.moveTo(base, top);
    if (cp == 0xE0B0 || cp == 0xE0B2) {
        const qreal mid = roundHalfAwayFromZero((top + bottom) * sy * 0.5) / sy;
        path.lineTo(tip, mid);
        path.lineTo(base, bottom);
    } else {
        const qreal c = base + (pointsRight ? 1 : -1) * std::abs(tip - base) * 4.0 / 3.0;
        path.cubicTo(QPointF(c, top), QPointF(c, bottom), QPointF(base, bottom));
    }
    path.closeSubpath();

    painter.setRenderHint(QPainter::Antialiasing, false);
    // A seam column just outside the base hides the blend with the
    // neighbouring cell's background.
    painter.fillRect(QRectF(pointsRight ? left - px : right, top, px, bottom - top), color);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.fillPath(path, color);
}

bool onDevicePixels(qreal v)
{
    return std::abs(v - std::round(v)) < 1e-6;
}

}  // namespace

void drawPowerlineItems(QPainter& painter, std::span<const PowerlineRenderItem> items, BufferLine::RenderLineMode mode,
                        const CustomGlyphCell& at)
{
    if (items.empty())
        return;
    qreal sx = at.scale;
    qreal sy = at.scale;
    if (mode != BufferLine::RenderLineMode::single)
        sx *= 2;
    if (mode == BufferLine::RenderLineMode::doubledTop || mode == BufferLine::RenderLineMode::doubledDown)
        sy *= 2;
    if (!(sx > 0) || !(sy > 0))
        return;
    // On a plain row whose cells are whole device pixels every separator of
    // one colour looks the same: render it once, then copy it.
    const bool cacheable = mode == BufferLine::RenderLineMode::single &&
                           painter.transform().type() <= QTransform::TxScale && onDevicePixels(at.cell.width() * sx) &&
                           onDevicePixels(at.cell.height() * sy) && onDevicePixels(at.rowTop * sy);
    painter.save();
    for (const PowerlineRenderItem& item : items) {
        if (!isPowerlineShape(item.codePoint))
            continue;
        const QRectF cell(item.column * at.cell.width(), at.rowTop, item.columnWidth * at.cell.width(),
                          at.cell.height());
        if (!cacheable) {
            paintPowerline(painter, item.codePoint, cell, sx, sy, item.foregroundColor);
            continue;
        }
        const int wPx = int(std::lround(cell.width() * sx));
        const int hPx = int(std::lround(cell.height() * sy));
        const ShapeKey key{item.codePoint, wPx, hPx, 0, item.foregroundColor.rgba()};
        const QImage& shape = cachedShape(key, QSize(wPx + 2, hPx), [&](QPainter& p) {
            paintPowerline(p, item.codePoint, QRectF(1, 0, wPx, hPx), 1, 1, item.foregroundColor);
        });
        const QPointF origin(std::lround(cell.left() * sx) - 1, std::lround(cell.top() * sy));
        painter.drawImage(QRectF(origin.x() / sx, origin.y() / sy, (wPx + 2) / sx, hPx / sy), shape);
    }
    painter.restore();
}

}  // namespace ravelgrid
