#include "ravelgrid/protocols/TerminalKittyGraphics.h"

#include "ravelgrid/terminal/Terminal.h"

#include "KittyTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace ravelgrid {
namespace {

using namespace kittytest;

class RecordingDelegate : public TerminalDelegate {
public:
    void send(Terminal&, std::span<const uint8_t> data) override { sent.append(data.begin(), data.end()); }
    bool isProcessTrusted(Terminal&) override { return trusted; }
    std::string sent;
    bool trusted = false;
};

class TerminalKittyGraphicsTest : public ::testing::Test {
protected:
    TerminalKittyGraphicsTest() { TerminalKittyGraphics::attach(terminal); }
    std::string reply()
    {
        std::string r = delegate.sent;
        delegate.sent.clear();
        return r;
    }
    KittyGraphicsState& state() { return TerminalKittyGraphics::of(terminal)->state(); }

    RecordingDelegate delegate;
    Terminal terminal{&delegate};
};

TEST_F(TerminalKittyGraphicsTest, ApcStringsReachTheStoreAndRepliesTheChild)
{
    terminal.feed("\x1b_Ga=t,i=1,s=1,v=1;/wAA/w==\x1b\\");
    EXPECT_EQ(reply(), "\x1b_Gi=1;OK\x1b\\");
    EXPECT_TRUE(state().imagesById.contains(1));

    // Text around the string is printed, not swallowed.
    terminal.feed("ab\x1b_Ga=x\x1b\\cd");
    EXPECT_EQ(reply(), "\x1b_G;EINVAL: unsupported action\x1b\\");
    EXPECT_EQ(terminal.getCharacter(2, 0), "c");
}

TEST_F(TerminalKittyGraphicsTest, ChunksSplitAcrossFeeds)
{
    const std::string data = base64(std::string(16, '\x40'));
    const std::string stream =
        "\x1b_Ga=t,i=7,s=2,v=2,m=1;" + data.substr(0, 12) + "\x1b\\\x1b_Gm=0;" + data.substr(12) + "\x1b\\";
    for (char c : stream)
        terminal.feed(std::string_view(&c, 1));
    EXPECT_EQ(reply(), "\x1b_Gi=7;OK\x1b\\");
    ASSERT_TRUE(state().imagesById.contains(7));
    EXPECT_EQ(state().imagesById.at(7).byteSize, 16u);
}

TEST_F(TerminalKittyGraphicsTest, EightBitReplies)
{
    terminal.feed("\x1b G");  // S8C1T
    terminal.feed("\x1b_Ga=t,i=2,s=1,v=1;/wAA/w==\x1b\\");
    EXPECT_EQ(reply(), "\x9fGi=2;OK\x9c");
    terminal.feed("\x1b F");  // S7C1T
    terminal.feed("\x1b_Ga=q,i=2;AAAA\x1b\\");
    EXPECT_EQ(reply(), "\x1b_Gi=2;EINVAL: bad payload\x1b\\");
}

TEST_F(TerminalKittyGraphicsTest, TrustComesFromTheDelegate)
{
    TempDir dir;
    const std::string path = dir.file("tty-graphics-protocol-a");
    {
        std::ofstream(path, std::ios::binary).write("\x01\x02\x03\xff", 4);
    }
    const std::string command = "\x1b_Ga=t,i=3,t=t,s=1,v=1;" + base64(path) + "\x1b\\";
    terminal.feed(command);
    EXPECT_EQ(reply(), "\x1b_Gi=3;ENOTSUP: unsupported transmission\x1b\\");
    EXPECT_TRUE(std::filesystem::exists(path));

    delegate.trusted = true;
    terminal.feed(command);
    EXPECT_EQ(reply(), "\x1b_Gi=3;OK\x1b\\");
    EXPECT_FALSE(std::filesystem::exists(path));

    // Without a delegate nothing is trusted and nothing is sent.
    terminal.setDelegate(nullptr);
    terminal.feed("\x1b_Ga=t,i=4,t=f,s=1,v=1;" + base64("/etc/hostname") + "\x1b\\");
    EXPECT_FALSE(state().imagesById.contains(4));
}

TEST_F(TerminalKittyGraphicsTest, CacheLimitComesFromTheOptions)
{
    TerminalOptions options;
    options.kittyImageCacheLimitBytes = 6;
    terminal.setOptions(options);
    terminal.feed("\x1b_Ga=t,i=1,s=1,v=1;/wAA/w==\x1b\\");
    terminal.feed("\x1b_Ga=t,i=2,s=1,v=1;/wAA/w==\x1b\\");
    terminal.feed("\x1b_Ga=t,i=3,s=2,v=1;" + base64(std::string(8, 'x')) + "\x1b\\");
    EXPECT_EQ(reply(), "\x1b_Gi=1;OK\x1b\\\x1b_Gi=2;OK\x1b\\\x1b_Gi=3;EFBIG: image larger than the cache limit\x1b\\");
    EXPECT_FALSE(state().imagesById.contains(1));
    EXPECT_TRUE(state().imagesById.contains(2));
}

TEST(TerminalKittyGraphicsDetached, TerminalWithoutGraphicsIgnoresTheStrings)
{
    RecordingDelegate delegate;
    Terminal terminal(&delegate);
    EXPECT_EQ(TerminalKittyGraphics::of(terminal), nullptr);
    terminal.feed("\x1b_Ga=t,i=1,s=1,v=1;/wAA/w==\x1b\\x");
    EXPECT_EQ(delegate.sent, "");
    EXPECT_EQ(terminal.getCharacter(0, 0), "x");
}

}  // namespace
}  // namespace ravelgrid
