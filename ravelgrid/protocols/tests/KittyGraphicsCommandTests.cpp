#include "ravelgrid/protocols/KittyGraphics.h"

#include "KittyTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ravelgrid {
namespace {

using namespace kittytest;

struct Placement {
    KittyGraphicsControl control;
    std::optional<uint32_t> imageId;
    std::optional<uint32_t> imageNumber;
    size_t byteSize;
};

class FakeHost : public KittyGraphicsHost {
public:
    void kittySendResponse(std::string_view bytes) override { replies.emplace_back(bytes); }
    bool kittySend8bit() const override { return send8bit; }
    std::optional<bool> kittyRequestTrust(std::function<void()>) override { return trusted; }
    int64_t kittyImageCacheLimitBytes() const override { return cacheLimit; }
    bool kittyPlaceImage(const KittyGraphicsPayload& payload, const KittyGraphicsControl& control,
                         std::optional<uint32_t> imageId, std::optional<uint32_t> imageNumber) override
    {
        placements.push_back({control, imageId, imageNumber, payload.byteSize()});
        return placeSucceeds;
    }
    void kittyDelete(const KittyGraphicsControl& control) override { deletes.push_back(control); }
    void kittyCollectCellImageIds(std::unordered_set<uint32_t>& ids) const override
    {
        ids.insert(cellIds.begin(), cellIds.end());
    }

    std::vector<std::string> replies;
    std::vector<Placement> placements;
    std::vector<KittyGraphicsControl> deletes;
    std::unordered_set<uint32_t> cellIds;
    bool send8bit = false;
    bool trusted = false;
    bool placeSucceeds = true;
    int64_t cacheLimit = 335544320;
};

// Base64 of one red RGBA pixel.
const std::string kPixel = "/wAA/w==";

class KittyGraphicsCommands : public ::testing::Test {
protected:
    void send(std::string_view body)
    {
        const auto bytes = bytesOf(body);
        graphics.kittyGraphicsCommand(bytes);
    }
    // Replies with the 7-bit framing checked and removed.
    std::vector<std::string> texts()
    {
        std::vector<std::string> out;
        for (const auto& r : host.replies) {
            EXPECT_TRUE(r.starts_with("\x1b_") && r.ends_with("\x1b\\")) << r;
            out.push_back(r.substr(2, r.size() - 4));
        }
        host.replies.clear();
        return out;
    }
    using Texts = std::vector<std::string>;

