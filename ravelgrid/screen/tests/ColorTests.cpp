#include <cstdlib>

#include <gtest/gtest.h>

#include "ravelgrid/screen/Color.h"

using namespace ravelgrid;

namespace {

std::optional<Color> bytes(std::string_view s)
{
    return Color::parseColorText({reinterpret_cast<const uint8_t*>(s.data()), s.size()});
}

// Within one 8-bit step on every channel.
void expectNear8(const Color& actual, const Color& expected)
{
    EXPECT_LE(std::abs((actual.red >> 8) - (expected.red >> 8)), 1) << actual.formatted();
    EXPECT_LE(std::abs((actual.green >> 8) - (expected.green >> 8)), 1) << actual.formatted();
    EXPECT_LE(std::abs((actual.blue >> 8) - (expected.blue >> 8)), 1) << actual.formatted();
}

const Color white{0xffff, 0xffff, 0xffff};
const Color black{0, 0, 0};

}  // namespace

TEST(Color, ParseHashForms)
{
    EXPECT_EQ(Color::parse("#fff"), Color(0xf0f0, 0xf0f0, 0xf0f0));
    EXPECT_EQ(Color::parse("#ffffff"), white);
    EXPECT_EQ(Color::parse("#FFFFFFFFF"), white);
    EXPECT_EQ(Color::parse("#123456789abc"), Color(0x1234, 0x5678, 0x9abc));
    EXPECT_EQ(Color::parse("#ff8000"), Color(0xffff, 0x8080, 0x0000));
    EXPECT_EQ(Color::parse("#abcabcabc"), Color(0xabeb, 0xabeb, 0xabeb));
    EXPECT_FALSE(Color::parse("#ffff"));
    EXPECT_FALSE(Color::parse("#"));
    EXPECT_FALSE(Color::parse("#ggg"));
}

TEST(Color, ParseRgbFormsScaleEachFieldToTheFullRange)
{
    EXPECT_EQ(Color::parse("rgb:f/f/f"), white);
    EXPECT_EQ(Color::parse("rgb:fff/fff/fff"), white);
    EXPECT_EQ(Color::parse("rgb:f/ff/fff"), white);
    EXPECT_EQ(Color::parse("rgb:ff/00/80"), Color(0xffff, 0x0000, 0x8080));
    EXPECT_EQ(Color::parse("rgb:ffff/0/8000"), Color(0xffff, 0x0000, 0x8000));
    EXPECT_EQ(Color::parse("rgb:8/80/800"), Color(0x8888, 0x8080, 0x8008));
    EXPECT_FALSE(Color::parse("rgb:ffff/ffff"));
    EXPECT_FALSE(Color::parse("rgb:1/2/3/4"));
    EXPECT_FALSE(Color::parse("rgb:12345/0/0"));
    EXPECT_FALSE(Color::parse("rgb://0"));
    EXPECT_FALSE(Color::parse("RGB:1/2/3"));
    EXPECT_FALSE(Color::parse("red"));
    EXPECT_FALSE(Color::parse(""));
}

TEST(Color, ByteConversionIsLenient)
{
    EXPECT_EQ(bytes("#fgf"), Color(0xf0f0, 0x0000, 0xf0f0));
    EXPECT_EQ(bytes("rgb:ff/00"), Color(0xffff, 0x0000, 0x0000));
    EXPECT_EQ(bytes("rgb:12345/0/0"), Color(0x1234, 0x5555, 0x0000));
    EXPECT_EQ(bytes("rgb:f/f/f;trailing"), white);
    EXPECT_FALSE(bytes("rgb:"));
    EXPECT_FALSE(bytes("rgb:/x/"));
    EXPECT_FALSE(bytes("#ff"));
    EXPECT_FALSE(bytes("blue"));
}

TEST(Color, FormattedAndEightBitConstruction)
{
    EXPECT_EQ(Color(0xffff, 0x0000, 0x8080).formatted(), "rgb:ffff/0000/8080");
    EXPECT_EQ(Color::defaultForeground().formatted(), "rgb:8a3d/8a3d/8a3d");
    EXPECT_EQ(Color::fromRgb8(256, 0, 128), Color(0xffff, 0x0000, 0x8080));
    EXPECT_EQ(Color::fromRgb8(300, -4, 0x80), Color(0xffff, 0, 0x8080));
}

TEST(Color, TablesHoldTheirSets)
{
    EXPECT_EQ(Color::defaultInstalledColors()[1], Color::fromRgb8(0xc2, 0x36, 0x21));
    EXPECT_EQ(Color::xtermColors()[12], Color::fromRgb8(0x5c, 0x5c, 0xff));
    EXPECT_EQ(Color::vgaColors()[3], Color::fromRgb8(0xaa, 0x55, 0x00));
    EXPECT_EQ(Color::paleColors()[15], Color::fromRgb8(0xee, 0xee, 0xec));
    EXPECT_EQ(Color::terminalAppColors()[8], Color::fromRgb8(0x8a, 0x89, 0x8a));
}

TEST(Color, XtermStrategy)
{
    const auto& installed = Color::defaultInstalledColors();
    const auto palette = Color::appendXtermCube({installed.begin(), installed.end()});
    ASSERT_EQ(palette.size(), 256u);
    EXPECT_EQ(palette[1], installed[1]);
    EXPECT_EQ(palette[16], black);
    EXPECT_EQ(palette[21], Color(0, 0, 0xffff));
    EXPECT_EQ(palette[52], Color::fromRgb8(95, 0, 0));
    EXPECT_EQ(palette[231], white);
    EXPECT_EQ(palette[232], Color(0x0808, 0x0808, 0x0808));
    EXPECT_EQ(palette[255], Color(0xeeee, 0xeeee, 0xeeee));
}

TEST(Color, LabRoundTripStaysWithinOneStep)
{
    for (const Color& c : Color::defaultInstalledColors())
        expectNear8(Color::fromLab(Color::toLab(c)), c);
    const auto labWhite = Color::toLab(white);
    EXPECT_NEAR(labWhite.l, 100.0, 0.01);
    EXPECT_NEAR(labWhite.a, 0.0, 0.01);
    EXPECT_NEAR(Color::toLab(black).l, 0.0, 0.01);
}

TEST(Color, LabStrategiesOnALightBackground)
{
    const auto& installed = Color::defaultInstalledColors();
    const auto lab = Color::build256Palette(installed, white, black, false);
    ASSERT_EQ(lab.size(), 256u);
    expectNear8(lab[16], black);  // the cube always runs dark to light
    expectNear8(lab[231], white);
    EXPECT_LT(Color::toLab(lab[232]).l, Color::toLab(lab[255]).l);

    const auto harmonious = Color::build256Palette(installed, white, black, true);
    expectNear8(harmonious[16], white);  // follows the background
    expectNear8(harmonious[231], black);
    EXPECT_GT(Color::toLab(harmonious[232]).l, Color::toLab(harmonious[255]).l);
}

TEST(Color, LabStrategyCornersComeFromTheInstalledColours)
{
    const auto& installed = Color::xtermColors();
    const auto lab = Color::build256Palette(installed, std::nullopt, std::nullopt, false);
    expectNear8(lab[16 + 5 * 36], installed[1]);  // pure red corner
    expectNear8(lab[16 + 5 * 6], installed[2]);   // pure green corner
    expectNear8(lab[16 + 5], installed[4]);       // pure blue corner
    const Color few[] = {black, white, black, white};
    EXPECT_EQ(Color::build256Palette(few, white, black, false).size(), 4u);
}
