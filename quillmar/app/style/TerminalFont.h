#pragma once

#include <QFont>
#include <QString>

#include <optional>

namespace quillmar {

// The font of a PostScript name such as "JetBrainsMono-Bold" or
// "Inter-SemiBold" (family without spaces, a dash, the style), or of a plain
// family name, at a size in points; none when no installed face matches.
std::optional<QFont> fontForPostScriptName(const QString& name, qreal size);

struct TerminalFont {
    // The Nerd Font the settings name by default; JetBrains Mono stands in for it.
    static constexpr const char* nerdFontName = "JetBrainsMonoNFM-Regular";
    // The font a stored name chooses, none when it names nothing installed:
    // a family of Settings' list (by its regular face's PostScript name or
    // its family name) upright and regular, else any face of that name.
    static std::optional<QFont> chosen(const QString& name, qreal size);
    // The face of that name at that size; else "JetBrainsMonoNFM-Regular"
    // (JetBrains Mono where the Nerd Font is absent); else the system's
    // monospaced font.
    static QFont font(const QString& name, qreal size);
};

// Registers the fonts shipped beside the executable (fonts/ and
// ../share/quillmar/fonts/, every .ttf and .otf); the Debian font packages
// are found through fontconfig. Returns how many files were registered.
int registerApplicationFonts();
int registerFontsIn(const QString& directory);

}  // namespace quillmar
