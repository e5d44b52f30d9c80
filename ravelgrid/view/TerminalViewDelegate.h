#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ravelgrid {

class TerminalView;

// What a TerminalView tells its host. The view does not own its delegate:
// the host outlives the view or clears the delegate first.
class TerminalViewDelegate {
public:
    virtual ~TerminalViewDelegate() = default;

    // The terminal's grid size changed.
    virtual void sizeChanged(TerminalView& source, int newCols, int newRows) = 0;
    virtual void setTerminalTitle(TerminalView& source, const std::string& title) = 0;
    virtual void hostCurrentDirectoryUpdate(TerminalView& source, const std::optional<std::string>& directory) = 0;
    // Bytes for the child process.
    virtual void send(TerminalView& source, std::span<const uint8_t> data) = 0;
    // The viewport moved; 0 is the top of the scrollback, 1 the live screen.
    virtual void scrolled(TerminalView& source, double position) = 0;
    virtual void requestOpenLink(TerminalView& /*source*/, const std::string& /*link*/,
                                 const std::map<std::string, std::string>& /*params*/)
    {}
    // A bell with an audible part; the default beeps.
    virtual void bell(TerminalView& source);
    virtual void clipboardCopy(TerminalView& /*source*/, std::span<const uint8_t> /*content*/) {}
    virtual std::optional<std::vector<uint8_t>> clipboardRead(TerminalView& /*source*/) { return std::nullopt; }
    virtual void inlineContent(TerminalView& /*source*/, std::span<const uint8_t> /*content*/) {}
    // A display update redrew rows startY..endY; only while the view's
    // notifyUpdateChanges is on.
    virtual void rangeChanged(TerminalView& source, int startY, int endY) = 0;
};

}  // namespace ravelgrid
