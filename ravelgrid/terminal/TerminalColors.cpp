#include <algorithm>
#include <string>

#include "ravelgrid/terminal/OscText.h"
#include "ravelgrid/terminal/Terminal.h"

namespace ravelgrid {

namespace {

// A palette index: decimal digits only, 0 to 255.
std::optional<int> paletteIndex(std::span<const uint8_t> text)
{
    if (text.empty())
        return std::nullopt;
    int value = 0;
    for (uint8_t c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = std::min(value * 10 + (c - '0'), 256);
    }
    return value <= 255 ? std::optional<int>(value) : std::nullopt;
}

size_t findByte(std::span<const uint8_t> data, size_t from, uint8_t byte)
{
    for (size_t i = from; i < data.size(); ++i)
        if (data[i] == byte)
            return i;
    return data.size();
}

}  // namespace

void Terminal::reportColor(int oscCode, const Color& color)
{
    sendResponse({cc.osc(), std::to_string(oscCode) + ";" + color.formatted(), cc.st()});
}

void Terminal::oscChangeOrQueryColorIndex(std::span<const uint8_t> data)
{
    const size_t n = data.size();
    size_t p = 0;
    while (p < n) {
        const size_t semicolon = findByte(data, p, ';');
        if (semicolon == n)
            return;
        // A bad index stops the whole command; earlier pairs stand.
        const auto index = paletteIndex(data.subspan(p, semicolon - p));
        if (!index || static_cast<size_t>(*index) >= ansiColors.size())
            return;
        const size_t textStart = semicolon + 1;
        if (textStart < n && data[textStart] == '?') {
            sendResponse({cc.osc(),
                          "4;" + std::to_string(*index) + ";" + ansiColors[static_cast<size_t>(*index)].formatted(),
                          cc.st()});
            p = textStart + 1;
            if (p < n && data[p] == ';')
                ++p;
            continue;
        }
        const size_t textEnd = findByte(data, textStart, ';');
        if (const auto color = Color::parseColorText(data.subspan(textStart, textEnd - textStart))) {
            ansiColors[static_cast<size_t>(*index)] = *color;
            if (tdel_)
                tdel_->colorChanged(*this, *index);
        }
        p = textEnd == n ? n : textEnd + 1;
    }
}

// The foreground and background the host shows, as the queries report them.
std::pair<Color, Color> Terminal::shownColors()
{
    return tdel_ ? tdel_->getColors(*this) : std::pair<Color, Color>{foregroundColor(), backgroundColor()};
}

void Terminal::oscSetColors(std::span<const uint8_t> data, int startAt)
{
    // Only three targets exist, so at most three non-empty pieces matter.
    std::vector<std::span<const uint8_t>> pieces;
    for (size_t p = 0; p < data.size() && startAt + static_cast<int>(pieces.size()) < 3;) {
        const size_t end = findByte(data, p, ';');
        if (end > p)
            pieces.push_back(data.subspan(p, end - p));
        p = end + 1;
    }
    if (pieces.empty())
        return;
    const auto [shownForeground, shownBackground] = shownColors();
    for (size_t i = 0; i < pieces.size(); ++i) {
        const int target = startAt + static_cast<int>(i);
        const auto piece = pieces[i];
        if (piece[0] == '?') {
            switch (target) {
            case 0: reportColor(10, shownForeground); break;
            case 1: reportColor(11, shownBackground); break;
            default: reportColor(12, cursorColor().value_or(shownForeground)); break;
            }
            continue;
        }
        const auto color = Color::parseColorText(piece);
        if (!color)
            continue;
        if (target == 0 && !foregroundBeforeOsc_)
            foregroundBeforeOsc_ = shownForeground;
        else if (target == 1 && !backgroundBeforeOsc_)
            backgroundBeforeOsc_ = shownBackground;
        else if (target == 2 && !cursorBeforeOsc_)
            cursorBeforeOsc_ = cursorColor();
        applyOscColor(target, *color);
    }
}

void Terminal::applyOscColor(int target, const Color& color)
{
    // Colours a program sets are not the host's defaults.
    const bool was = settingOscColor_;
    settingOscColor_ = true;
    // The second delegate call is deliberate: a host that keeps its own
    // copy of the colour hears about the command itself as well as the
    // property change.
    switch (target) {
    case 0:
        setForegroundColor(color);
        if (tdel_)
            tdel_->setForegroundColor(*this, color);
        break;
    case 1:
        setBackgroundColor(color);
        if (tdel_)
            tdel_->setBackgroundColor(*this, color);
        break;
    default:
        setCursorColor(color);
        if (tdel_)
            tdel_->setCursorColor(*this, color);
        break;
    }
    settingOscColor_ = was;
}

void Terminal::oscResetDefaultColor(int target)
{
    std::optional<Color>& before = target == 0 ? foregroundBeforeOsc_ : backgroundBeforeOsc_;
    if (!before) {
        const auto shown = shownColors();
        before = target == 0 ? shown.first : shown.second;
    }
    const Color color = *before;
    before.reset();
    applyOscColor(target, color);
}

void Terminal::resetAllColors()
{
    ansiColors = defaultAnsiColors;
    if (tdel_)
        tdel_->colorChanged(*this, std::nullopt);
}

void Terminal::oscResetColor(std::span<const uint8_t> data)
{
    if (data.empty()) {
        resetAllColors();
        return;
    }
    if (!isAscii(data))
        return;
    const std::string_view text = asText(data);
    for (size_t p = 0; p < text.size();) {
        const size_t end = std::min(text.find(';', p), text.size());
        const auto n = parseSignedInteger(text.substr(p, end - p));
        if (n && *n >= 0 && *n <= 255 &&
            static_cast<size_t>(*n) < std::min(ansiColors.size(), defaultAnsiColors.size())) {
            const auto index = static_cast<size_t>(*n);
            ansiColors[index] = defaultAnsiColors[index];
            if (tdel_)
                tdel_->colorChanged(*this, static_cast<int>(*n));
        }
        p = end + 1;
    }
}

void Terminal::oscResetCursorColor()
{
    // With no colour of its own the cursor takes the host's default.
    const std::optional<Color> before = cursorBeforeOsc_.value_or(std::nullopt);
    cursorBeforeOsc_.reset();
    if (tdel_)
        tdel_->setCursorColor(*this, before);
}

}  // namespace ravelgrid
