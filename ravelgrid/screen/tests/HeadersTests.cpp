#include "ravelgrid/screen/Buffer.h"
#include "ravelgrid/screen/Color.h"
#include "ravelgrid/screen/KittyKeyboardFlags.h"
#include "ravelgrid/screen/Line.h"
#include "ravelgrid/screen/SelectionHook.h"
#include "ravelgrid/screen/UnicodeUtil.h"

#include <gtest/gtest.h>

TEST(Headers, CompileTogether)
{
    EXPECT_EQ(ravelgrid::CharData::Null.width, 1);
}