    FakeHost host;
    KittyGraphics graphics{host};
    KittyGraphicsState& state = graphics.state();
};

TEST_F(KittyGraphicsCommands, QueryDecodesButStoresNothing)
{
    send("a=q,i=31,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), Texts{"Gi=31;OK"});
    send("a=q,i=31,s=1,v=1;AAAA");
    EXPECT_EQ(texts(), Texts{"Gi=31;EINVAL: bad payload"});
    send("a=q,I=4,p=2,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), Texts{"GI=4,p=2;OK"});
    EXPECT_TRUE(state.imagesById.empty());

    // A query never reads a medium, whatever "t" says.
    host.trusted = true;
    send("a=q,i=1,t=f;" + base64("/proc/self/status"));
    EXPECT_EQ(texts(), Texts{"Gi=1;EINVAL: bad payload"});
}

TEST_F(KittyGraphicsCommands, NumbersGetFreshIds)
{
    send("a=t,I=7,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), Texts{"Gi=1,I=7;OK"});
    send("a=t,I=7,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), Texts{"Gi=2,I=7;OK"});
    EXPECT_EQ(state.imageNumbers.at(7), 2u);
    EXPECT_EQ(state.imagesById.size(), 2u);
}

TEST_F(KittyGraphicsCommands, CounterSkipsIdsInUseAndZero)
{
    send("a=t,i=1,s=1,v=1;" + kPixel);
    send("a=t,I=7,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), (Texts{"Gi=1;OK", "Gi=2,I=7;OK"})) << "the client's image 1 must not be replaced";

    state.nextImageId = 0xFFFFFFFF;
    send("a=t,I=8,s=1,v=1;" + kPixel);
    send("a=t,I=9,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), (Texts{"Gi=4294967295,I=8;OK", "Gi=3,I=9;OK"}));
}

TEST_F(KittyGraphicsCommands, TransmitWithoutIdentifiers)
{
    send("a=t,s=1,v=1;" + kPixel);
    EXPECT_TRUE(host.replies.empty());
    EXPECT_TRUE(state.imagesById.empty());

    send("a=T,s=1,v=1;" + kPixel);
    EXPECT_TRUE(host.replies.empty());
    EXPECT_TRUE(state.imagesById.empty());
    ASSERT_EQ(host.placements.size(), 1u);
    EXPECT_FALSE(host.placements[0].imageId);
}

TEST_F(KittyGraphicsCommands, IdAndNumberAreMutuallyExclusive)
{
    send("a=t,i=5,I=6,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), Texts{"Gi=5;EINVAL: i and I are mutually exclusive"});
    EXPECT_TRUE(state.imagesById.empty());
}

TEST_F(KittyGraphicsCommands, RetransmissionReplacesAndRecountsBytes)
{
    send("a=t,i=5,s=1,v=1;" + kPixel);
    EXPECT_EQ(state.totalImageBytes, 4);
    send("a=t,i=5,f=24,s=2,v=1;" + base64(std::string(6, 'x')));
    EXPECT_EQ(state.totalImageBytes, 8);
    EXPECT_EQ(state.imagesById.size(), 1u);
    send("a=t,i=5,s=2,v=2;AAAA");
    EXPECT_EQ(texts(), (Texts{"Gi=5;OK", "Gi=5;OK", "Gi=5;EINVAL: bad payload"}));
    EXPECT_EQ(state.totalImageBytes, 8) << "a rejected transmission leaves the store alone";
}

TEST_F(KittyGraphicsCommands, TransmitAndPlace)
{
    send("a=T,i=3,p=4,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), Texts{"Gi=3,p=4;OK"});
    ASSERT_EQ(host.placements.size(), 1u);
    EXPECT_EQ(host.placements[0].imageId, 3u);

    host.placeSucceeds = false;
    send("a=T,i=6,s=1,v=1;" + kPixel);
    EXPECT_TRUE(host.replies.empty()) << "a failed placement has replied itself";
    EXPECT_TRUE(state.imagesById.contains(6)) << "the image stays stored";
}

TEST_F(KittyGraphicsCommands, PutResolvesNumberThenIdAndStampsTheImage)
{
    send("a=t,I=7,s=1,v=1;" + kPixel);
    send("a=t,i=9,s=1,v=1;" + kPixel);
    texts();
    const uint64_t before = state.imagesById.at(1).lastAccessTick;

    send("a=p,I=7,p=2");
    send("a=p,i=9");
    send("a=p,I=8,i=9");
    send("a=p,i=10");
    send("a=p,I=8");
    EXPECT_EQ(texts(), (Texts{"Gi=1,I=7,p=2;OK", "Gi=9;OK", "Gi=9;OK", "Gi=10;ENOENT: image not found",
                              "GI=8;ENOENT: image not found"}));
    EXPECT_GT(state.imagesById.at(1).lastAccessTick, before);
    ASSERT_EQ(host.placements.size(), 3u);
    EXPECT_EQ(host.placements[0].imageNumber, 7u);
    EXPECT_FALSE(host.placements[2].imageNumber) << "resolved through i, so no number";
}

TEST_F(KittyGraphicsCommands, UnsupportedActionsAreCaseSensitive)
{
    send("a=x,i=2");
    send("a=Q,I=3");
    send("a=P");
    EXPECT_EQ(texts(), (Texts{"Gi=2;EINVAL: unsupported action", "GI=3;EINVAL: unsupported action",
                              "G;EINVAL: unsupported action"}));
}

TEST_F(KittyGraphicsCommands, QuietLevels)
{
    send("a=t,i=1,q=1,s=1,v=1;" + kPixel);
    send("a=t,i=1,q=1;AAAA");
    send("a=t,i=1,q=2;AAAA");
    send("a=t,i=1,q=2,s=1,v=1;" + kPixel);
    send("a=t,i=1,q=-1;AAAA");
    EXPECT_EQ(texts(), Texts{"Gi=1;EINVAL: bad payload"});
}

TEST_F(KittyGraphicsCommands, RepliesInEightBitControls)
{
    host.send8bit = true;
    send("a=t,i=1,s=1,v=1;" + kPixel);
    ASSERT_EQ(host.replies.size(), 1u);
    EXPECT_EQ(host.replies[0], "\x9fGi=1;OK\x9c");
}

TEST_F(KittyGraphicsCommands, ChunksJoinUnderTheFirstChunksKeys)
{
    const std::string data = base64(std::string(16, '\x7f'));
    send("a=T,i=4,q=1,s=2,v=2,m=1;" + data.substr(0, 8));
    send("m=1,q=0,i=99;" + data.substr(8, 12));
    EXPECT_FALSE(state.imagesById.contains(4));
    send("m=0,q=0;" + data.substr(20));
    EXPECT_TRUE(host.replies.empty()) << "q=1 of the first chunk silences the OK";
    ASSERT_EQ(host.placements.size(), 1u);
    EXPECT_EQ(host.placements[0].imageId, 4u);
    EXPECT_EQ(host.placements[0].byteSize, 16u);
    EXPECT_FALSE(state.pending);
    EXPECT_FALSE(state.imagesById.contains(99));
}

TEST_F(KittyGraphicsCommands, ChunksPaddedOneByOneStillJoin)
{
    send("a=t,i=2,f=24,s=1,v=2,m=1;" + base64("abc") + base64("d"));
    send("m=0;" + base64("ef"));
    EXPECT_EQ(texts(), Texts{"Gi=2;OK"});
}

TEST_F(KittyGraphicsCommands, DeleteAbandonsAPendingTransfer)
{
    send("a=t,i=3,s=1,v=1,m=1;/wAA");
    ASSERT_TRUE(state.pending);
    send("a=d,d=i,i=3");
    EXPECT_FALSE(state.pending);
    ASSERT_EQ(host.deletes.size(), 1u);
    // The orphaned last chunk stands alone now.
    send("m=0;/w==");
    EXPECT_EQ(texts(), Texts{"G;EINVAL: bad payload"});
    EXPECT_TRUE(state.imagesById.empty());
}

TEST_F(KittyGraphicsCommands, OversizedChunkedTransferIsAbandonedWithBoundedMemory)
{
    graphics.setPendingLimit(1000);
    const std::string chunk(300, 'A');
    for (int i = 0; i < 3; ++i)
        send("a=t,i=9,s=10,v=10,m=1;" + chunk);
    EXPECT_TRUE(host.replies.empty());
    for (int i = 0; i < 50; ++i) {
        send("m=1;" + chunk);
        ASSERT_TRUE(state.pending);
        ASSERT_LE(state.pending->base64Payload.capacity(), 1000u);
    }
    EXPECT_EQ(texts(), Texts{"Gi=9;EINVAL: bad payload"}) << "one error, when the cap is passed";
    EXPECT_TRUE(state.pending->base64Payload.empty());
    send("m=0;" + chunk);
    EXPECT_TRUE(host.replies.empty()) << "the rest of the transfer is swallowed";
    EXPECT_FALSE(state.pending);
    EXPECT_TRUE(state.imagesById.empty());

    // The next transfer starts clean.
    send("a=t,i=1,s=1,v=1,m=1;/wAA");
    send("m=0;/w==");
    EXPECT_EQ(texts(), Texts{"Gi=1;OK"});
}

TEST_F(KittyGraphicsCommands, EvictsUnreferencedOldestFirst)
{
    host.cacheLimit = 1000;
    const std::string image800 = base64(std::string(800, 'x'));
    send("a=t,i=1,s=10,v=20;" + image800);
    send("a=t,i=2,s=10,v=20;" + image800);
    EXPECT_EQ(texts(), (Texts{"Gi=1;OK", "Gi=2;OK"}));
    EXPECT_FALSE(state.imagesById.contains(1));
    EXPECT_TRUE(state.imagesById.contains(2));
    EXPECT_EQ(state.totalImageBytes, 800);

    // A referenced image goes only after the unreferenced ones.
    host.cacheLimit = 2000;
    host.cellIds = {2};
    send("a=t,i=3,s=10,v=20;" + image800);
    host.cacheLimit = 1700;
    send("a=t,i=4,s=10,v=5;" + base64(std::string(200, 'x')));
    EXPECT_TRUE(state.imagesById.contains(2));
    EXPECT_FALSE(state.imagesById.contains(3));
    EXPECT_EQ(state.totalImageBytes, 1000);

    // Even a referenced image goes before the one just stored.
    host.cacheLimit = 1000;
    send("a=t,I=77,s=10,v=20;" + image800);
    ASSERT_TRUE(state.imageNumbers.contains(77));
    EXPECT_TRUE(state.imagesById.contains(state.imageNumbers.at(77)));
    EXPECT_FALSE(state.imagesById.contains(4));
    EXPECT_FALSE(state.imagesById.contains(2));
    EXPECT_EQ(state.totalImageBytes, 800);
}

TEST_F(KittyGraphicsCommands, ImageLargerThanTheCacheIsRefused)
{
    host.cacheLimit = 1000;
    send("a=t,i=1,s=1,v=1;" + kPixel);
    send("a=T,i=1,s=10,v=30;" + base64(std::string(1200, 'x')));
    EXPECT_EQ(texts(), (Texts{"Gi=1;OK", "Gi=1;EFBIG: image larger than the cache limit"}));
    EXPECT_EQ(state.imagesById.at(1).byteSize, 4u) << "the old image stays";
    EXPECT_TRUE(host.placements.empty());

    host.cacheLimit = -5;
    send("a=t,i=2,s=1,v=1;" + kPixel);
    EXPECT_EQ(texts(), Texts{"Gi=2;EFBIG: image larger than the cache limit"});
}

}  // namespace
}  // namespace ravelgrid
