#pragma once

#include <QString>

#include <vector>

namespace quillmar {

// One monospaced family as fontconfig lists it, named by its upright
// regular face.
struct MonospaceFace {
    QString family;
    QString postScriptName;
    // Carries the Powerline separators and the icon glyphs of a Nerd Font.
    bool nerd = false;
};

// The installed monospaced families, sorted by name, each once. Read from
// fontconfig on first use and kept; `reload` reads again.
const std::vector<MonospaceFace>& monospaceFaces(bool reload = false);

}  // namespace quillmar
