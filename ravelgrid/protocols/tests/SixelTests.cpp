#include "ravelgrid/protocols/SixelDcsHandler.h"
#include "ravelgrid/protocols/SixelImage.h"
#include "ravelgrid/protocols/TerminalKittyGraphics.h"
#include "ravelgrid/terminal/Terminal.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace ravelgrid {
namespace {

using Pixel = std::array<uint8_t, 4>;
constexpr Pixel kRed{255, 0, 0, 255};
constexpr Pixel kClear{0, 0, 0, 0};

const std::vector<Color> kPalette = {Color(0xFFFF, 0, 0), Color(0, 0, 0), Color(0, 0, 0),
                                     Color(0, 0, 0),      Color(0, 0, 0), Color(0x1234, 0x56FF, 0x9A00)};

SixelImage decode(std::string_view data, const SixelLimits& limits = {})
{
    return SixelImage::decode({reinterpret_cast<const uint8_t*>(data.data()), data.size()}, kPalette, limits);
}

Pixel at(const SixelImage& image, int x, int y)
{
    const size_t i = (static_cast<size_t>(y) * image.width + x) * 4;
    return {image.pixels[i], image.pixels[i + 1], image.pixels[i + 2], image.pixels[i + 3]};
}

Pixel rgba(uint32_t packed)
{
    return {static_cast<uint8_t>(packed >> 24), static_cast<uint8_t>(packed >> 16), static_cast<uint8_t>(packed >> 8),
            static_cast<uint8_t>(packed)};
}

TEST(SixelDecoder, RunsAndBands)
{
    SixelImage image = decode("#0;2;100;0;0~~");
    ASSERT_EQ(image.width, 2);
    ASSERT_EQ(image.height, 6);
    for (int y = 0; y < 6; ++y)
        EXPECT_EQ(at(image, 1, y), kRed);

    image = decode("#0;2;100;0;0!3~-~");
    ASSERT_EQ(image.width, 3);
    ASSERT_EQ(image.height, 12);
    for (int x = 0; x < 3; ++x)
        EXPECT_EQ(at(image, x, 5), kRed);
    EXPECT_EQ(at(image, 0, 11), kRed);
    EXPECT_EQ(at(image, 1, 6), kClear);
    EXPECT_EQ(at(image, 2, 11), kClear);

    // Bit 0 is the top row; only set bits reach the height.
    image = decode("#0;2;100;0;0@A");
    ASSERT_EQ(image.height, 2);
    EXPECT_EQ(at(image, 0, 0), kRed);
    EXPECT_EQ(at(image, 0, 1), kClear);
    EXPECT_EQ(at(image, 1, 1), kRed);

    // "$" goes back over the same band; the width is the furthest column.
    image = decode("#0;2;100;0;0!4?$@");
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 1);
}

TEST(SixelDecoder, RepeatCounts)
{
    // A repeat waits for its sixel across "$" and "-", and a colour cancels it.
    SixelImage image = decode("#0;2;100;0;0!3-~");
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 12);
    image = decode("!3#0;2;100;0;0~");
    EXPECT_EQ(image.width, 1);
    // A count of 0 uses the sixel up without drawing it.
    image = decode("#0;2;100;0;0!0~@");
    EXPECT_EQ(image.width, 1);
    EXPECT_EQ(image.height, 1);
    // A "!" without digits sets nothing.
    image = decode("#0;2;100;0;0!~~");
    EXPECT_EQ(image.width, 2);
}

TEST(SixelDecoder, Colours)
{
    EXPECT_EQ(at(decode("#1;2;50;50;50~"), 0, 0), (Pixel{127, 127, 127, 255}));
    EXPECT_EQ(at(decode("#1;2;200;0;100~"), 0, 0), (Pixel{255, 0, 255, 255}));
    // A list ends at anything but digits and ";digit": here "-" starts a new band.
    const SixelImage cut = decode("#1;2;100;-1;100~");
    EXPECT_EQ(cut.height, 12);
    EXPECT_EQ(at(cut, 0, 6), (Pixel{0, 0, 0, 255}));
    EXPECT_EQ(at(decode("#1;1;120;50;100~"), 0, 0), kRed);
    EXPECT_EQ(at(decode("#1;1;0;50;100~"), 0, 0), (Pixel{0, 0, 255, 255}));
    EXPECT_EQ(at(decode("#1;1;240;50;100~"), 0, 0), (Pixel{0, 255, 0, 255}));
    EXPECT_EQ(rgba(SixelImage::hlsToRgba(77, 40, 0)), (Pixel{102, 102, 102, 255}));
    EXPECT_EQ(rgba(SixelImage::hlsToRgba(180, 50, 100)), (Pixel{255, 255, 0, 255}));

    // Undefined numbers come from the terminal's palette (high bytes), past it transparent.
    EXPECT_EQ(at(decode("#5~"), 0, 0), (Pixel{0x12, 0x56, 0x9A, 255}));
    const SixelImage beyond = decode("#300~~");
    EXPECT_EQ(beyond.width, 2);
    EXPECT_EQ(at(beyond, 1, 0), kClear);
    // Too few parameters or an unknown space select without defining.
    EXPECT_EQ(at(decode("#5;2;0;0~"), 0, 0), (Pixel{0x12, 0x56, 0x9A, 255}));
    EXPECT_EQ(at(decode("#5;3;0;0;0~"), 0, 0), (Pixel{0x12, 0x56, 0x9A, 255}));
    // A later definition wins for what follows; drawn pixels keep theirs.
    const SixelImage redefined = decode("#1;2;100;0;0~#1;2;0;0;100~");
    EXPECT_EQ(at(redefined, 0, 0), kRed);
    EXPECT_EQ(at(redefined, 1, 0), (Pixel{0, 0, 255, 255}));
}

