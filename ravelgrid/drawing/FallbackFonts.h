#pragma once

#include <QRawFont>
#include <QString>

#include <cstdint>

namespace ravelgrid {

// Fonts for characters the cell font lacks, found through fontconfig and
// cached process-wide by (base face identity, character). The cache is
// emptied whole when it reaches its limit. Main thread only.
class FallbackFonts {
public:
    static constexpr size_t capacity = 1024;

    // Which kind of font a character is best drawn with: an emoji without
    // default emoji presentation as text, one with it in colour.
    enum class Presentation : uint8_t { any, text, emoji };
    static Presentation presentationOf(char32_t ch);
    // Whether U+FE0F after an emoji asks for its colour form, even where
    // the cell font has a text one.
    static bool asksForEmoji(char32_t ch, char32_t next);
    // The emoji of a cluster that is one emoji and U+FE0F; 0 for any other.
    static char32_t emojiWithSelector(const QString& cluster);

    // A face at the base font's size (and weight and slant where the
    // fallback family has them) that has a glyph for `ch`, of the preferred
    // presentation where one exists; the base font itself when no installed
    // font has the character. A base id always comes with the same
    // `antialiased`, since the faces found for it are kept.
    static QRawFont fallbackFont(char32_t ch, const QRawFont& base, uint64_t baseId,
                                 Presentation presentation = Presentation::any, bool antialiased = true);

    // Whether a font has only bitmap strikes (colour emoji), which Qt
    // scales itself and draws on whole pixels. Remembered by face.
    static bool hasBitmapStrikes(const QRawFont& font);

    static size_t cachedCount();
    // Fontconfig lists of fallback faces made so far, one per base face.
    static size_t listsMade();
    static void clear();
};

}  // namespace ravelgrid
