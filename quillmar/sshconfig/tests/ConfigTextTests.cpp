#include "quillmar/sshconfig/ConfigText.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace quillmar;
using ::testing::ElementsAre;

namespace {

// An overlong form is not the character it spells: "\xC0\x8A" ends no line
// and "\xE0\x80\xA0" is no space, or text from ssh or a file could split or
// blank a line that the strict checks would have refused.
TEST(ConfigText, OverlongFormsAreNeitherLineBreaksNorSpaces)
{
    EXPECT_THAT(configtext::splitAtLineBreaks("a\xC0\x8A"
                                              "b"),
                ElementsAre("a\xC0\x8A"
                            "b"));
    EXPECT_FALSE(configtext::isBlank("\xC0\xA0"));
    EXPECT_FALSE(configtext::containsWhitespace("x\xE0\x80\xA0y"));

    EXPECT_THAT(configtext::splitAtLineBreaks("a\xE2\x80\xA8"
                                              "b\xC2\x85"
                                              "c\xE2\x80\n"
                                              "d"),
                ElementsAre("a", "b", "c\xE2\x80", "d"));
    EXPECT_TRUE(configtext::isBlank("\xE3\x80\x80\t\xC2\xA0"));
    EXPECT_TRUE(configtext::containsWhitespace("x\xE2\x80\xAFy"));
}

}  // namespace
