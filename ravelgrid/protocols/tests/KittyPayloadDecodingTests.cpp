#include "ravelgrid/protocols/Base64.h"
#include "ravelgrid/protocols/KittyGraphicsPayload.h"
#include "ravelgrid/protocols/KittyPng.h"

#include "KittyTestSupport.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RAVELGRID_TEST_ASAN 1
#endif
#endif

namespace ravelgrid {
namespace {

using namespace kittytest;

std::optional<std::vector<uint8_t>> b64(std::string_view text)
{
    const auto bytes = bytesOf(text);
    return decodeBase64(bytes);
}

KittyGraphicsControl rawControl(int64_t format, int64_t width, int64_t height)
{
    KittyGraphicsControl c;
    c.format = format;
    c.width = width;
    c.height = height;
    return c;
}

std::optional<KittyGraphicsPayload> direct(const KittyGraphicsControl& control, std::string_view text)
{
    const auto bytes = bytesOf(text);
    return kittyDecodeBase64Payload(control, bytes);
}

TEST(KittyBase64, DecodesAndSkipsForeignBytes)
{
    EXPECT_EQ(b64("/wAA/w=="), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(b64("/w\r\nAA /w\t==\n"), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(b64("-_/wAA/w==-_"), (std::vector<uint8_t>{255, 0, 0, 255})) << "URL-safe characters are skipped";
    EXPECT_EQ(b64(""), std::vector<uint8_t>{});
    EXPECT_EQ(b64("TWE="), bytesOf("Ma"));
    EXPECT_EQ(b64("TWFu"), bytesOf("Man"));
}

TEST(KittyBase64, RejectsIncompleteGroupsAndMisplacedPads)
{
    EXPECT_FALSE(b64("/wAA/w"));
    EXPECT_FALSE(b64("TWE"));
    EXPECT_FALSE(b64("T"));
    EXPECT_FALSE(b64("TW=E"));
    EXPECT_FALSE(b64("=TWE"));
    EXPECT_FALSE(b64("T==="));
}

TEST(KittyBase64, JoinsSeparatelyPaddedChunks)
{
    EXPECT_EQ(b64("TWE=TWE="), bytesOf("MaMa"));
    EXPECT_EQ(b64("TQ==TWFu"), bytesOf("MMan"));
}

TEST(KittyPayloadFormat, RawRgbaAndRgb)
{
    auto p = direct(rawControl(32, 1, 1), "/wAA/w==");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->kind(), KittyGraphicsPayload::Kind::rgba);
    EXPECT_EQ(std::vector<uint8_t>(p->bytes().begin(), p->bytes().end()), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(p->width(), 1);
    EXPECT_EQ(p->height(), 1);

    p = kittyDecodePayloadFormat(rawControl(24, 2, 1), {1, 2, 3, 4, 5, 6});
    ASSERT_TRUE(p);
    EXPECT_EQ(std::vector<uint8_t>(p->bytes().begin(), p->bytes().end()),
              (std::vector<uint8_t>{1, 2, 3, 255, 4, 5, 6, 255}));
    EXPECT_EQ(p->byteSize(), 8u);
}

TEST(KittyPayloadFormat, RejectsWrongSizesAndFormats)
{
    EXPECT_FALSE(kittyDecodePayloadFormat(rawControl(32, 2, 2), std::vector<uint8_t>(15)));
    EXPECT_FALSE(kittyDecodePayloadFormat(rawControl(32, 2, 2), std::vector<uint8_t>(17)));
    EXPECT_FALSE(kittyDecodePayloadFormat(rawControl(32, 0, 1), {}));
    EXPECT_FALSE(kittyDecodePayloadFormat(rawControl(32, -1, -1), std::vector<uint8_t>(4)));
    EXPECT_FALSE(kittyDecodePayloadFormat(rawControl(24, 10001, 1), std::vector<uint8_t>(30003)));
    EXPECT_FALSE(kittyDecodePayloadFormat(rawControl(99, 1, 1), std::vector<uint8_t>(4)));
    // A size whose byte count would overflow must not wrap around to match.
    EXPECT_FALSE(kittyDecodePayloadFormat(rawControl(32, INT64_MAX, 4), std::vector<uint8_t>(16)));
    EXPECT_TRUE(kittyDecodePayloadFormat(rawControl(32, 10000, 1), std::vector<uint8_t>(40000)));
}

TEST(KittyPayloadFormat, DirectChainFailures)
{
    EXPECT_FALSE(direct(rawControl(32, 1, 1), "")) << "empty payload";
    EXPECT_FALSE(direct(rawControl(32, 1, 1), "/wAA/w")) << "missing pads";
    auto zlib = rawControl(32, 1, 1);
    zlib.compression = 'x';
    EXPECT_FALSE(direct(zlib, "/wAA/w==")) << "unknown compression";
}

TEST(KittyInflate, AcceptsZlibAndRawDeflate)
{
    std::vector<uint8_t> data(5000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 % 251);
    EXPECT_EQ(kittyInflateZlib(deflateBytes(data, 15)), data);
    EXPECT_EQ(kittyInflateZlib(deflateBytes(data, -15)), data);

    auto control = rawControl(32, 50, 25);
    control.compression = 'z';
    const auto packed = deflateBytes(data);
    const auto p = direct(control, base64(std::span<const uint8_t>(packed)));
    ASSERT_TRUE(p);
    EXPECT_TRUE(std::equal(p->bytes().begin(), p->bytes().end(), data.begin(), data.end()));
}

TEST(KittyInflate, FailsAtOnceOnBadOrShortStreams)
{
    const std::vector<uint8_t> data(4096, 'a');
    auto packed = deflateBytes(data);
    EXPECT_FALSE(kittyInflateZlib({}));
    EXPECT_FALSE(kittyInflateZlib(std::span<const uint8_t>(packed).first(packed.size() / 2)));
    EXPECT_FALSE(kittyInflateZlib(std::span<const uint8_t>(packed).first(2)));
    EXPECT_FALSE(kittyInflateZlib(bytesOf("this is not compressed at all")));
    packed[packed.size() - 1] ^= 0xFF;
    EXPECT_FALSE(kittyInflateZlib(packed)) << "bad checksum";
    EXPECT_FALSE(kittyDecompressPayload(bytesOf("plain"), 'z'));
    EXPECT_FALSE(kittyDecompressPayload(deflateBytes(data), 'Z'));
}

TEST(KittyInflate, LimitIsInclusive)
{
    const std::vector<uint8_t> data(100000, 7);
    const auto packed = deflateBytes(data);
    EXPECT_TRUE(kittyInflateZlib(packed, 100000));
    EXPECT_FALSE(kittyInflateZlib(packed, 99999));
}

// Raw deflate of `blocks` + 1 MiB of zeros. After a full flush the
// compressor starts afresh, so every further MiB compresses to the same
// bytes and repeating them builds a huge, valid stream cheaply.
std::vector<uint8_t> zeroBomb(int blocks)
{
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    const std::vector<uint8_t> zeros(1 << 20, 0);
    std::vector<uint8_t> out(1 << 16);
    auto run = [&](size_t length, int flush) {
        s.next_in = const_cast<Bytef*>(zeros.data());
        s.avail_in = static_cast<uInt>(length);
        s.next_out = out.data();
        s.avail_out = static_cast<uInt>(out.size());
        const int status = deflate(&s, flush);
        EXPECT_TRUE(status == Z_OK || status == Z_STREAM_END);
        return std::vector<uint8_t>(out.begin(), out.begin() + (out.size() - s.avail_out));
    };
    std::vector<uint8_t> bomb = run(zeros.size(), Z_FULL_FLUSH);
    const std::vector<uint8_t> block = run(zeros.size(), Z_FULL_FLUSH);
    const std::vector<uint8_t> tail = run(0, Z_FINISH);
    deflateEnd(&s);
    for (int i = 0; i < blocks; ++i)
        bomb.insert(bomb.end(), block.begin(), block.end());
    bomb.insert(bomb.end(), tail.begin(), tail.end());
    return bomb;
}

TEST(KittyInflate, BombStopsAtTheDataLimit)
{
    const auto small = kittyInflateZlib(zeroBomb(3), 8 << 20);
    ASSERT_TRUE(small) << "the repeated blocks form a valid stream";
    EXPECT_EQ(small->size(), 4u << 20);

    const auto bomb = zeroBomb(600);
    ASSERT_LT(bomb.size(), 2u << 20);
    EXPECT_FALSE(kittyInflateZlib(bomb));
#if !defined(__SANITIZE_ADDRESS__) && !defined(RAVELGRID_TEST_ASAN)
    // Output stops at the limit: the peak is the limit plus one regrowth copy,
    // far below the 600 MiB the stream would inflate to. (The address
    // sanitizer keeps freed blocks in quarantine, so only plain builds tell.)
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    EXPECT_LT(usage.ru_maxrss, 600L * 1024) << "peak resident KiB";
#endif
}

TEST(KittyPng, AcceptsOnlyCompleteImagesInRange)
{
    const auto png = rgbaPng(1, 1);
    auto p = kittyDecodePayloadFormat(rawControl(100, 0, 0), png);
    ASSERT_TRUE(p);
    EXPECT_TRUE(p->isPng());
    EXPECT_TRUE(std::equal(p->bytes().begin(), p->bytes().end(), png.begin(), png.end()));

    EXPECT_FALSE(kittyPngSizeIsValid(rgbaPng(10001, 1)));
    EXPECT_EQ(kittyPngPixelSize(rgbaPng(10001, 2))->width, 10001) << "the size itself has no range test";
    EXPECT_TRUE(kittyPngSizeIsValid(rgbaPng(10000, 1)));
    EXPECT_FALSE(kittyPngSizeIsValid(bytesOf("GIF89a not a png")));
    EXPECT_FALSE(kittyPngSizeIsValid({}));
}

TEST(KittyPng, RejectsTruncatedOrCorruptData)
{
    std::vector<uint8_t> pixels(64 * 64 * 4);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i * 31 % 256);
    const auto png = encodePng({64, 64, PNG_COLOR_TYPE_RGBA, false}, pixels);
    ASSERT_TRUE(kittyPngSizeIsValid(png));

    // The header alone still gives a size, but never a valid image.
    const auto cut = std::vector<uint8_t>(png.begin(), png.begin() + png.size() / 2);
    EXPECT_FALSE(kittyPngSizeIsValid(cut));
    EXPECT_TRUE(kittyPngPixelSize(cut));
    EXPECT_FALSE(kittyDecodePng(cut));
    EXPECT_FALSE(kittyPngSizeIsValid(std::vector<uint8_t>(png.begin(), png.end() - 12))) << "no IEND";

    auto corrupt = png;
    corrupt[corrupt.size() / 2] ^= 0x55;
    EXPECT_FALSE(kittyPngSizeIsValid(corrupt));
}

// Straight alpha, like raw pixels: a crop must not darken half-transparent colour.
TEST(KittyPng, DecodesToStraightRgba)
{
    const auto rgba = encodePng({2, 1, PNG_COLOR_TYPE_RGBA, false}, {255, 255, 255, 128, 10, 20, 30, 255});
    auto bitmap = kittyDecodePng(rgba);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->width, 2);
    EXPECT_EQ(bitmap->height, 1);
    EXPECT_EQ(bitmap->bytes, (std::vector<uint8_t>{255, 255, 255, 128, 10, 20, 30, 255}));

    const auto gray = encodePng({2, 1, PNG_COLOR_TYPE_GRAY, false}, {0, 200});
    bitmap = kittyDecodePng(gray);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->bytes, (std::vector<uint8_t>{0, 0, 0, 255, 200, 200, 200, 255}));

