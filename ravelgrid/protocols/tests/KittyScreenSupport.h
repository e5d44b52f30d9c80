#pragma once

#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include "KittyTestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ravelgrid::kittytest {

class ScreenDelegate : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t> data) override { sent.append(data.begin(), data.end()); }
    std::optional<std::pair<int, int>> cellSizeInPixels(Terminal&) override { return cellSize; }
    std::string sent;
    std::optional<std::pair<int, int>> cellSize;
};

// A 10 by 5 terminal with 20 lines of scrollback and kitty graphics attached.
class KittyScreen : public ::testing::Test {
public:
    static TerminalOptions options()
    {
        TerminalOptions o;
        o.cols = 10;
        o.rows = 5;
        o.scrollback = 20;
        return o;
    }

protected:
    KittyScreen() : kitty(TerminalKittyGraphics::attach(terminal)) {}

    void command(const std::string& keys, const std::string& payload = {})
    {
        terminal.feed("\x1b_G" + keys + (payload.empty() ? "" : ";" + payload) + "\x1b\\");
    }

    std::string reply()
    {
        std::string r = delegate.sent;
        delegate.sent.clear();
        return r;
    }

    // Stores a width by height RGBA image; pixel n is (n, n >> 8, id, 255).
    void store(uint32_t id, int width = 1, int height = 1)
    {
        std::vector<uint8_t> pixels;
        for (int n = 0; n < width * height; ++n) {
            pixels.insert(pixels.end(),
                          {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(id), 255});
        }
        command("a=t,q=1,i=" + std::to_string(id) + ",s=" + std::to_string(width) + ",v=" + std::to_string(height),
                base64(std::span<const uint8_t>(pixels)));
    }

    void cursorTo(int col, int row)
    {
        terminal.feed("\x1b[" + std::to_string(row + 1) + ";" + std::to_string(col + 1) + "H");
    }
    std::pair<int, int> cursor() { return {terminal.buffer->x(), terminal.buffer->y()}; }

    struct Placed {
        int line;
        const KittyPlacementImage* cell;
    };
    static std::vector<Placed> cells(Buffer& buffer)
    {
        std::vector<Placed> out;
        for (int i = 0; i < buffer.lines().count(); ++i) {
            const BufferLine* line = buffer.lines().peek(i);
            if (!line || !line->images())
                continue;
            for (const auto& image : *line->images()) {
                if (auto* cell = dynamic_cast<const KittyPlacementImage*>(image.get()))
                    out.push_back({i, cell});
            }
        }
        return out;
    }
    std::vector<Placed> cells() { return cells(*terminal.buffer); }
    Placed cellOf(uint32_t imageId)
    {
        for (const Placed& p : cells()) {
            if (p.cell->kittyImageId == imageId)
                return p;
        }
        ADD_FAILURE() << "no cell of image " << imageId;
        return {-1, nullptr};
    }
    // The image ids shown by cells of the active buffer, one per placement line.
    std::vector<uint32_t> shownIds()
    {
        std::vector<uint32_t> ids;
        for (const Placed& p : cells())
            ids.push_back(p.cell->kittyImageId.value_or(0));
        return ids;
    }

    KittyGraphicsState& state() { return kitty.state(); }

    ScreenDelegate delegate;
    Terminal terminal{&delegate, options()};
    TerminalKittyGraphics& kitty;
};

}  // namespace ravelgrid::kittytest
