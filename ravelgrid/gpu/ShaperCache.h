#pragma once

#include "ravelgrid/gpu/FaceLibrary.h"
#include "ravelgrid/gpu/FallbackChooser.h"
#include "ravelgrid/gpu/GlyphBitmap.h"
#include "ravelgrid/gpu/GlyphKey.h"

#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ravelgrid {

struct ShaperKey {
    std::string fontName;  // the face's key: PostScript name and synthesis
    double fontSize = 0;
    std::u16string text;
    bool operator==(const ShaperKey&) const = default;
};

struct ShaperKeyView {
    std::string_view fontName;
    double fontSize = 0;
    std::u16string_view text;
};

struct ShaperKeyHash {
    using is_transparent = void;
    std::size_t operator()(const ShaperKeyView& k) const noexcept
    {
        std::size_t h = std::hash<std::string_view>()(k.fontName);
        h = detail::mixHash(h, detail::hashSize(k.fontSize));
        return detail::mixHash(h, std::hash<std::u16string_view>()(k.text));
    }
    std::size_t operator()(const ShaperKey& k) const noexcept
    {
        return (*this)(ShaperKeyView{k.fontName, k.fontSize, k.text});
    }
};

struct ShaperKeyEqual {
    using is_transparent = void;
    static ShaperKeyView view(const ShaperKey& k) { return {k.fontName, k.fontSize, k.text}; }
    static ShaperKeyView view(const ShaperKeyView& k) { return k; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept
    {
        const ShaperKeyView x = view(a), y = view(b);
        return x.fontSize == y.fontSize && x.fontName == y.fontName && x.text == y.text;
    }
};

// The glyphs of one face within a shaped piece.
struct ShaperGlyphRun {
    GpuFont font;  // the requested face, or the fallback chosen for the run
    std::vector<std::uint16_t> glyphs;
    std::vector<GpuPoint> positions;
    std::vector<int> stringIndices;  // UTF-16 indices into the piece
};

struct ShaperRun {
    std::vector<ShaperGlyphRun> glyphRuns;
    std::vector<GpuPoint> positions;
    std::vector<int> stringIndices;
    int glyphCount = 0;
};

// Remembers the shaping of short text pieces: HarfBuzz over runs of the
// requested face and its fallbacks, left to right, in logical order. Evicts
// the oldest stored piece first (not the least used). Main thread only.
class ShaperCache {
public:
    static constexpr std::size_t defaultMaxEntries = 2048;
    // Longer pieces are not shaped at all.
    static constexpr std::size_t maxTextLength = 1 << 16;

    // `fallbacks` may be null: characters the face lacks then get its
    // missing glyph.
    ShaperCache(FaceLibrary& faces, FallbackChooser* fallbacks, std::size_t maxEntries = defaultMaxEntries);

    // Nothing for an empty piece or one that cannot be shaped. The run stays
    // valid until the next call.
    const ShaperRun* shape(std::u16string_view text, const GpuFont& font);
    void store(ShaperKey key, ShaperRun run);

    std::size_t size() const { return cache_.size(); }
    bool contains(std::string_view fontName, double fontSize, std::u16string_view text) const;
    // How many pieces HarfBuzz has shaped so far.
    std::size_t shapedCount() const { return shapedCount_; }

private:
    std::optional<ShaperRun> shapeUncached(std::u16string_view text, const GpuFont& font);

    FaceLibrary& faces_;
    FallbackChooser* fallbacks_;
    std::size_t maxEntries_;
    std::unordered_map<ShaperKey, ShaperRun, ShaperKeyHash, ShaperKeyEqual> cache_;
    std::deque<ShaperKey> order_;
    std::size_t shapedCount_ = 0;
};

}  // namespace ravelgrid