TEST(SixelDecoder, EdgesOfTheData)
{
    // Without any "#" the picture is drawn in colour 0.
    SixelImage image = decode("\"1;1;2;6~~");
    ASSERT_EQ(image.width, 2);
    EXPECT_EQ(at(image, 0, 0), kRed);
    // The very last byte is a sixel like any other.
    image = decode("#0;2;100;0;0~");
    EXPECT_EQ(image.width, 1);
    image = decode("#1~");
    EXPECT_EQ(image.width, 1);
    // Nothing drawable gives an empty picture.
    EXPECT_EQ(decode("").width, 0);
    EXPECT_EQ(decode("#0;2;100;0;0").height, 0);
    EXPECT_EQ(decode("???").height, 0);
    // A bare "#" ends the picture.
    image = decode("~#~~");
    EXPECT_EQ(image.width, 1);
}

TEST(SixelDecoder, SizesAreBounded)
{
    SixelImage image = decode("#0!4000000000~");
    EXPECT_EQ(image.width, 10'000);
    EXPECT_EQ(image.height, 6);
    EXPECT_EQ(at(image, 9'999, 5), kRed);

    std::string tall = "#0";
    for (int i = 0; i < 2000; ++i)
        tall += "~-";
    image = decode(tall);
    EXPECT_EQ(image.height, 10'000);
    EXPECT_EQ(image.width, 1);
    EXPECT_EQ(at(image, 0, 9'999), kRed);

    SixelLimits small;
    small.maxSide = 4;
    image = decode("#0!9~-~-~", small);
    EXPECT_EQ(image.width, 4);
    EXPECT_EQ(image.height, 4);

    // Definitions past the palette cap select without defining.
    small = {};
    small.maxPaletteEntries = 1;
    image = decode("#7;2;100;100;100~#5;2;0;0;0~", small);
    EXPECT_EQ(at(image, 0, 0), (Pixel{255, 255, 255, 255}));
    EXPECT_EQ(at(image, 1, 0), (Pixel{0x12, 0x56, 0x9A, 255}));
}

class RecordingDelegate : public TerminalDelegate {
public:
    struct Picture {
        std::vector<uint8_t> rgba;
        int width;
        int height;
    };
    void send(Terminal&, std::span<const uint8_t>) override {}
    void createImageFromBitmap(Terminal&, std::vector<uint8_t>& rgba, int width, int height) override
    {
        pictures.push_back({rgba, width, height});
    }
    std::vector<Picture> pictures;
};

TEST(SixelDcsHandler, PicturesReachTheDelegate)
{
    RecordingDelegate delegate;
    Terminal terminal(&delegate);
    // Without the graphics protocols the string is ignored.
    terminal.feed("\x1bPq#0;2;0;100;0~\x1b\\");
    EXPECT_TRUE(delegate.pictures.empty());

    TerminalKittyGraphics::attach(terminal);
    terminal.feed("\x1bP0;1;0q\"1;1;1;6#0;2;0;100;0~\x1b\\after");
    ASSERT_EQ(delegate.pictures.size(), 1u);
    EXPECT_EQ(delegate.pictures[0].width, 1);
    EXPECT_EQ(delegate.pictures[0].height, 6);
    EXPECT_EQ(delegate.pictures[0].rgba[1], 255);
    EXPECT_EQ(terminal.getCharacter(0, 0), "a");

    // An empty picture is still handed over; a cancelled string is not.
    terminal.feed("\x1bPq\x1b\\");
    ASSERT_EQ(delegate.pictures.size(), 2u);
    EXPECT_EQ(delegate.pictures[1].width, 0);
    terminal.feed("\x1bPq#0~\x1a");
    EXPECT_EQ(delegate.pictures.size(), 2u);
    // DECRQSS still answers its own strings.
    terminal.feed("\x1bP$qm\x1b\\");
    EXPECT_EQ(delegate.pictures.size(), 2u);
}

TEST(SixelDcsHandler, PayloadOverTheCapIsDropped)
{
    RecordingDelegate delegate;
    Terminal terminal(&delegate);
    SixelLimits limits;
    limits.maxPayload = 8;
    SixelDcsHandler handler(terminal, limits);
    const std::string_view first = "#0~~~";
    const std::string_view second = "~~~~";
    handler.hook({}, {}, 'q');
    handler.put({reinterpret_cast<const uint8_t*>(first.data()), first.size()});
    handler.unhook();
    ASSERT_EQ(delegate.pictures.size(), 1u);
    EXPECT_EQ(delegate.pictures[0].width, 3);

    handler.hook({}, {}, 'q');
    handler.put({reinterpret_cast<const uint8_t*>(first.data()), first.size()});
    handler.put({reinterpret_cast<const uint8_t*>(second.data()), second.size()});
    handler.unhook();
    EXPECT_EQ(delegate.pictures.size(), 1u);
}

}  // namespace
}  // namespace ravelgrid
