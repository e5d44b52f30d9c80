#pragma once

#include <QColor>
#include <QString>

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quillmar {

// A terminal colour scheme; colours are hex text such as "#0E1117".
struct TerminalScheme {
    QString id;
    QString name;
    bool isDark = true;
    QString background;
    QString foreground;
    QString cursor;
    QString selection;
    std::array<QString, 16> ansi;

    bool operator==(const TerminalScheme&) const = default;

    // The built-in schemes, in the order a picker lists them.
    static const std::vector<TerminalScheme>& catalogue();
    // The built-in scheme with this id, or "metro-dark" for any other id.
    static const TerminalScheme& named(const QString& id);
};

// The red, green and blue bytes of "#RRGGBB" or "RRGGBB"; 0, 0, 0 for
// anything else.
std::array<std::uint8_t, 3> hexRGBComponents(std::string_view text);
std::array<std::uint8_t, 3> hexRGBComponents(const QString& text);
// The opaque colour of hex text, black when it is not hex.
QColor schemeColor(const QString& text);

}  // namespace quillmar
