#include "ravelgrid/screen/Color.h"

#include <cmath>
#include <cstdio>

namespace ravelgrid {

namespace {

int hexValue(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The "#" form scales like the classic X11 shorthand.
uint16_t scaleHashField(uint32_t v, int digits)
{
    switch (digits) {
    case 1: return static_cast<uint16_t>(v * 0x1010);
    case 2: return static_cast<uint16_t>(v * 257);
    case 3: return static_cast<uint16_t>((v << 4) | (v >> 4));
    case 4: return static_cast<uint16_t>(v);
    default: return 0;
    }
}

// An n-digit "rgb:" field spans the whole range: v * 65535 / (16^n - 1), so
// "f", "ff", "fff" and "ffff" are all full intensity.
uint16_t scaleRgbField(uint32_t v, int digits)
{
    if (digits <= 0)
        return 0;
    const uint32_t maxValue = (1u << (4 * digits)) - 1;
    return static_cast<uint16_t>((v * 65535u + maxValue / 2) / maxValue);
}

constexpr std::string_view rgbPrefix = "rgb:";

bool startsWith(std::span<const uint8_t> s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (s[i] != static_cast<uint8_t>(prefix[i]))
            return false;
    return true;
}

std::array<Color, 16> tableFromHex(const std::array<uint32_t, 16>& hex)
{
    std::array<Color, 16> out{};
    for (size_t i = 0; i < 16; ++i)
        out[i] = Color::fromRgb8(static_cast<int>(hex[i] >> 16 & 0xFF), static_cast<int>(hex[i] >> 8 & 0xFF),
                                 static_cast<int>(hex[i] & 0xFF));
    return out;
}

Color::LabColor lerp(const Color::LabColor& p, const Color::LabColor& q, double t)
{
    return {p.l + (q.l - p.l) * t, p.a + (q.a - p.a) * t, p.b + (q.b - p.b) * t};
}

}  // namespace

std::string Color::formatted() const
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "rgb:%04x/%04x/%04x", red, green, blue);
    return buf;
}

