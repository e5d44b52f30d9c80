#include "ravelgrid/drawing/FallbackFonts.h"

#include <QFont>

#include <fontconfig/fontconfig.h>
#include <unicode/uchar.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace ravelgrid {
namespace {

// The installed fonts in fontconfig's fallback order for one base face,
// asked for once. Finding a character's font is then a walk over coverage
// sets, so even a screen full of distinct rare characters stays cheap.
struct Candidate {
    QString family;
    QString style;
    FcCharSet* coverage = nullptr;  // owned by the font set below
    bool colour = false;
    bool tried = false;
    QRawFont font;  // made on first use, at the base size
};

struct FaceFallbacks {
    std::unique_ptr<FcFontSet, decltype(&FcFontSetDestroy)> fonts{nullptr, &FcFontSetDestroy};
    // Everything any candidate covers: a character outside it is settled
    // without walking the list.
    std::unique_ptr<FcCharSet, decltype(&FcCharSetDestroy)> covered{FcCharSetCreate(), &FcCharSetDestroy};
    std::vector<Candidate> candidates;
};

// Base faces come and go with font changes; a handful are live at a time.
constexpr size_t faceCapacity = 32;

std::unordered_map<uint64_t, std::unique_ptr<FaceFallbacks>>& faces()
{
    static std::unordered_map<uint64_t, std::unique_ptr<FaceFallbacks>> f;
    return f;
}

struct Key {
    uint64_t baseId;
    char32_t ch;
    FallbackFonts::Presentation presentation;
    bool operator==(const Key&) const = default;
};

struct KeyHash {
    size_t operator()(const Key& k) const noexcept
    {
        return std::hash<uint64_t>()(k.baseId * 0x9E3779B97F4A7C15ull ^ (uint64_t(k.ch) << 2) ^
                                     uint64_t(k.presentation));
    }
};

// Character to candidate index; -1: no installed font has it.
std::unordered_map<Key, int, KeyHash>& cache()
{
    static std::unordered_map<Key, int, KeyHash> c;
    return c;
}

QString fcString(FcPattern* pattern, const char* object)
{
    FcChar8* value = nullptr;
    if (FcPatternGetString(pattern, object, 0, &value) != FcResultMatch || !value)
        return {};
    return QString::fromUtf8(reinterpret_cast<const char*>(value));
}

size_t fontconfigLists = 0;

FaceFallbacks& fallbacksFor(const QRawFont& base, uint64_t baseId)
{
    auto& all = faces();
    if (auto it = all.find(baseId); it != all.end())
        return *it->second;
    if (all.size() >= faceCapacity) {
        all.clear();
        cache().clear();
    }
    auto entry = std::make_unique<FaceFallbacks>();
    ++fontconfigLists;
    if (FcPattern* pattern = FcPatternCreate()) {
        const QByteArray family = base.familyName().toUtf8();
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.constData()));
        FcPatternAddInteger(pattern, FC_WEIGHT, base.weight() >= QFont::Bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
        FcPatternAddInteger(pattern, FC_SLANT, base.style() == QFont::StyleNormal ? FC_SLANT_ROMAN : FC_SLANT_ITALIC);
        FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        entry->fonts.reset(FcFontSort(nullptr, pattern, FcFalse, nullptr, &result));
        FcPatternDestroy(pattern);
    }
    if (FcFontSet* set = entry->fonts.get()) {
        entry->candidates.reserve(size_t(set->nfont));
        for (int i = 0; i < set->nfont; ++i) {
            FcPattern* font = set->fonts[i];
            Candidate c;
            if (FcPatternGetCharSet(font, FC_CHARSET, 0, &c.coverage) != FcResultMatch || !c.coverage)
                continue;
            c.family = fcString(font, FC_FAMILY);
            if (c.family.isEmpty())
                continue;
            c.style = fcString(font, FC_STYLE);
            FcBool colour = FcFalse;
            FcPatternGetBool(font, FC_COLOR, 0, &colour);
            c.colour = colour == FcTrue;
            if (entry->covered)
                FcCharSetMerge(entry->covered.get(), c.coverage, nullptr);
            entry->candidates.push_back(std::move(c));
        }
    }
    return *all.emplace(baseId, std::move(entry)).first->second;
}

const QRawFont& fontOf(Candidate& c, const QRawFont& base, bool antialiased)
{
    if (!c.tried) {
        c.tried = true;
        QFont f(c.family);
        if (!c.style.isEmpty())
            f.setStyleName(c.style);
        f.setStyleStrategy(antialiased ? QFont::NoFontMerging
                                       : QFont::StyleStrategy(QFont::NoFontMerging | QFont::NoAntialias));
        f.setPixelSize(std::max(1, int(base.pixelSize() + 0.5)));
        c.font = QRawFont::fromFont(f);
        if (c.font.isValid())
            c.font.setPixelSize(base.pixelSize());
    }
    return c.font;
}

