#include "KittyScreenSupport.h"

#include <algorithm>
#include <set>

namespace ravelgrid {
namespace {

using namespace kittytest;

class KittyDeletion : public KittyScreen {
protected:
    // Places image `id` with placement `p` at (col, row), `cols` by `rows`, keeping the cursor.
    void place(uint32_t id, uint32_t p, int col, int row, int cols = 1, int rows = 1, int z = 0)
    {
        if (!state().imagesById.contains(id))
            store(id);
        cursorTo(col, row);
        command("a=p,q=1,C=1,i=" + std::to_string(id) + ",p=" + std::to_string(p) + ",c=" + std::to_string(cols) +
                ",r=" + std::to_string(rows) + ",z=" + std::to_string(z));
    }
    std::set<uint32_t> placedIds()
    {
        std::set<uint32_t> ids;
        for (const Placed& p : cells())
            ids.insert(*p.cell->kittyImageId);
        for (const auto& [key, record] : state().placementsByKey)
            ids.insert(key.imageId);
        return ids;
    }
    std::set<uint32_t> storedIds()
    {
        std::set<uint32_t> ids;
        for (const auto& [id, image] : state().imagesById)
            ids.insert(id);
        return ids;
    }
};

TEST_F(KittyDeletion, MissingKeysAreErrors)
{
    place(1, 1, 0, 0);
    const std::pair<const char*, const char*> cases[] = {
        {"a=d,d=i", "EINVAL: missing image id"},
        {"a=d,d=N", "EINVAL: missing image number"},
        {"a=d,d=p,x=0,y=3", "EINVAL: missing cell position"},
        {"a=d,d=Q,x=2", "EINVAL: missing cell position"},
        {"a=d,d=x", "EINVAL: missing column"},
        {"a=d,d=Y,y=-1", "EINVAL: missing row"},
        {"a=d,d=r,x=3", "EINVAL: missing id range"},
        {"a=d,d=f", "EINVAL: unsupported delete"},
        {"a=D,d=1", "EINVAL: unsupported delete"},
    };
    for (const auto& [keys, error] : cases) {
        command(keys);
        EXPECT_EQ(reply(), "\x1b_G;" + std::string(error) + "\x1b\\") << keys;
    }
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{1}));
    command("a=d,d=i,i=1");
    EXPECT_EQ(reply(), "") << "a delete that works says nothing";
    EXPECT_TRUE(placedIds().empty());
}

TEST_F(KittyDeletion, AllVisibleAndFreeingImages)
{
    place(1, 1, 0, 0);
    store(3);
    command("a=p,q=1,i=3,U=1");
    place(2, 1, 3, 4, 1, 2);
    store(4);
    // Scroll placement 1 into the scrollback: "a" keeps it.
    terminal.feed("\x1b[5;1H\n\n");
    command("a=d");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{1, 3})) << "the virtual record was made on line 0, now above the screen";
    EXPECT_EQ(storedIds(), (std::set<uint32_t>{1, 2, 3, 4}));

    place(2, 1, 0, 0);
    command("a=d,d=A");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{1, 3}));
    EXPECT_EQ(storedIds(), (std::set<uint32_t>{1, 3})) << "2 and the never placed 4 are freed";
}

TEST_F(KittyDeletion, ByIdNumberAndRange)
{
    for (uint32_t id = 2; id <= 10; ++id)
        place(id, 1, static_cast<int>(id) - 2, 0);
    place(5, 2, 0, 1);
    command("a=d,d=i,i=5,p=2");
    const std::vector<uint32_t> shown = shownIds();
    EXPECT_TRUE(std::find(shown.begin(), shown.end(), 5) != shown.end());
    EXPECT_FALSE(state().placementsByKey.contains({5, 2}));
    command("a=d,d=r,x=9,y=3");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{2, 10}));
    EXPECT_EQ(storedIds().size(), 9u) << "lower case keeps the images";

    command("a=t,q=1,I=77,s=1,v=1", "/wAA/w==");
    const uint32_t numbered = state().imageNumbers.at(77);
    cursorTo(0, 2);
    command("a=p,q=1,I=77,p=1,C=1");
    command("a=d,d=N,I=77");
    EXPECT_FALSE(state().imagesById.contains(numbered));
    EXPECT_FALSE(state().imageNumbers.contains(77));
    // An unknown number deletes nothing but still frees.
    command("a=d,d=N,I=78");
    EXPECT_EQ(storedIds(), (std::set<uint32_t>{2, 10}));

    command("a=d,d=I,i=10");
    EXPECT_EQ(storedIds(), (std::set<uint32_t>{2}));
}

TEST_F(KittyDeletion, ByPosition)
{
    place(1, 1, 2, 1, 3, 2, 5);   // columns 2-4, rows 1-2, z 5
    place(2, 1, 4, 2, 2, 1, -1);  // columns 4-5, row 2, z -1
    place(3, 1, 8, 0);
    store(4);
    command("a=p,q=1,i=4,p=1,U=1,c=2,r=1");  // virtual at the cursor, (8, 0)

    cursorTo(5, 2);
    command("a=d,d=c");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{1, 3, 4}));

    command("a=d,d=q,x=3,y=2,z=4");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{1, 3, 4})) << "z-index differs";
    command("a=d,d=q,x=3,y=2,z=5");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{3, 4}));

    command("a=d,d=x,x=10");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{3})) << "the virtual record spans columns 8-9";
    command("a=d,d=y,y=2");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{3}));
    command("a=d,d=p,x=9,y=1");
    EXPECT_TRUE(placedIds().empty());
}

