#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/Utf8.h"
#include "platform/tests/support/Utf8Cases.h"
#include "ravelgrid/screen/Utf8.h"

using namespace ravelgrid;

namespace {

// What the print path makes of a whole stream: an unfinished sequence left
// at the end is printed as one U+FFFD when the stream ends.
std::u32string printed(std::string_view bytes)
{
    std::u32string out;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t i = 0; i < bytes.size();) {
        char32_t c = 0;
        size_t consumed = 0;
        const auto r = utf8::decode(p + i, bytes.size() - i, c, consumed);
        out += r == utf8::Decoded::ok ? c : U'\uFFFD';
        i += consumed;
    }
    return out;
}

TEST(Utf8Readers, PrintPathDecoderReadsAsTheTableSays)
{
    for (const auto& c : platform::testing::kUtf8Cases) {
        SCOPED_TRACE(std::string(c.name));
        EXPECT_EQ(printed(c.bytes), c.scalars);
    }
}

TEST(Utf8Readers, PrintPathDecoderAgreesWithTheLenientText)
{
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes(random() % 10, '\0');
        for (char& b : bytes)
            b = static_cast<char>(random() % 4 == 0 ? 'a' : 0x80 + random() % 0x80);
        std::string text;
        for (char32_t c : printed(bytes))
            utf8::append(text, c);
        ASSERT_EQ(text, platform::lenientUtf8(bytes)) << ::testing::PrintToString(bytes);
    }
}

}  // namespace
