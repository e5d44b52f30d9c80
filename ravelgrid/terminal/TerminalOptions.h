#pragma once

#include <optional>
#include <string>

#include "ravelgrid/screen/BidiPresentationState.h"
#include "ravelgrid/screen/Color.h"
#include "ravelgrid/screen/UnicodeUtil.h"
#include "ravelgrid/terminal/TerminalTypes.h"

namespace ravelgrid {

// What a host chooses when it creates a Terminal.
struct TerminalOptions {
    int cols = 80;
    int rows = 25;
    bool convertEol = false;
    std::string termName = "xterm-256color";
    CursorStyle cursorStyle = CursorStyle::blinkBlock;
    bool screenReaderMode = false;
    int scrollback = 500;
    int tabStopWidth = 8;
    bool enableSixelReported = true;
    long long kittyImageCacheLimitBytes = 320ll * 1024 * 1024;
    Ansi256PaletteStrategy ansi256PaletteStrategy = Ansi256PaletteStrategy::base16Lab;
    RegionalIndicatorWidth regionalIndicatorWidth = RegionalIndicatorWidth::wide;
    BidiPresentationState initialBidiState{BidiSupportMode::implicit, true, BidiDirection::leftToRight, false};
    int maximumBidiParagraphRows = 500;
    bool initialBidiArrowKeySwap = false;

    // Bounds a terminal accepts; sizes past them would only exhaust memory.
    static constexpr int kMaxCols = 4096;
    static constexpr int kMaxRows = 2048;
    static constexpr int kMaxScrollback = 1'000'000;

    // The options with every field brought into range: at least 2 columns,
    // 1 row, tab width 1, no negative scrollback, bidi paragraphs of 1 row.
    TerminalOptions validated() const;
    // The sentence telling what validated() had to change, or nothing.
    std::optional<std::string> problem() const;
};

}  // namespace ravelgrid