std::optional<Color> Color::parse(std::string_view text)
{
    auto isHex = [](char c) { return hexValue(static_cast<uint8_t>(c)) >= 0; };
    if (!text.empty() && text[0] == '#') {
        const std::string_view rest = text.substr(1);
        if (rest.size() != 3 && rest.size() != 6 && rest.size() != 9 && rest.size() != 12)
            return std::nullopt;
        for (char c : rest)
            if (!isHex(c))
                return std::nullopt;
    } else if (text.substr(0, rgbPrefix.size()) == rgbPrefix) {
        std::string_view rest = text.substr(rgbPrefix.size());
        int pieces = 0;
        while (true) {
            const size_t slash = rest.find('/');
            const std::string_view piece = rest.substr(0, slash);
            if (piece.empty() || piece.size() > 4)
                return std::nullopt;
            for (char c : piece)
                if (!isHex(c))
                    return std::nullopt;
            ++pieces;
            if (slash == std::string_view::npos)
                break;
            rest = rest.substr(slash + 1);
        }
        if (pieces != 3)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    return parseColorText({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
}

std::optional<Color> Color::parseColorText(std::span<const uint8_t> text)
{
    if (!text.empty() && text[0] == '#') {
        const auto rest = text.subspan(1);
        if (rest.size() != 3 && rest.size() != 6 && rest.size() != 9 && rest.size() != 12)
            return std::nullopt;
        const size_t n = rest.size() / 3;
        uint16_t channels[3] = {};
        for (size_t group = 0; group < 3; ++group) {
            uint32_t v = 0;
            for (size_t i = 0; i < n; ++i) {
                const int d = hexValue(rest[group * n + i]);
                if (d < 0)
                    break;
                v = v << 4 | static_cast<uint32_t>(d);
            }
            channels[group] = scaleHashField(v, static_cast<int>(n));
        }
        return Color(channels[0], channels[1], channels[2]);
    }
    if (!startsWith(text, rgbPrefix))
        return std::nullopt;
    size_t pos = rgbPrefix.size();
    uint16_t channels[3] = {};
    bool anyDigit = false;
    for (auto& channel : channels) {
        uint32_t v = 0;
        int digits = 0;
        while (pos < text.size() && digits < 4) {
            const int d = hexValue(text[pos]);
            if (d < 0)
                break;
            v = v << 4 | static_cast<uint32_t>(d);
            ++digits;
            ++pos;
        }
        if (pos < text.size() && text[pos] == '/')
            ++pos;
        anyDigit = anyDigit || digits > 0;
        channel = scaleRgbField(v, digits);
    }
    if (!anyDigit)
        return std::nullopt;
    return Color(channels[0], channels[1], channels[2]);
}

Color::LabColor Color::toLab(const Color& c)
{
    auto linear = [](uint16_t channel) {
        double q = std::round(static_cast<double>(channel) / 65535.0 * 255.0);
        q = std::min(q, 255.0);
        const double s = q / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    const double r = linear(c.red);
    const double g = linear(c.green);
    const double b = linear(c.blue);
    const double x = (0.4124564 * r + 0.3575761 * g + 0.1804375 * b) / 0.95047;
    const double y = (0.2126729 * r + 0.7151522 * g + 0.072175 * b) / 1.0;
    const double z = (0.0193339 * r + 0.119192 * g + 0.9503041 * b) / 1.08883;
    auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
    return {116.0 * f(y) - 16.0, 500.0 * (f(x) - f(y)), 200.0 * (f(y) - f(z))};
}

Color Color::fromLab(const LabColor& lab)
{
    const double fy = (lab.l + 16.0) / 116.0;
    const double fx = fy + lab.a / 500.0;
    const double fz = fy - lab.b / 200.0;
    auto inverse = [](double t) {
        const double t3 = t * t * t;
        return t3 > 0.008856 ? t3 : (t - 16.0 / 116.0) / 7.787;
    };
    const double x = 0.95047 * inverse(fx);
    const double y = inverse(fy);
    const double z = 1.08883 * inverse(fz);
    const double r = 3.2404542 * x - 1.5371385 * y - 0.4985314 * z;
    const double g = -0.969266 * x + 1.8760108 * y + 0.041556 * z;
    const double b = 0.0556434 * x - 0.2040259 * y + 1.0572252 * z;
    auto encode = [](double c) {
        c = c > 0.0031308 ? 1.055 * std::pow(c, 1.0 / 2.4) - 0.055 : 12.92 * c;
        if (!(c > 0.0))
            return 0;
        if (c >= 1.0)
            return 255;
        return static_cast<int>(c * 255.0 + 0.5);
    };
    return fromRgb8(encode(r), encode(g), encode(b));
}

std::vector<Color> Color::appendXtermCube(std::vector<Color> colors)
{
    static constexpr int levels[6] = {0, 95, 135, 175, 215, 255};
    colors.reserve(colors.size() + 240);
    for (int i = 0; i < 216; ++i)
        colors.push_back(fromRgb8(levels[i / 36], levels[(i / 6) % 6], levels[i % 6]));
    for (int k = 0; k < 24; ++k) {
        const auto v = static_cast<uint16_t>((8 + 10 * k) * 257);
        colors.emplace_back(v, v, v);
    }
    return colors;
}

std::vector<Color> Color::build256Palette(std::span<const Color> installed, std::optional<Color> background,
                                          std::optional<Color> foreground, bool harmonious)
{
    std::vector<Color> out(installed.begin(), installed.end());
    if (installed.size() < 8)
        return out;
    LabColor c[8];
    for (size_t i = 0; i < 8; ++i)
        c[i] = toLab(installed[i]);
    if (background)
        c[0] = toLab(*background);
    if (foreground)
        c[7] = toLab(*foreground);
    if (!harmonious && c[0].l > c[7].l)
        std::swap(c[0], c[7]);

    out.reserve(out.size() + 240);
    for (int r = 0; r < 6; ++r) {
        for (int g = 0; g < 6; ++g) {
            for (int b = 0; b < 6; ++b) {
                const double tr = r / 5.0;
                const double tg = g / 5.0;
                const double tb = b / 5.0;
                const LabColor e0 = lerp(c[0], c[1], tr);
                const LabColor e1 = lerp(c[2], c[3], tr);
                const LabColor e2 = lerp(c[4], c[5], tr);
                const LabColor e3 = lerp(c[6], c[7], tr);
                const LabColor f0 = lerp(e0, e1, tg);
                const LabColor f1 = lerp(e2, e3, tg);
                out.push_back(fromLab(lerp(f0, f1, tb)));
            }
        }
    }
    for (int k = 1; k <= 24; ++k)
        out.push_back(fromLab(lerp(c[0], c[7], k / 25.0)));
    return out;
}

const std::array<Color, 16>& Color::paleColors()
{
    static const auto table =
        tableFromHex({0x2e3436, 0xcc0000, 0x4e9a06, 0xc4a000, 0x3465a4, 0x75507b, 0x06989a, 0xd3d7cf, 0x555753,
                      0xef2929, 0x8ae234, 0xfce94f, 0x729fcf, 0xad7fa8, 0x34e2e2, 0xeeeeec});
    return table;
}

const std::array<Color, 16>& Color::vgaColors()
{
    static const auto table =
        tableFromHex({0x000000, 0xaa0000, 0x00aa00, 0xaa5500, 0x0000aa, 0xaa00aa, 0x00aaaa, 0xaaaaaa, 0x555555,
                      0xff5555, 0x55ff55, 0xffff55, 0x5555ff, 0xff55ff, 0x55ffff, 0xffffff});
    return table;
}

const std::array<Color, 16>& Color::defaultInstalledColors()
{
    static const auto table =
        tableFromHex({0x000000, 0xc23621, 0x25bc24, 0xadad27, 0x492ee1, 0xd338d3, 0x33bbc8, 0xcbcccd, 0x818383,
                      0xfc391f, 0x31e722, 0xeaec23, 0x5833ff, 0xf935f8, 0x14f0f0, 0xe9ebeb});
    return table;
}

const std::array<Color, 16>& Color::xtermColors()
{
    static const auto table =
        tableFromHex({0x000000, 0xcd0000, 0x00cd00, 0xcdcd00, 0x0000ee, 0xcd00cd, 0x00cdcd, 0xe5e5e5, 0x7f7f7f,
                      0xff0000, 0x00ff00, 0xffff00, 0x5c5cff, 0xff00ff, 0x00ffff, 0xffffff});
    return table;
}

const std::array<Color, 16>& Color::terminalAppColors()
{
    static const auto table =
        tableFromHex({0x000000, 0x990001, 0x00a603, 0x999900, 0x0300b2, 0xb200b2, 0x00a5b2, 0xbfbfbf, 0x8a898a,
                      0xe50001, 0x00d800, 0xe5e500, 0x0700fe, 0xe500e5, 0x00e5e5, 0xe5e5e5});
    return table;
}

}  // namespace ravelgrid
