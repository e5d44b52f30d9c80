#include "ravelgrid/drawing/FallbackFonts.h"

#include <QFont>

#include <fontconfig/fontconfig.h>
#include <unicode/uchar.h>

#include <unordered_map>

namespace ravelgrid {
namespace {

struct Key {
    uint64_t baseId;
    char32_t ch;
    FallbackFonts::Presentation presentation;
    bool operator==(const Key&) const = default;
};

struct KeyHash {
    size_t operator()(const Key& k) const noexcept {
        return std::hash<uint64_t>()(k.baseId * 0x9E3779B97F4A7C15ull ^ (uint64_t(k.ch) << 2) ^ uint64_t(k.presentation));
    }
};

std::unordered_map<Key, QRawFont, KeyHash>& cache() {
    static std::unordered_map<Key, QRawFont, KeyHash> c;
    return c;
}

QRawFont rawFontFor(const QString& family, const QString& style, const QRawFont& base, char32_t ch) {
    QFont f(family);
    if (!style.isEmpty())
        f.setStyleName(style);
    f.setStyleStrategy(QFont::NoFontMerging);
    f.setPixelSize(std::max(1, int(base.pixelSize() + 0.5)));
    QRawFont raw = QRawFont::fromFont(f);
    if (!raw.isValid())
        return {};
    raw.setPixelSize(base.pixelSize());
    if (!raw.supportsCharacter(uint(ch)))
        return {};
    return raw;
}

QRawFont search(char32_t ch, const QRawFont& base, FallbackFonts::Presentation presentation) {
    FcPattern* pattern = FcPatternCreate();
    if (!pattern)
        return {};
    const QByteArray family = base.familyName().toUtf8();
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.constData()));
    FcCharSet* charset = FcCharSetCreate();
    FcCharSetAddChar(charset, FcChar32(ch));
    FcPatternAddCharSet(pattern, FC_CHARSET, charset);
    FcPatternAddInteger(pattern, FC_WEIGHT, base.weight() >= QFont::Bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, base.style() == QFont::StyleNormal ? FC_SLANT_ROMAN : FC_SLANT_ITALIC);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);

    FcResult result = FcResultNoMatch;
    FcFontSet* fonts = FcFontSort(nullptr, pattern, FcTrue, nullptr, &result);
    QRawFont found;
    QRawFont secondChoice;
    if (fonts) {
        for (int i = 0; i < fonts->nfont && !found.isValid(); ++i) {
            FcPattern* candidate = fonts->fonts[i];
            FcCharSet* covered = nullptr;
            if (FcPatternGetCharSet(candidate, FC_CHARSET, 0, &covered) != FcResultMatch || !FcCharSetHasChar(covered, ch))
                continue;
            FcChar8* fam = nullptr;
            if (FcPatternGetString(candidate, FC_FAMILY, 0, &fam) != FcResultMatch || !fam)
                continue;
            FcChar8* sty = nullptr;
            FcPatternGetString(candidate, FC_STYLE, 0, &sty);
            FcBool colour = FcFalse;
            FcPatternGetBool(candidate, FC_COLOR, 0, &colour);
            QRawFont raw = rawFontFor(QString::fromUtf8(reinterpret_cast<const char*>(fam)),
                                      sty ? QString::fromUtf8(reinterpret_cast<const char*>(sty)) : QString(), base, ch);
            if (!raw.isValid())
                continue;
            const bool wrongKind = (presentation == FallbackFonts::Presentation::text && colour) ||
                                   (presentation == FallbackFonts::Presentation::emoji && !colour);
            if (wrongKind) {
                if (!secondChoice.isValid())
                    secondChoice = raw;
                continue;
            }
            found = raw;
        }
        FcFontSetDestroy(fonts);
    }
    FcCharSetDestroy(charset);
    FcPatternDestroy(pattern);
    if (!found.isValid())
        found = secondChoice;
    return found;
}

}  // namespace

FallbackFonts::Presentation FallbackFonts::presentationOf(char32_t ch) {
    if (ch < 0x100 || !u_hasBinaryProperty(UChar32(ch), UCHAR_EMOJI))
        return Presentation::any;
    return u_hasBinaryProperty(UChar32(ch), UCHAR_EMOJI_PRESENTATION) ? Presentation::emoji : Presentation::text;
}

QRawFont FallbackFonts::fallbackFont(char32_t ch, const QRawFont& base, uint64_t baseId, Presentation presentation) {
    auto& c = cache();
    const Key key{baseId, ch, presentation};
    if (auto it = c.find(key); it != c.end())
        return it->second;
    if (c.size() >= capacity)
        c.clear();
    QRawFont font = search(ch, base, presentation);
    if (!font.isValid())
        font = base;
    c.emplace(key, font);
    return font;
}

size_t FallbackFonts::cachedCount() { return cache().size(); }

void FallbackFonts::clear() { cache().clear(); }

}  // namespace ravelgrid