int search(FaceFallbacks& fallbacks, char32_t ch, const QRawFont& base, FallbackFonts::Presentation presentation,
           bool antialiased)
{
    if (fallbacks.covered && !FcCharSetHasChar(fallbacks.covered.get(), FcChar32(ch)))
        return -1;
    int secondChoice = -1;
    for (size_t i = 0; i < fallbacks.candidates.size(); ++i) {
        Candidate& c = fallbacks.candidates[i];
        if (!FcCharSetHasChar(c.coverage, FcChar32(ch)))
            continue;
        const QRawFont& font = fontOf(c, base, antialiased);
        if (!font.isValid() || !font.supportsCharacter(uint(ch)))
            continue;
        const bool wrongKind = (presentation == FallbackFonts::Presentation::text && c.colour) ||
                               (presentation == FallbackFonts::Presentation::emoji && !c.colour);
        if (!wrongKind)
            return int(i);
        if (secondChoice < 0)
            secondChoice = int(i);
    }
    return secondChoice;
}

}  // namespace

FallbackFonts::Presentation FallbackFonts::presentationOf(char32_t ch)
{
    if (ch < 0x100 || !u_hasBinaryProperty(UChar32(ch), UCHAR_EMOJI))
        return Presentation::any;
    return u_hasBinaryProperty(UChar32(ch), UCHAR_EMOJI_PRESENTATION) ? Presentation::emoji : Presentation::text;
}

bool FallbackFonts::asksForEmoji(char32_t ch, char32_t next)
{
    return next == 0xFE0F && ch >= 0x20 && u_hasBinaryProperty(UChar32(ch), UCHAR_EMOJI);
}

char32_t FallbackFonts::emojiWithSelector(const QString& cluster)
{
    if (cluster.size() < 2 || cluster.size() > 3 || cluster.back() != QChar(0xFE0F))
        return 0;
    char32_t ch = cluster[0].unicode();
    if (cluster.size() == 3) {
        if (!cluster[0].isHighSurrogate() || !cluster[1].isLowSurrogate())
            return 0;
        ch = QChar::surrogateToUcs4(cluster[0], cluster[1]);
    } else if (cluster[0].isSurrogate()) {
        return 0;
    }
    return asksForEmoji(ch, 0xFE0F) ? ch : 0;
}

QRawFont FallbackFonts::fallbackFont(char32_t ch, const QRawFont& base, uint64_t baseId, Presentation presentation,
                                     bool antialiased)
{
    FaceFallbacks& fallbacks = fallbacksFor(base, baseId);
    auto& c = cache();
    const Key key{baseId, ch, presentation};
    int index;
    if (auto it = c.find(key); it != c.end()) {
        index = it->second;
    } else {
        if (c.size() >= capacity)
            c.clear();
        index = search(fallbacks, ch, base, presentation, antialiased);
        c.emplace(key, index);
    }
    if (index < 0)
        return base;
    return fontOf(fallbacks.candidates[size_t(index)], base, antialiased);
}

bool FallbackFonts::hasBitmapStrikes(const QRawFont& font)
{
    static std::unordered_map<std::string, bool> known;
    if (!font.isValid())
        return false;
    const QByteArray family = font.familyName().toUtf8(), style = font.styleName().toUtf8();
    std::string key = family.toStdString() + '\n' + style.toStdString();
    if (auto it = known.find(key); it != known.end())
        return it->second;
    if (known.size() >= capacity)
        known.clear();
    bool strikes = false;
    FcPattern* pattern = FcPatternCreate();
    FcObjectSet* objects = FcObjectSetBuild(FC_OUTLINE, nullptr);
    if (pattern && objects) {
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.constData()));
        FcPatternAddString(pattern, FC_STYLE, reinterpret_cast<const FcChar8*>(style.constData()));
        if (FcFontSet* set = FcFontList(nullptr, pattern, objects)) {
            FcBool outline = FcTrue;
            strikes = set->nfont > 0 && FcPatternGetBool(set->fonts[0], FC_OUTLINE, 0, &outline) == FcResultMatch &&
                      outline == FcFalse;
            FcFontSetDestroy(set);
        }
    }
    if (objects)
        FcObjectSetDestroy(objects);
    if (pattern)
        FcPatternDestroy(pattern);
    known.emplace(std::move(key), strikes);
    return strikes;
}

size_t FallbackFonts::cachedCount()
{
    return cache().size();
}

size_t FallbackFonts::listsMade()
{
    return fontconfigLists;
}

void FallbackFonts::clear()
{
    cache().clear();
    faces().clear();
}

}  // namespace ravelgrid
