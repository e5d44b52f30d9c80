#include "ravelgrid/protocols/KittyGraphicsMedia.h"

#include "KittyTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>

namespace ravelgrid {
namespace {

using namespace kittytest;

const std::vector<uint8_t> kPixel{255, 0, 0, 255};

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

bool exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

KittyGraphicsControl control(char transmission, int64_t width = 1, int64_t height = 1, int64_t format = 32)
{
    KittyGraphicsControl c;
    c.transmission = transmission;
    c.width = width;
    c.height = height;
    c.format = format;
    return c;
}

KittyTransmissionResult load(const KittyGraphicsControl& c, std::string_view plainPayload, bool trusted = true)
{
    const auto encoded = bytesOf(base64(plainPayload));
    return kittyLoadTransmittedPayload(c, encoded, trusted);
}

std::vector<uint8_t> pixels(const KittyTransmissionResult& r)
{
    if (!r.payload)
        return {};
    return {r.payload->bytes().begin(), r.payload->bytes().end()};
}

class KittyFileMedium : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(KittyFileMedium, ReadsAFileAndKeepsIt)
{
    const std::string path = dir.file("image.rgba");
    writeFile(path, kPixel);
    const auto r = load(control('f'), path);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(pixels(r), kPixel);
    EXPECT_TRUE(exists(path));
}

TEST_F(KittyFileMedium, HonoursOffsetAndSize)
{
    const std::string path = dir.file("window.rgba");
    writeFile(path, {9, 9, 1, 2, 3, 4, 9, 9});
    auto c = control('f');
    c.dataOffset = 2;
    c.dataSize = 4;
    EXPECT_EQ(pixels(load(c, path)), (std::vector<uint8_t>{1, 2, 3, 4}));

    // Size 0 reads to the end.
    c.dataOffset = 4;
    c.dataSize = 0;
    EXPECT_EQ(pixels(load(c, path)), (std::vector<uint8_t>{3, 4, 9, 9}));

    c.dataOffset = -1;
    EXPECT_EQ(load(c, path).error, "EINVAL: bad payload");
    c.dataOffset = 0;
    c.dataSize = -4;
    EXPECT_EQ(load(c, path).error, "EINVAL: bad payload");
}

TEST_F(KittyFileMedium, OffsetAtOrPastTheEndReadsNothing)
{
    const std::string path = dir.file("ten.bin");
    writeFile(path, std::vector<uint8_t>(10, 1));
    auto c = control('f');
    c.dataOffset = 10;
    EXPECT_EQ(kittyReadFile(path, 10, 0, false), std::vector<uint8_t>{});
    EXPECT_EQ(load(c, path).error, "EINVAL: bad payload");
    c.dataOffset = 11;
    EXPECT_FALSE(kittyReadFile(path, 11, 0, false));
    EXPECT_EQ(load(c, path).error, "EINVAL: bad payload");
}

TEST_F(KittyFileMedium, RefusesFilesOverTheLimitWhole)
{
    const std::string path = dir.file("huge.bin");
    {
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(kKittyDataLimit) + 1), 0);
        ::close(fd);
    }
    auto c = control('f');
    c.dataSize = 100;
    EXPECT_EQ(load(c, path).error, "EINVAL: bad payload");
    EXPECT_FALSE(kittyReadFile(path, 0, 4, false));
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(kKittyDataLimit)), 0);
    EXPECT_EQ(kittyReadFile(path, 0, 4, false), std::vector<uint8_t>(4, 0)) << "exactly the limit is fine";
}