TEST_F(KittyDeletion, ByCellTakesEveryLineOfThePlacement)
{
    place(1, 1, 0, 2, 2, 3);             // lines 2-4
    terminal.feed("\x1b[5;1H\n\n\n\n");  // its first two lines leave the screen
    ASSERT_EQ(cells().size(), 3u);
    command("a=d,d=p,x=1,y=1");
    EXPECT_TRUE(cells().empty());
    EXPECT_TRUE(state().placementsByKey.empty());
}

TEST_F(KittyDeletion, ByZIndexOnBothBuffers)
{
    place(1, 1, 0, 0, 1, 1, 7);
    terminal.feed("\x1b[?1047h");
    place(2, 1, 0, 0, 1, 1, 7);
    place(3, 1, 1, 0, 1, 1, 6);
    command("a=d,d=z,z=7");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{3}));
    EXPECT_TRUE(cells(*terminal.normalBuffer).empty());
}

TEST_F(KittyDeletion, AlternateScreenCleanUp)
{
    place(1, 1, 0, 0);
    store(5);
    terminal.feed("\x1b[?1049h");
    place(2, 1, 0, 0);
    store(3);
    command("a=p,q=1,i=3,U=1");
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{1, 2, 3}));

    terminal.feed("\x1b[?1049l");
    EXPECT_TRUE(cells(*terminal.altBuffer).empty());
    EXPECT_EQ(placedIds(), (std::set<uint32_t>{1}));
    EXPECT_EQ(storedIds(), (std::set<uint32_t>{1})) << "images only the alternate screen used are freed";

    // Entering again clears what was left there.
    terminal.feed("\x1b[?1047h");
    place(1, 2, 0, 0);
    terminal.feed("\x1b[?1047l\x1b[?1047h");
    EXPECT_TRUE(cells(*terminal.altBuffer).empty());
    EXPECT_EQ(storedIds(), (std::set<uint32_t>{1}));
}

TEST_F(KittyDeletion, ResetAndFullErase)
{
    place(1, 1, 0, 0);
    command("a=p,q=1,i=1,U=1");
    terminal.feed("\x1b[2J");
    EXPECT_TRUE(cells().empty());
    EXPECT_TRUE(state().imagesById.empty());
    EXPECT_TRUE(state().placementsByKey.empty());
    EXPECT_EQ(state().totalImageBytes, 0);
    EXPECT_EQ(state().nextImageAccessTick, 1u);

    place(2, 1, 0, 0);
    command("a=t,q=1,I=9,s=1,v=1", "/wAA/w==");
    terminal.feed("\x1b"
                  "c");
    EXPECT_TRUE(cells().empty());
    EXPECT_TRUE(state().imagesById.empty());
    // Ids handed out before go on after a reset.
    command("a=t,I=1,s=1,v=1", "/wAA/w==");
    EXPECT_EQ(reply(), "\x1b_Gi=2,I=1;OK\x1b\\");
}

TEST(KittyEviction, UnreferencedImagesGoFirstOldestFirst)
{
    TerminalOptions options = KittyScreen::options();
    options.kittyImageCacheLimitBytes = 10 * 10 * 4 * 2;
    ScreenDelegate delegate;
    Terminal terminal(&delegate, options);
    TerminalKittyGraphics& kitty = TerminalKittyGraphics::attach(terminal);
    const std::string image = base64(std::string(400, '\x10'));
    auto transmit = [&](int id, const char* action) {
        terminal.feed("\x1b_Ga=" + std::string(action) + ",q=2,c=1,r=1,s=10,v=10,i=" + std::to_string(id) + ";" +
                      image + "\x1b\\");
    };
    transmit(1, "T");  // shown
    transmit(2, "t");
    transmit(3, "t");
    EXPECT_FALSE(kitty.state().imagesById.contains(2));
    EXPECT_TRUE(kitty.state().imagesById.contains(1));
    transmit(4, "t");
    EXPECT_FALSE(kitty.state().imagesById.contains(3));
    EXPECT_TRUE(kitty.state().imagesById.contains(1));
    // Touching an image makes it the newest.
    terminal.feed("\x1b_Ga=p,q=2,i=4,c=1,r=1\x1b\\");
    transmit(5, "T");
    EXPECT_FALSE(kitty.state().imagesById.contains(1)) << "all shown now: the least recently used goes";
    EXPECT_TRUE(kitty.state().imagesById.contains(4));
    EXPECT_EQ(kitty.state().totalImageBytes, 800);
    // Its cells stay, but a put finds nothing.
    terminal.feed("\x1b_Ga=p,i=1\x1b\\");
    EXPECT_EQ(delegate.sent, "\x1b_Gi=1;ENOENT: image not found\x1b\\");
}

}  // namespace
}  // namespace ravelgrid
