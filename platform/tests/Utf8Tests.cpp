#include "platform/Utf8.h"
#include "platform/tests/support/Utf8Cases.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using platform::testing::encodeUtf8;
using platform::testing::kUtf8Cases;

TEST(Utf8Readers, EachCaseReadsAsTheTableSays)
{
    for (const auto& c : kUtf8Cases) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_EQ(platform::isValidUtf8(c.bytes), c.valid);
        EXPECT_EQ(platform::lenientUtf8(c.bytes), encodeUtf8(c.scalars));

        std::u32string scalars;
        for (std::size_t pos = 0; pos < c.bytes.size();)
            scalars += platform::nextUtf8Scalar(c.bytes, pos);
        EXPECT_EQ(scalars, c.scalars);

        // A well-formed text is a chain of well-formed sequences.
        std::size_t pos = 0;
        while (pos < c.bytes.size()) {
            const std::size_t n = platform::utf8SequenceLength(c.bytes.substr(pos));
            if (n == 0)
                break;
            pos += n;
        }
        EXPECT_EQ(pos == c.bytes.size(), c.valid);
    }
    EXPECT_EQ(platform::utf8SequenceLength(""), 0u);
    EXPECT_EQ(platform::utf8SequenceLength("\xE2\x82\xAC"
                                           "a"),
              3u);
}

// On any bytes the lenient text is well formed, and it is the input itself
// exactly when the input was.
TEST(Utf8Readers, LenientTextIsAlwaysValid)
{
    std::mt19937 random(20240611);
    // Mostly bytes near the edges of the ranges, where readers go wrong.
    const unsigned char pool[] = {'a',  0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0,
                                  0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 12, '\0');
        for (char& b : bytes)
            b = static_cast<char>(pool[random() % sizeof pool]);
        const std::string lenient = platform::lenientUtf8(bytes);
        ASSERT_TRUE(platform::isValidUtf8(lenient)) << ::testing::PrintToString(bytes);
        ASSERT_EQ(lenient == bytes, platform::isValidUtf8(bytes)) << ::testing::PrintToString(bytes);
    }
}

}  // namespace