TEST_F(KittyFileMedium, ResolvesLongPaths)
{
    // Well past the 1,024 bytes a fixed realpath buffer would hold.
    std::string path = dir.path();
    while (path.size() < 3000) {
        path += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    path += "/image.rgba";
    ASSERT_GT(path.size(), 3000u);
    writeFile(path, kPixel);
    const auto r = load(control('f'), path);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(pixels(r), kPixel);
}

TEST_F(KittyFileMedium, RefusesSystemAndDevicePaths)
{
    for (const char* path : {"/proc/self/status", "/sys/kernel/mm", "/dev/null", "/dev/zero"}) {
        EXPECT_EQ(load(control('f'), path).error, "EINVAL: bad path") << path;
    }
    // A link elsewhere is judged by where it leads.
    const std::string link = dir.file("status");
    ASSERT_EQ(::symlink("/proc/self/status", link.c_str()), 0);
    EXPECT_EQ(load(control('f'), link).error, "EINVAL: bad path");

    EXPECT_EQ(load(control('f'), dir.file("missing")).error, "EINVAL: bad path");
    EXPECT_EQ(load(control('f'), std::string("/tmp/a\0b", 8)).error, "EINVAL: bad path");
    EXPECT_EQ(load(control('f'), "/tmp/\xff\xfe").error, "EINVAL: bad path");
    EXPECT_EQ(load(control('f'), "").error, "EINVAL: bad payload");
    const auto notBase64 = bytesOf("abc");
    EXPECT_EQ(kittyLoadTransmittedPayload(control('f'), notBase64, true).error, "EINVAL: bad payload");
}

TEST_F(KittyFileMedium, FifoAndDirectoryFailWithoutBlocking)
{
    const std::string fifo = dir.file("tty-graphics-protocol-fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Without O_NONBLOCK this open would wait for a writer forever.
    EXPECT_EQ(load(control('f'), fifo).error, "EINVAL: bad payload");
    EXPECT_EQ(load(control('t'), fifo).error, "EINVAL: bad payload");
    EXPECT_TRUE(exists(fifo)) << "only regular files are ever deleted";
    EXPECT_EQ(load(control('f'), dir.path()).error, "EINVAL: bad payload");
}

TEST_F(KittyFileMedium, DecodesCompressedAndPngFiles)
{
    const std::string packed = dir.file("packed.z");
    writeFile(packed, deflateBytes(kPixel));
    auto c = control('f');
    c.compression = 'z';
    EXPECT_EQ(pixels(load(c, packed)), kPixel);

    const std::string png = dir.file("image.png");
    writeFile(png, rgbaPng(3, 2));
    const auto r = load(control('f', 0, 0, 100), png);
    ASSERT_TRUE(r.payload);
    EXPECT_TRUE(r.payload->isPng());
}

class KittyTempFileMedium : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(KittyTempFileMedium, DeletesTheFileAfterReading)
{
    const std::string path = dir.file("tty-graphics-protocol-1.rgba");
    writeFile(path, kPixel);
    EXPECT_EQ(pixels(load(control('t'), path)), kPixel);
    EXPECT_FALSE(exists(path));

    // Opened and accepted, then undecodable: still deleted.
    writeFile(path, {1, 2, 3});
    EXPECT_EQ(load(control('t'), path).error, "EINVAL: bad payload");
    EXPECT_FALSE(exists(path));
}

TEST_F(KittyTempFileMedium, NeedsTheMarkerInTheResolvedPath)
{
    const std::string path = dir.file("plain.rgba");
    writeFile(path, kPixel);
    EXPECT_EQ(load(control('t'), path).error, "EINVAL: bad temp path");
    EXPECT_TRUE(exists(path));
}

TEST_F(KittyTempFileMedium, DeletesTheTargetOfALinkNotTheLink)
{
    const std::string target = dir.file("tty-graphics-protocol-target");
    const std::string link = dir.file("link");
    writeFile(target, kPixel);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(pixels(load(control('t'), link)), kPixel);
    EXPECT_FALSE(exists(target));
    EXPECT_TRUE(exists(link));
}

TEST(KittyTempDirectories, PrefixMustEndAtADirectoryBoundary)
{
    EXPECT_TRUE(kittyAllowedTempDirectories("/tmp/x"));
    EXPECT_TRUE(kittyAllowedTempDirectories("/dev/shm/x"));
    EXPECT_FALSE(kittyAllowedTempDirectories("/tmpfoo/x"));
    EXPECT_FALSE(kittyAllowedTempDirectories("/dev/shmfoo/x"));
    EXPECT_FALSE(kittyAllowedTempDirectories("/home/user/x"));
}

TEST(KittyTempDirectories, UsesTheUsersTemporaryDirectory)
{
    const char* saved = std::getenv("TMPDIR");
    const std::string savedValue = saved ? saved : "";
    std::optional<TempDir> base;
    try {
        base.emplace("/var/tmp");
    } catch (const std::exception&) {
        GTEST_SKIP() << "needs a writable /var/tmp";
    }
    char resolved[PATH_MAX];
    ASSERT_TRUE(::realpath(base->path().c_str(), resolved));
    const std::string root = resolved;
    if (root.starts_with("/tmp/"))
        GTEST_SKIP() << "needs a directory outside /tmp";
    ASSERT_EQ(::mkdir((root + "/t").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((root + "/tevil").c_str(), 0700), 0);
    ::setenv("TMPDIR", (root + "/t/").c_str(), 1);

    const std::string inside = root + "/t/tty-graphics-protocol-a";
    const std::string sibling = root + "/tevil/tty-graphics-protocol-b";
    writeFile(inside, kPixel);
    writeFile(sibling, kPixel);
    EXPECT_EQ(pixels(load(control('t'), inside)), kPixel);
    EXPECT_EQ(load(control('t'), sibling).error, "EINVAL: bad temp path");
    EXPECT_TRUE(exists(sibling));

    if (saved) {
        ::setenv("TMPDIR", savedValue.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

class KittySharedMemory : public ::testing::Test {
protected:
    std::string name(std::string_view tag)
    {
        static std::atomic<int> counter{0};
        std::string n = "/tty-graphics-protocol-test-" + std::to_string(::getpid()) + "-" + std::string(tag) + "-" +
                        std::to_string(counter++);
        names.push_back(n);
        return n;
    }
    void create(const std::string& objectName, const std::vector<uint8_t>& bytes)
    {
        const int fd = ::shm_open(objectName.c_str(), O_CREAT | O_RDWR | O_EXCL, 0600);
        ASSERT_GE(fd, 0) << objectName;
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ::close(fd);
    }
    bool objectExists(const std::string& objectName)
    {
        const int fd = ::shm_open(objectName.c_str(), O_RDONLY, 0);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }
    void TearDown() override
    {
        for (const auto& n : names)
            ::shm_unlink(n.c_str());
    }
    std::vector<std::string> names;
};

TEST_F(KittySharedMemory, ReadsAndUnlinksTheObject)
{
    const auto n = name("ok");
    create(n, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
    const auto r = load(control('s', 2, 2), n);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(pixels(r).size(), 16u);
    EXPECT_FALSE(objectExists(n));
}

TEST_F(KittySharedMemory, ReadsAWindow)
{
    const auto n = name("window");
    create(n, {0, 0, 0, 0, 5, 6, 7, 8});
    auto c = control('s');
    c.dataOffset = 4;
    c.dataSize = 4;
    EXPECT_EQ(pixels(load(c, n)), (std::vector<uint8_t>{5, 6, 7, 8}));
    EXPECT_FALSE(objectExists(n));

    EXPECT_FALSE(kittyReadSharedMemory(name("absent"), std::nullopt, 0, 0));
    const auto m = name("past-end");
    create(m, {1, 2, 3, 4});
    EXPECT_FALSE(kittyReadSharedMemory(m, std::nullopt, 4, 0));
    EXPECT_FALSE(objectExists(m)) << "unlinked on failure too";
    const auto huge = name("huge-window");
    create(huge, {1, 2, 3, 4});
    EXPECT_EQ(kittyReadSharedMemory(huge, std::nullopt, 1, INT64_MAX), (std::vector<uint8_t>{2, 3, 4}));
}

TEST_F(KittySharedMemory, ShortObjectIsRefusedAndUnlinked)
{
    const auto n = name("short");
    create(n, std::vector<uint8_t>(15, 1));
    EXPECT_EQ(load(control('s', 2, 2), n).error, "EINVAL: bad payload");
    EXPECT_FALSE(objectExists(n));
}

TEST_F(KittySharedMemory, RefusedBeforeOpeningWhenNothingCanMatch)
{
    const auto n = name("format");
    create(n, kPixel);
    EXPECT_EQ(load(control('s', 1, 1, 99), n).error, "EINVAL: bad payload");
    EXPECT_EQ(load(control('s', 0, 0, 32), n).error, "EINVAL: bad payload");
    EXPECT_TRUE(objectExists(n));

    // Objects of other programs are not ours to read or unlink.
    const std::string foreign = "/ravelgrid-foreign-" + std::to_string(::getpid());
    names.push_back(foreign);
    create(foreign, kPixel);
    EXPECT_EQ(load(control('s'), foreign).error, "EINVAL: bad payload");
    EXPECT_TRUE(objectExists(foreign));

    EXPECT_EQ(load(control('s'), "/tty-graphics-protocol/../x").error, "EINVAL: bad payload");
    EXPECT_EQ(load(control('s'), "").error, "EINVAL: bad payload");
}

TEST_F(KittySharedMemory, PngNeedsNoSize)
{
    const auto n = name("png");
    create(n, rgbaPng(2, 2));
    const auto r = load(control('s', 0, 0, 100), n);
    ASSERT_TRUE(r.payload) << r.error;
    EXPECT_TRUE(r.payload->isPng());
}

TEST(KittyTransmission, UntrustedProcessesGetOneErrorAndTouchNothing)
{
    TempDir dir;
    const std::string path = dir.file("tty-graphics-protocol-x");
    writeFile(path, kPixel);
    const std::string object = "/tty-graphics-protocol-untrusted-" + std::to_string(::getpid());
    const int fd = ::shm_open(object.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, kPixel.data(), kPixel.size()), 4);
    ::close(fd);

    for (char medium : {'f', 't'}) {
        for (const std::string& p : {path, std::string("/proc/self/status"), dir.file("missing"), std::string("")}) {
            EXPECT_EQ(load(control(medium), p, false).error, "ENOTSUP: unsupported transmission") << medium << p;
        }
    }
    EXPECT_EQ(load(control('s'), object, false).error, "ENOTSUP: unsupported transmission");
    EXPECT_TRUE(exists(path));
    const int again = ::shm_open(object.c_str(), O_RDONLY, 0);
    EXPECT_GE(again, 0) << "the object must still exist";
    if (again >= 0)
        ::close(again);
    ::shm_unlink(object.c_str());

    // Direct data needs no trust.
    EXPECT_EQ(pixels(load(control('d'), std::string(kPixel.begin(), kPixel.end()), false)), kPixel);
}

TEST(KittyTransmission, UnknownMedium)
{
    EXPECT_EQ(load(control('x'), "anything").error, "ENOTSUP: unsupported transmission");
    EXPECT_EQ(load(control('d'), "").error, "EINVAL: bad payload");
}

}  // namespace
}  // namespace ravelgrid
