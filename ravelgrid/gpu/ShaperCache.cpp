#include "ravelgrid/gpu/ShaperCache.h"

#include "ravelgrid/drawing/FallbackFonts.h"

#include <unicode/uchar.h>

#include <memory>

namespace ravelgrid {
namespace {

struct HbBufferDeleter {
    void operator()(hb_buffer_t* b) const { hb_buffer_destroy(b); }
};

// Characters that belong with the one before them, whatever font has them.
bool attaches(char32_t ch)
{
    if (ch == 0x200D || (ch >= 0xFE00 && ch <= 0xFE0F) || (ch >= 0xE0100 && ch <= 0xE01EF) ||
        (ch >= 0x1F3FB && ch <= 0x1F3FF) || (ch >= 0xE0020 && ch <= 0xE007F) || ch == 0x20E3)
        return true;
    const int8_t type = u_charType(UChar32(ch));
    return type == U_NON_SPACING_MARK || type == U_ENCLOSING_MARK || type == U_COMBINING_SPACING_MARK;
}

struct CodePoint {
    char32_t ch;
    int index;   // UTF-16 index of its first unit
    int length;  // 1 or 2
};

std::vector<CodePoint> decode(std::u16string_view text)
{
    std::vector<CodePoint> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out.push_back({char32_t(0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00)), int(i), 2});
            i += 2;
        } else {
            // A lone surrogate stands for itself as a replacement character.
            out.push_back({(u >= 0xD800 && u <= 0xDFFF) ? char32_t(0xFFFD) : char32_t(u), int(i), 1});
            i += 1;
        }
    }
    return out;
}

}  // namespace

ShaperCache::ShaperCache(FaceLibrary& faces, FallbackChooser* fallbacks, std::size_t maxEntries)
    : faces_(faces), fallbacks_(fallbacks), maxEntries_(maxEntries == 0 ? 1 : maxEntries)
{}

bool ShaperCache::contains(std::string_view fontName, double fontSize, std::u16string_view text) const
{
    return cache_.find(ShaperKeyView{fontName, fontSize, text}) != cache_.end();
}

const ShaperRun* ShaperCache::shape(std::u16string_view text, const GpuFont& font)
{
    if (text.empty() || text.size() > maxTextLength || !font.valid())
        return nullptr;
    if (auto it = cache_.find(ShaperKeyView{font.key(), font.size(), text}); it != cache_.end())
        return &it->second;
    std::optional<ShaperRun> run = shapeUncached(text, font);
    if (!run)
        return nullptr;
    ShaperKey key{font.key(), font.size(), std::u16string(text)};
    store(key, std::move(*run));
    return &cache_.find(key)->second;
}

void ShaperCache::store(ShaperKey key, ShaperRun run)
{
    auto it = cache_.find(key);
    if (it == cache_.end()) {
        order_.push_back(key);
        cache_.emplace(std::move(key), std::move(run));
    } else {
        it->second = std::move(run);
    }
    while (order_.size() > maxEntries_) {
        cache_.erase(order_.front());
        order_.pop_front();
    }
}

std::optional<ShaperRun> ShaperCache::shapeUncached(std::u16string_view text, const GpuFont& font)
{
    const std::vector<CodePoint> points = decode(text);

    // Face runs: the requested face where it has the character, the chosen
    // fallback where not; marks and joiners stay with what they follow.
    struct FaceRun {
        GpuFont font;
        int start, length;
    };
    std::vector<FaceRun> runs;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const CodePoint& cp = points[i];
        const bool emoji = i + 1 < points.size() && FallbackFonts::asksForEmoji(cp.ch, points[i + 1].ch);
        GpuFont face = font;
        if (!runs.empty() && attaches(cp.ch)) {
            face = runs.back().font;
        } else if ((emoji || !font.face()->hasGlyphFor(cp.ch)) && fallbacks_) {
            const std::string name = fallbacks_->fallbackFace(font, cp.ch, emoji);
            if (!name.empty() && name != font.postScriptName())
                if (std::optional<GpuFont> f = faces_.font(name, font.size()))
                    face = *f;
        }
        if (!runs.empty() && runs.back().font.face() == face.face())
            runs.back().length += cp.length;
        else
            runs.push_back({face, cp.index, cp.length});
    }

    std::unique_ptr<hb_buffer_t, HbBufferDeleter> buffer(hb_buffer_create());
    if (!hb_buffer_allocation_successful(buffer.get()))
        return std::nullopt;
    ShaperRun result;
    double penX = 0;
    for (const FaceRun& r : runs) {
        hb_font_t* hb = r.font.face()->hbFont(r.font.size());
        if (!hb)
            continue;
        hb_buffer_clear_contents(buffer.get());
        // The whole piece is context; only the run is shaped, and clusters
        // are UTF-16 indices into the piece.
        hb_buffer_add_utf16(buffer.get(), reinterpret_cast<const uint16_t*>(text.data()), int(text.size()),
                            unsigned(r.start), r.length);
        hb_buffer_set_direction(buffer.get(), HB_DIRECTION_LTR);
        hb_buffer_guess_segment_properties(buffer.get());
        hb_shape(hb, buffer.get(), nullptr, 0);
        unsigned count = 0;
        const hb_glyph_info_t* infos = hb_buffer_get_glyph_infos(buffer.get(), &count);
        const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer.get(), &count);
        if (count == 0)
            continue;
        ShaperGlyphRun glyphRun;
        glyphRun.font = r.font;
        glyphRun.glyphs.reserve(count);
        glyphRun.positions.reserve(count);
        glyphRun.stringIndices.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            glyphRun.glyphs.push_back(infos[i].codepoint <= 0xFFFF ? std::uint16_t(infos[i].codepoint) : 0);
            glyphRun.positions.push_back({penX + pos[i].x_offset / 64.0, pos[i].y_offset / 64.0});
            glyphRun.stringIndices.push_back(int(infos[i].cluster));
            penX += pos[i].x_advance / 64.0;
        }
        result.positions.insert(result.positions.end(), glyphRun.positions.begin(), glyphRun.positions.end());
        result.stringIndices.insert(result.stringIndices.end(), glyphRun.stringIndices.begin(),
                                    glyphRun.stringIndices.end());
        result.glyphRuns.push_back(std::move(glyphRun));
    }
    if (result.glyphRuns.empty())
        return std::nullopt;
    result.glyphCount = int(result.positions.size());
    ++shapedCount_;
    return result;
}

}  // namespace ravelgrid
