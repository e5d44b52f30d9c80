#include "ravelgrid/gpu/DrawingFallbackChooser.h"

#include "ravelgrid/drawing/FallbackFonts.h"

#include <QFont>
#include <QHash>
#include <QRawFont>

#include <atomic>
#include <unordered_map>

namespace ravelgrid {
namespace {

unsigned be16(std::string_view t, std::size_t at)
{
    return (unsigned(static_cast<unsigned char>(t[at])) << 8) | static_cast<unsigned char>(t[at + 1]);
}

// Identities for bases the adapters make; far from the font sets' own, and
// never the same for two adapters: the painter's fallback cache is shared
// by the whole process.
std::atomic<uint64_t> nextBaseId{uint64_t(1) << 62};

}  // namespace

struct DrawingFallbackChooser::State {
    struct Base {
        QRawFont raw;
        uint64_t id;
    };
    std::unordered_map<std::string, Base> bases;  // by PostScript name and size
    QHash<QString, std::string> names;            // family + style to PostScript name
};

DrawingFallbackChooser::DrawingFallbackChooser() : state_(std::make_unique<State>())
{}
DrawingFallbackChooser::~DrawingFallbackChooser() = default;

std::string DrawingFallbackChooser::postScriptNameFromNameTable(std::string_view table)
{
    if (table.size() < 6)
        return {};
    const std::size_t count = be16(table, 2), storage = be16(table, 4);
    std::string best;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t rec = 6 + i * 12;
        if (rec + 12 > table.size())
            break;
        const unsigned platform = be16(table, rec), nameId = be16(table, rec + 6);
        const std::size_t length = be16(table, rec + 8), offset = be16(table, rec + 10);
        if (nameId != 6 || storage + offset + length > table.size())
            continue;
        const std::string_view bytes = table.substr(storage + offset, length);
        std::string name;
        if (platform == 3 || platform == 0) {
            // UTF-16BE; PostScript names are printable ASCII.
            for (std::size_t j = 0; j + 1 < bytes.size(); j += 2) {
                const unsigned u = be16(bytes, j);
                if (u > 0x20 && u < 0x7F)
                    name.push_back(char(u));
            }
        } else if (platform == 1) {
            for (char c : bytes)
                if (c > 0x20 && c < 0x7F)
                    name.push_back(c);
        }
        if (!name.empty() && (best.empty() || platform == 3))
            best = std::move(name);
    }
    return best;
}

std::string DrawingFallbackChooser::fallbackFace(const GpuFont& base, char32_t ch, bool emoji)
{
    if (!base.valid())
        return {};
    std::string baseKey = base.postScriptName();
    baseKey.append("@").append(std::to_string(base.size()));
    auto it = state_->bases.find(baseKey);
    if (it == state_->bases.end()) {
        if (state_->bases.size() >= 64)
            state_->bases.clear();
        QFont f(QString::fromStdString(base.face()->familyName()));
        f.setStyleName(QString::fromStdString(base.face()->styleName()));
        f.setStyleStrategy(QFont::NoFontMerging);
        f.setPixelSize(std::max(1, int(base.size() + 0.5)));
        QRawFont raw = QRawFont::fromFont(f);
        if (raw.isValid())
            raw.setPixelSize(base.size());
        it = state_->bases.emplace(std::move(baseKey), State::Base{raw, nextBaseId.fetch_add(1)}).first;
    }
    const State::Base& b = it->second;
    if (!b.raw.isValid())
        return {};
    const QRawFont fallback = FallbackFonts::fallbackFont(
        ch, b.raw, b.id, emoji ? FallbackFonts::Presentation::emoji : FallbackFonts::presentationOf(ch));
    if (!fallback.isValid() || !fallback.supportsCharacter(uint(ch)))
        return {};
    const QString identity = fallback.familyName() + QLatin1Char('\n') + fallback.styleName();
    if (auto n = state_->names.constFind(identity); n != state_->names.constEnd())
        return *n;
    const QByteArray table = fallback.fontTable("name");
    std::string name = postScriptNameFromNameTable(std::string_view(table.constData(), std::size_t(table.size())));
    state_->names.insert(identity, name);
    return name;
}

}  // namespace ravelgrid
