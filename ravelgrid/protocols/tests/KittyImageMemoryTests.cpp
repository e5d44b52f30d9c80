// How much pixel memory a client's kitty images can make a terminal hold.
#include "KittyScreenSupport.h"

#include <fstream>
#include <memory>

namespace ravelgrid {
namespace {

using namespace kittytest;

// A screen whose cache holds two 10x10 images (400 bytes each) and a bit.
class KittyImageMemory : public KittyScreen {
protected:
    KittyImageMemory()
    {
        TerminalOptions o = options();
        o.kittyImageCacheLimitBytes = 900;
        terminal.setOptions(o);
    }

    // Transmits and places a 10x10 image over 2x2 cells at the top left.
    void show(const std::string& keys)
    {
        cursorTo(0, 0);
        command("a=T,q=2,s=10,v=10,c=2,r=2," + keys, base64(std::string(400, '\x20')));
    }

    std::weak_ptr<const std::vector<uint8_t>> pixelsOf(uint32_t id)
    {
        return state().imagesById.at(id).payload.sharedBytes();
    }

    bool cellsOfDrawNothing(const std::weak_ptr<const std::vector<uint8_t>>& pixels)
    {
        for (const Placed& p : cells()) {
            if (p.cell->picture.sharedBytes() == pixels.lock() && !p.cell->picture.isEmpty())
                return false;
        }
        return pixels.expired();
    }
};

TEST_F(KittyImageMemory, EvictedImagesLetGoOfTheirPixels)
{
    show("i=1");
    const auto first = pixelsOf(1);
    const size_t cellsOfFirst = cells().size();
    show("i=2");
    show("i=3");
    ASSERT_FALSE(state().imagesById.contains(1));
    EXPECT_TRUE(cellsOfDrawNothing(first)) << "the cells of an evicted image keep no pixels";
    EXPECT_EQ(cells().size(), cellsOfFirst * 3) << "its cells stay";
    EXPECT_LE(state().pixelBytes(), 900);
    // A put still finds nothing, and the survivors draw as before.
    command("a=p,i=1");
    EXPECT_EQ(reply(), "\x1b_Gi=1;ENOENT: image not found\x1b\\");
    EXPECT_FALSE(pixelsOf(3).expired());
}

TEST_F(KittyImageMemory, PixelsOnlyCellsHoldCountToo)
{
    // Placed without an id: never stored, but shown.
    show("");
    show("");
    show("");
    EXPECT_LE(state().pixelBytes(), 900);
    size_t drawn = 0;
    for (const Placed& p : cells())
        drawn += p.cell->picture.isEmpty() ? 0 : 1;
    EXPECT_EQ(drawn, 2u * 2) << "the newest two placements (two lines each) still draw";

    // Crops make pixels of their own; so does a replaced image's old picture.
    show("i=7");
    command("a=p,q=2,i=7,p=1,c=1,r=1,x=0,y=0,w=5,h=5");
    command("a=p,q=2,i=7,p=2,c=1,r=1,x=5,y=5,w=5,h=5");
    show("i=7,p=3");
    EXPECT_LE(state().pixelBytes(), 900);
}

TEST_F(KittyImageMemory, DeclaredSizeOverTheLimitIsRefusedUnread)
{
    // Not even base64: decoding it would answer "bad payload".
    command("a=T,i=4,s=20,v=20", "!!not a payload!!");
    EXPECT_EQ(reply(), "\x1b_Gi=4;EFBIG: image larger than the cache limit\x1b\\");
    command("a=t,i=4,f=24,o=z,s=16,v=15", "!!");
    EXPECT_EQ(reply(), "\x1b_Gi=4;EFBIG: image larger than the cache limit\x1b\\");

    // Chunked: refused at the first chunk, later chunks gather nothing.
    command("a=t,i=5,s=100,v=100,m=1", "AAAA");
    EXPECT_EQ(reply(), "\x1b_Gi=5;EFBIG: image larger than the cache limit\x1b\\");
    ASSERT_TRUE(state().pending);
    command("m=1", std::string(4096, 'A'));
    EXPECT_EQ(state().pending->base64Payload.capacity(), 0u);
    command("m=0", "AAAA");
    EXPECT_EQ(reply(), "");
    EXPECT_TRUE(state().imagesById.empty());

    // Exactly at the limit's reach it is read: 15x15 RGBA is 900 bytes.
    command("a=t,q=1,i=6,s=15,v=15", base64(std::string(900, '\x01')));
    EXPECT_EQ(reply(), "");
    EXPECT_TRUE(state().imagesById.contains(6));
}

TEST_F(KittyImageMemory, InflationStopsAtTheDeclaredSize)
{
    // 400 bytes declared, a stream of a megabyte.
    const std::vector<uint8_t> bomb = deflateBytes(std::vector<uint8_t>(1 << 20, 0));
    command("a=t,i=8,s=10,v=10,o=z", base64(std::span<const uint8_t>(bomb)));
    EXPECT_EQ(reply(), "\x1b_Gi=8;EINVAL: bad payload\x1b\\");
    EXPECT_FALSE(kittyDecompressPayload(bomb, 'z', 400));
    const auto inflated = kittyDecompressPayload(deflateBytes(std::vector<uint8_t>(400, 9)), 'z', 400);
    ASSERT_TRUE(inflated);
    EXPECT_EQ(inflated->size(), 400u);
    EXPECT_EQ(inflated->capacity(), 400u) << "one buffer of the declared size";
}

// Resident pixels of five large images: bounded by the limit, not by their
// count. The decoded bytes are counted through the store; resident memory
// is read too where no sanitizer inflates it.
long residentPeakKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST(KittyImageMemoryLarge, FiveLargeImagesStayWithinTheLimit)
{
    constexpr int kSide = 3000;  // 36 MB of pixels each
    constexpr int64_t kLimit = 48ll << 20;
    TerminalOptions options = KittyScreen::options();
    options.kittyImageCacheLimitBytes = kLimit;
    ScreenDelegate delegate;
    Terminal terminal(&delegate, options);
    TerminalKittyGraphics& kitty = TerminalKittyGraphics::attach(terminal);
    const std::string packed = [] {
        std::vector<uint8_t> pixels(size_t{kSide} * kSide * 4, 0x5a);
        return base64(std::span<const uint8_t>(deflateBytes(pixels)));
    }();

    // Resets the peak so that only what follows counts.
    std::ofstream clearRefs("/proc/self/clear_refs");
    clearRefs << "5" << std::flush;
    const bool canResetPeak = static_cast<bool>(clearRefs);
    const long before = residentPeakKb();
    int64_t mostPixels = 0;
    for (int id = 1; id <= 5; ++id) {
        std::string keys = "a=T,q=2,f=32,o=z,c=4,r=2,s=" + std::to_string(kSide) + ",v=" + std::to_string(kSide) +
                           ",i=" + std::to_string(id);
        // Sent in chunks, as clients do.
        for (size_t at = 0; at < packed.size(); at += 4096) {
            const bool last = at + 4096 >= packed.size();
            terminal.feed("\x1b_G" + (at == 0 ? keys + "," : std::string()) + "m=" + (last ? "0" : "1") + ";" +
                          packed.substr(at, 4096) + "\x1b\\");
        }
        mostPixels = std::max(mostPixels, kitty.state().pixelBytes());
    }
    EXPECT_EQ(delegate.sent, "");
    EXPECT_EQ(kitty.state().imagesById.size(), 1u);
    EXPECT_LE(mostPixels, kLimit);
    if (kSanitized || !canResetPeak || before < 0)
        return;
    // The limit, one image being stored and slack; five kept would be 180 MB.
    const long grownMb = (residentPeakKb() - before) / 1024;
    EXPECT_LT(grownMb, 48 + 36 + 36) << "peak resident growth in MB";
}

}  // namespace
}  // namespace ravelgrid
