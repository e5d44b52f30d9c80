#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ravelgrid/screen/KittyKeyboardFlags.h"
#include "ravelgrid/screen/TinyAtom.h"

// Small value types that the Terminal and its host exchange.
namespace ravelgrid {

enum class BufferKind : uint8_t { active, normal, alt };

// Encodings for exporting a buffer as bytes.
enum class TextEncoding : uint8_t { utf8, ascii, isoLatin1 };

enum class MouseMode : uint8_t { off, x10, vt200, buttonEventTracking, anyEvent };
constexpr bool sendsModifiers(MouseMode m)
{
    return m == MouseMode::vt200 || m == MouseMode::buttonEventTracking || m == MouseMode::anyEvent;
}
constexpr bool sendMotionEvent(MouseMode m)
{
    return m == MouseMode::anyEvent;
}

enum class MouseProtocolEncoding : uint8_t { x10, utf8, sgr, urxvt, sgrPixel };

enum class TerminalConformance : uint8_t { vt100, vt200, vt300, vt400, vt500 };

enum class ProgressReportState : uint8_t { remove = 0, set = 1, error = 2, indeterminate = 3, pause = 4 };

struct ProgressReport {
    ProgressReportState state = ProgressReportState::remove;
    std::optional<uint8_t> progress;
    friend bool operator==(const ProgressReport&, const ProgressReport&) = default;
};

// The OSC 8 link being printed: waiting for its first cell, registered, or
// impossible to register (payload table full).
struct ActiveHyperlink {
    enum class Kind : uint8_t { pending, resolved, unavailable };
    Kind kind = Kind::pending;
    std::string uri;
    TinyAtom atom;
    bool remote = false;  // sent by a remote session
};

enum class SemanticScanState : uint8_t { ground, escape, csi, ss3 };

struct KeyboardModeState {
    KittyKeyboardFlags flags;
    std::vector<KittyKeyboardFlags> stack;
};

// What CSI t asks of the host window.
struct WindowManipulationCommand {
    enum class Kind : uint8_t {
        moveWindowTo,
        resizeWindowTo,
        resizeTo,
        resizeTerminal,
        resizeToLines,
        deiconifyWindow,
        iconifyWindow,
        bringToFront,
        sendToBack,
        refreshWindow,
        restoreMaximizedWindow,
        maximizeWindow,
        maximizeWindowVertically,
        maximizeWindowHorizontally,
        undoFullScreen,
        switchToFullScreen,
        toggleFullScreen,
        reportTerminalState,
        reportTerminalPosition,
        reportTextAreaPosition,
        reportTextAreaPixelDimension,
        reportTerminalWindowPixelDimension,
        reportSizeOfScreenInPixels,
        reportCellSizeInPixels,
        reportTextAreaCharacters,
        reportScreenSizeCharacters,
        reportIconLabel,
        reportWindowTitle,
    };
    Kind kind = Kind::refreshWindow;
    int first = 0;   // x, width, cols or lines
    int second = 0;  // y, height or rows
};

struct ImageSizeRequest {
    enum class Kind : uint8_t { cells, pixels, percent, automatic };
    Kind kind = Kind::automatic;
    int value = 0;
};

enum class CursorStyle : uint8_t { blinkBlock, steadyBlock, blinkUnderline, steadyUnderline, blinkBar, steadyBar };

constexpr const char* description(CursorStyle s)
{
    switch (s) {
    case CursorStyle::blinkBlock: return "Blinking Block";
    case CursorStyle::steadyBlock: return "Steady Block";
    case CursorStyle::blinkUnderline: return "Blinking Underline";
    case CursorStyle::steadyUnderline: return "Steady Underline";
    case CursorStyle::blinkBar: return "Blinking Bar";
    case CursorStyle::steadyBar: return "Steady Bar";
    }
    return "";
}

inline constexpr CursorStyle kAllCursorStyles[] = {CursorStyle::blinkBlock,     CursorStyle::steadyBlock,
                                                   CursorStyle::blinkUnderline, CursorStyle::steadyUnderline,
                                                   CursorStyle::blinkBar,       CursorStyle::steadyBar};

struct RavelgridBuildInfo {
    static constexpr const char* version = "v1.20.0";
    static constexpr const char* sourceRevision = "0000000000000000000000000000000000000000";
};

}  // namespace ravelgrid
