#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ravelgrid/screen/Color.h"
#include "ravelgrid/terminal/TerminalTypes.h"

namespace ravelgrid {

class Terminal;

// The answer to a request that hands local data to the child (the
// clipboard, the screen, a local file, a directory report).
enum class RequestTrust { trusted, untrusted, unknown };

// The host side of a Terminal: everything the terminal tells or asks its
// host. Only send() must be implemented; every other call has a default.
// A Terminal does not own its delegate: the host outlives it or clears it.
class TerminalDelegate {
public:
    virtual ~TerminalDelegate() = default;

    virtual void showCursor(Terminal&) {}
    virtual void hideCursor(Terminal&) {}
    virtual void setTerminalTitle(Terminal&, const std::string& /*title*/) {}
    virtual void setTerminalIconTitle(Terminal&, const std::string& /*title*/) {}
    // Reply bytes for a report command, or nothing to let the terminal answer.
    virtual std::optional<std::vector<uint8_t>> windowCommand(Terminal&, const WindowManipulationCommand&)
    {
        return std::nullopt;
    }
    virtual void sizeChanged(Terminal&) {}
    // Bytes for the child process.
    virtual void send(Terminal& source, std::span<const uint8_t> data) = 0;
    virtual void scrolled(Terminal&, int /*yDisp*/) {}
    virtual void linefeed(Terminal&) {}
    virtual void bufferActivated(Terminal&) {}
    virtual void synchronizedOutputChanged(Terminal&, bool /*active*/) {}
    virtual void bell(Terminal&) {}
    virtual void selectionChanged(Terminal&) {}
    // Whether the child may read back the screen or the clipboard. Only hosts
    // that started a local program themselves say yes.
    virtual bool isProcessTrusted(Terminal&) { return false; }
    // Whether the output being fed now came from a remote session: asked once
    // per feed, so it must be cheap. What it prints is marked (rows and OSC 8
    // targets), and links found there stay remote output.
    virtual bool isOutputRemote(Terminal& source) { return !isProcessTrusted(source); }
    // Whether a request the output being fed makes now may be answered;
    // unknown while the host has not yet learnt where that output came from.
    // Must be cheap: it runs on the terminal's thread.
    virtual RequestTrust requestTrust(Terminal& source)
    {
        return isProcessTrusted(source) ? RequestTrust::trusted : RequestTrust::untrusted;
    }
    // For an unknown answer: a function that blocks until the answer is known
    // and returns it. It runs on a thread of its own and may outlive the host.
    virtual std::function<bool()> requestTrustAwaiter(Terminal&) { return {}; }
    // Input held for slow work (see Terminal::runHoldingInput) has been
    // parsed; the screen may have changed and more output is welcome.
    virtual void inputResumed(Terminal&) {}
    virtual std::optional<std::pair<int, int>> cellSizeInPixels(Terminal&) { return std::nullopt; }
    virtual void mouseModeChanged(Terminal&) {}
    virtual void cursorStyleChanged(Terminal&, CursorStyle) {}
    virtual void hostCurrentDirectoryUpdated(Terminal&) {}
    virtual void hostCurrentDocumentUpdated(Terminal&) {}
    // idx nothing = the whole palette changed.
    virtual void colorChanged(Terminal&, std::optional<int> /*idx*/) {}
    virtual void setForegroundColor(Terminal& source, const Color& color);
    virtual void setBackgroundColor(Terminal& source, const Color& color);
    virtual void setCursorColor(Terminal& source, const std::optional<Color>& color);
    virtual std::pair<Color, Color> getColors(Terminal& source);
    virtual void inlineContentReceived(Terminal&, std::span<const uint8_t> /*content*/) {}
    virtual void clipboardCopy(Terminal&, std::span<const uint8_t> /*content*/) {}
    virtual std::optional<std::vector<uint8_t>> clipboardRead(Terminal&) { return std::nullopt; }
    virtual void notify(Terminal&, const std::string& /*title*/, const std::string& /*body*/) {}
    virtual void progressReport(Terminal&, const ProgressReport&) {}
    virtual void createImageFromBitmap(Terminal&, std::vector<uint8_t>& /*rgba*/, int /*width*/, int /*height*/) {}
    virtual void createImage(Terminal&, std::span<const uint8_t> /*data*/, ImageSizeRequest /*width*/,
                             ImageSizeRequest /*height*/, bool /*preserveAspectRatio*/)
    {}
};

}  // namespace ravelgrid