    const auto paletted =
        encodePng({2, 1, PNG_COLOR_TYPE_PALETTE, false}, {1, 0}, {png_color{1, 2, 3}, png_color{4, 5, 6}});
    bitmap = kittyDecodePng(paletted);
    ASSERT_TRUE(bitmap);
    EXPECT_EQ(bitmap->bytes, (std::vector<uint8_t>{4, 5, 6, 255, 1, 2, 3, 255}));
}

TEST(KittyPng, InterlacedImagesDecodeAndValidate)
{
    std::vector<uint8_t> pixels(13 * 9 * 3);
    for (size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<uint8_t>(i);
    const auto png = encodePng({13, 9, PNG_COLOR_TYPE_RGB, true}, pixels);
    EXPECT_TRUE(kittyPngSizeIsValid(png));
    const auto bitmap = kittyDecodePng(png);
    ASSERT_TRUE(bitmap);
    for (size_t p = 0; p < 13 * 9; ++p) {
        ASSERT_EQ(bitmap->bytes[p * 4], pixels[p * 3]) << p;
        ASSERT_EQ(bitmap->bytes[p * 4 + 2], pixels[p * 3 + 2]) << p;
        ASSERT_EQ(bitmap->bytes[p * 4 + 3], 255) << p;
    }
    EXPECT_FALSE(kittyPngSizeIsValid(std::vector<uint8_t>(png.begin(), png.end() - 30)));
}

}  // namespace
}  // namespace ravelgrid
