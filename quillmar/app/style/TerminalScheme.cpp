#include "quillmar/app/style/TerminalScheme.h"

namespace quillmar {
namespace {

TerminalScheme make(const char* id, const char* name, bool dark, const char* bg, const char* fg, const char* cursor,
                    const char* selection, std::array<const char*, 16> ansi)
{
    TerminalScheme s;
    s.id = QLatin1String(id);
    s.name = QString::fromUtf8(name);
    s.isDark = dark;
    s.background = QLatin1String(bg);
    s.foreground = QLatin1String(fg);
    s.cursor = QLatin1String(cursor);
    s.selection = QLatin1String(selection);
    for (std::size_t i = 0; i < 16; ++i)
        s.ansi[i] = QLatin1String(ansi[i]);
    return s;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

const std::vector<TerminalScheme>& TerminalScheme::catalogue()
{
    static const std::vector<TerminalScheme> schemes = {
        // The theme's own colours, with blues and magentas to go with them.
        make("metro-dark", "Metro Dark", true, "#0E1117", "#E1E6EE", "#FFB74D", "#2C3442",
             {"#1E242F", "#F86A5C", "#6FCF97", "#F5BF69", "#6CA6F0", "#C792EA", "#5FD0D8", "#AEB8C8", "#6E7B8B",
              "#FF8A7D", "#8FE0AF", "#FFD08A", "#8DBBF5", "#D7AEF0", "#84DEE4", "#E1E6EE"}),
        make("metro-light", "Metro Light", false, "#F6F7F9", "#161B24", "#915500", "#E0E4EB",
             {"#161B24", "#B02A20", "#106E3E", "#825400", "#1F5FAF", "#8A3FA0", "#0E7C86", "#647080", "#465263",
              "#C8372C", "#168A4E", "#9A6500", "#2F74CC", "#A24FBA", "#14939E", "#ECEFF3"}),
        make("dot-matrix", "Dot Matrix", true, "#0D0208", "#00FF41", "#00FF41", "#224028",
             {"#0C160E", "#F06458", "#00C834", "#C9C94A", "#00A52D", "#3FD9A0", "#00C834", "#8CE6A0", "#224028",
              "#F06458", "#00FF41", "#E0E070", "#3FD9A0", "#7CF2C4", "#00FF41", "#D0FFDC"}),
        make("nord", "Nord", true, "#2E3440", "#D8DEE9", "#D8DEE9", "#434C5E",
             {"#3B4252", "#BF616A", "#A3BE8C", "#EBCB8B", "#81A1C1", "#B48EAD", "#88C0D0", "#E5E9F0", "#4C566A",
              "#BF616A", "#A3BE8C", "#EBCB8B", "#81A1C1", "#B48EAD", "#8FBCBB", "#ECEFF4"}),
        make("catppuccin-mocha", "Catppuccin Mocha", true, "#1E1E2E", "#CDD6F4", "#F5E0DC", "#585B70",
             {"#45475A", "#F38BA8", "#A6E3A1", "#F9E2AF", "#89B4FA", "#F5C2E7", "#94E2D5", "#BAC2DE", "#585B70",
              "#F38BA8", "#A6E3A1", "#F9E2AF", "#89B4FA", "#F5C2E7", "#94E2D5", "#A6ADC8"}),
    };
    return schemes;
}

const TerminalScheme& TerminalScheme::named(const QString& id)
{
    const auto& all = catalogue();
    for (const auto& s : all) {
        if (s.id == id)
            return s;
    }
    return all.front();
}

std::array<std::uint8_t, 3> hexRGBComponents(std::string_view text)
{
    if (!text.empty() && text.front() == '#')
        text.remove_prefix(1);
    if (text.size() != 6)
        return {0, 0, 0};
    std::array<std::uint8_t, 3> rgb{};
    for (std::size_t i = 0; i < 3; ++i) {
        const int hi = hexDigit(text[2 * i]);
        const int lo = hexDigit(text[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return {0, 0, 0};
        rgb[i] = std::uint8_t(hi * 16 + lo);
    }
    return rgb;
}

std::array<std::uint8_t, 3> hexRGBComponents(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    return hexRGBComponents(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

QColor schemeColor(const QString& text)
{
    const auto rgb = hexRGBComponents(text);
    return QColor(rgb[0], rgb[1], rgb[2]);
}

}  // namespace quillmar
