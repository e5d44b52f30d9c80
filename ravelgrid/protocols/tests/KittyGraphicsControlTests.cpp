#include "ravelgrid/protocols/KittyGraphicsControl.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace ravelgrid {
namespace {

struct ParsedText {
    KittyGraphicsControl control;
    std::string payload;
};

ParsedText parse(std::string_view text)
{
    const auto parsed = KittyGraphicsControl::parse({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    return {parsed.control, std::string(parsed.payload.begin(), parsed.payload.end())};
}

TEST(KittyGraphicsControl, SplitsControlAndPayloadAtFirstSemicolon)
{
    auto p = parse("a=T,f=100;iVBOR");
    EXPECT_EQ(p.control.action, 'T');
    EXPECT_EQ(p.control.format, 100);
    EXPECT_EQ(p.payload, "iVBOR");

    p = parse("a=T");
    EXPECT_EQ(p.control.action, 'T');
    EXPECT_EQ(p.payload, "");

    p = parse("i=3;abc;def=;");
    EXPECT_EQ(p.control.imageId, 3u);
    EXPECT_EQ(p.payload, "abc;def=;");

    p = parse(";a=p");
    EXPECT_EQ(p.control.action, 't') << "keys after the first ';' are payload";
    EXPECT_EQ(p.payload, "a=p");
}

TEST(KittyGraphicsControl, DefaultsWhenEmpty)
{
    const auto c = parse("").control;
    EXPECT_EQ(c.action, 't');
    EXPECT_EQ(c.transmission, 'd');
    EXPECT_EQ(c.format, 32);
    EXPECT_EQ(c.suppressResponses, 0);
    EXPECT_FALSE(c.imageId);
    EXPECT_FALSE(c.imageNumber);
    EXPECT_FALSE(c.placementId);
    EXPECT_FALSE(c.compression);
    EXPECT_FALSE(c.deleteMode);
}

TEST(KittyGraphicsControl, SkipsMalformedItems)
{
    auto c = parse("a=q,,=5,x,i=7").control;
    EXPECT_EQ(c.action, 'q');
    EXPECT_EQ(c.imageId, 7u);
    EXPECT_EQ(c.cropX, 0);

    // Keys and values are not trimmed.
    c = parse("a =T, i=4").control;
    EXPECT_EQ(c.action, 't');
    EXPECT_FALSE(c.imageId);

    // A non-ASCII byte discards the whole item, keeping an earlier value.
    c = parse("a=p,a=\xc3\xa9").control;
    EXPECT_EQ(c.action, 'p');

    // Values may hold '='; unknown and multi-letter keys are ignored.
    c = parse("ab=5,K=9,s=1=2,v=3").control;
    EXPECT_EQ(c.width, 0);
    EXPECT_EQ(c.height, 3);
}

TEST(KittyGraphicsControl, LastOccurrenceWinsAndKeysAreCaseSensitive)
{
    auto c = parse("a=p,a=T").control;
    EXPECT_EQ(c.action, 'T');
    c = parse("i=1,I=2,p=3,P=4,Q=5").control;
    EXPECT_EQ(c.imageId, 1u);
    EXPECT_EQ(c.imageNumber, 2u);
    EXPECT_EQ(c.placementId, 3u);
    EXPECT_EQ(c.parentImageId, 4u);
    EXPECT_EQ(c.parentPlacementId, 5u);
}

TEST(KittyGraphicsControl, IdentifierValues)
{
    for (const char* bad : {"0", "-3", "4294967296", "abc", "", "+", "1 ", " 1", "99999999999999999999999"}) {
        EXPECT_FALSE(parse(std::string("i=") + bad).control.imageId) << bad;
    }
    EXPECT_EQ(parse("i=+12").control.imageId, 12u);
    EXPECT_EQ(parse("i=4294967295").control.imageId, 4294967295u);
    EXPECT_EQ(parse("i=007").control.imageId, 7u);
}

TEST(KittyGraphicsControl, IntegerValues)
{
    EXPECT_EQ(parse("z=-5").control.zIndex, -5);
    EXPECT_EQ(parse("z=5x").control.zIndex, 0);
    EXPECT_EQ(parse("z=").control.zIndex, 0);
    EXPECT_EQ(parse("z=-").control.zIndex, 0);
    EXPECT_EQ(parse("z=+-1").control.zIndex, 0);
    EXPECT_EQ(parse("f=").control.format, 32);
    EXPECT_EQ(parse("x=9223372036854775807").control.cropX, INT64_MAX);
    EXPECT_EQ(parse("x=-9223372036854775808").control.cropX, INT64_MIN);
    EXPECT_EQ(parse("x=9223372036854775808").control.cropX, 0);
    EXPECT_EQ(parse("x=-9223372036854775809").control.cropX, 0);
}

TEST(KittyGraphicsControl, CharacterValues)
{
    EXPECT_EQ(parse("a=").control.action, 't');
    EXPECT_EQ(parse("a=pT").control.action, 'p');
    EXPECT_EQ(parse("t=").control.transmission, 'd');
    EXPECT_EQ(parse("o=z").control.compression, 'z');
    EXPECT_FALSE(parse("o=").control.compression);
    EXPECT_EQ(parse("d=I").control.deleteMode, 'I');
}

TEST(KittyGraphicsControl, OnlyDirectDataIsChunked)
{
    EXPECT_EQ(parse("m=1").control.more, 1);
    EXPECT_EQ(parse("t=d,m=1").control.more, 1);
    EXPECT_EQ(parse("m=1,t=f").control.more, 0);
    EXPECT_EQ(parse("t=t,m=1").control.more, 0);
    EXPECT_EQ(parse("t=s,m=1").control.more, 0);
}

}  // namespace
}  // namespace ravelgrid
