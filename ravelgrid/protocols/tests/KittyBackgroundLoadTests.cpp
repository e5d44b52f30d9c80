// Large images are decoded off the terminal's thread while the input after
// them waits: in order, with the trust it was read with, and bounded.
#include "KittyScreenSupport.h"

#include "platform/FakeScheduler.h"

#include <chrono>
#include <memory>
#include <thread>

namespace ravelgrid {
namespace {

using namespace kittytest;
using namespace std::chrono_literals;

class TrustingDelegate : public ScreenDelegate {
public:
    bool isProcessTrusted(Terminal&) override { return trusted; }
    bool isOutputRemote(Terminal&) override { return remote; }
    std::optional<std::vector<uint8_t>> clipboardRead(Terminal&) override { return bytesOf("secret"); }
    void inputResumed(Terminal&) override { ++resumed; }
    bool trusted = true;
    bool remote = false;
    int resumed = 0;
};

// A 1024 x 1024 RGBA image (4 MiB decoded, a few KB sent) transmitted and placed.
std::string largeImage(uint32_t id)
{
    const std::vector<uint8_t> pixels(size_t{1024} * 1024 * 4, 0x7f);
    return "\x1b_Ga=T,f=32,o=z,s=1024,v=1024,c=2,r=1,i=" + std::to_string(id) + ";" +
           base64(std::span<const uint8_t>(deflateBytes(pixels))) + "\x1b\\";
}

class KittyBackgroundLoad : public ::testing::Test {
protected:
    KittyBackgroundLoad()
    {
        terminal->setScheduler(&clock);
        terminal->setBackgroundWorkAllowed(true);
        TerminalKittyGraphics::attach(*terminal);
    }

    // Lets the worker finish and the terminal's thread take its result.
    bool settle()
    {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (terminal->inputHeld()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(1ms);
            clock.advance(Terminal::heldPollNs);
        }
        return true;
    }

    std::string row(int y) { return terminal->translateBufferLineToString(*terminal->buffer, y, 0, -1); }
    std::string screen()
    {
        std::string text;
        for (int y = 0; y < terminal->rows; ++y)
            text += row(terminal->buffer->yBase() + y) + "\n";
        return text;
    }
    KittyGraphicsState& state() { return TerminalKittyGraphics::of(*terminal)->state(); }

    platform::FakeScheduler clock;
    TrustingDelegate delegate;
    std::unique_ptr<Terminal> terminal = std::make_unique<Terminal>(&delegate, KittyScreen::options());
};

TEST_F(KittyBackgroundLoad, LaterInputWaitsForTheImageAndKeepsItsOrder)
{
    terminal->feed(largeImage(1) + "after\x1b_Ga=q,f=24,s=1,v=1,i=9;" + base64(std::string(3, 'x')) + "\x1b\\");
    EXPECT_TRUE(terminal->inputHeld());
    EXPECT_EQ(screen().find("after"), std::string::npos) << "nothing after the image is parsed yet";
    EXPECT_EQ(delegate.sent, "");
    terminal->feed("!");  // fed while held: waits behind the rest

    ASSERT_TRUE(settle());
    EXPECT_TRUE(state().imagesById.contains(1));
    EXPECT_EQ(delegate.sent, "\x1b_Gi=1;OK\x1b\\\x1b_Gi=9;OK\x1b\\") << "the image's reply first, as sent";
    EXPECT_NE(screen().find("after!"), std::string::npos) << screen();
    EXPECT_EQ(delegate.resumed, 1);

    // A small image needs no worker.
    terminal->feed("\x1b_Ga=t,f=24,s=1,v=1,i=2;" + base64(std::string(3, 'x')) + "\x1b\\");
    EXPECT_FALSE(terminal->inputHeld());
    EXPECT_TRUE(state().imagesById.contains(2));
}

TEST_F(KittyBackgroundLoad, HeldInputKeepsTheTrustItWasReadWith)
{
    // Read while a remote session printed; parsed after it left.
    delegate.trusted = false;
    delegate.remote = true;
    terminal->feed(largeImage(1) + "\x1b]52;c;?\x07" + "\x1b[1;1;1;1;1;1*y");
    delegate.trusted = true;
    delegate.remote = false;
    ASSERT_TRUE(settle());
    EXPECT_EQ(delegate.sent.find("]52;"), std::string::npos) << "no clipboard for the remote session";
    EXPECT_NE(delegate.sent.find("1!~0000"), std::string::npos) << "nor the screen's checksum: " << delegate.sent;

    // The same requests read now are the local shell's.
    delegate.sent.clear();
    terminal->feed("\x1b]52;c;?\x07");
    EXPECT_NE(delegate.sent.find("]52;c;c2VjcmV0"), std::string::npos) << delegate.sent;
}

TEST_F(KittyBackgroundLoad, InputPastTheBoundWaitsForTheWorkInsteadOfGrowing)
{
    terminal->feed(largeImage(1));
    ASSERT_TRUE(terminal->inputHeld());
    terminal->feed(std::string(Terminal::kMaxHeldInputBytes, 'a') + "\r\nend");
    EXPECT_FALSE(terminal->inputHeld()) << "the work was waited for";
    EXPECT_TRUE(state().imagesById.contains(1));
    EXPECT_EQ(row(terminal->buffer->y() + terminal->buffer->yBase()).substr(0, 3), "end");
}

TEST_F(KittyBackgroundLoad, ATerminalClosedWhileDecodingLetsTheWorkerFinishAlone)
{
    terminal->feed(largeImage(1) + "after");
    ASSERT_TRUE(terminal->inputHeld());
    terminal.reset();
    clock.advance(Terminal::heldPollNs * 10);  // no poll of a terminal that is gone
    std::this_thread::sleep_for(200ms);        // the worker ends on its own
}

}  // namespace
}  // namespace ravelgrid
