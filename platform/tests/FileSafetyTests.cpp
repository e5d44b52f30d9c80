#include "platform/FileRead.h"
#include "platform/SafeFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "qm-file-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void spit(const std::string& path, const std::string& data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// Whether a temporary file of a save is still beside `target`.
bool temporaryBeside(const fs::path& target)
{
    const std::string prefix = "." + target.filename().string() + platform::kTemporaryMarker;
    for (const auto& entry : fs::directory_iterator(target.parent_path()))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            return true;
    return false;
}

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

}  // namespace

TEST(FileRead, ReadsRegularFilesAndRefusesEverythingElse)
{
    TempDir dir;
    spit(dir / "plain", std::string("a\0b\n", 4));
    auto ok = platform::readRegularFile(dir / "plain", 100);
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok.data, std::string("a\0b\n", 4));

    auto missing = platform::readRegularFile(dir / "nope", 100);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error->kind, platform::FileReadError::Kind::notFound);

    auto folder = platform::readRegularFile(dir.path(), 100);
    ASSERT_FALSE(folder.ok());
    EXPECT_EQ(folder.error->kind, platform::FileReadError::Kind::notRegular);

    // A FIFO with no writer would block a plain open forever.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    auto fifo = platform::readRegularFile(dir / "fifo", 100);
    ASSERT_FALSE(fifo.ok());
    EXPECT_EQ(fifo.error->kind, platform::FileReadError::Kind::notRegular);

    auto device = platform::readRegularFile("/dev/zero", 100);
    ASSERT_FALSE(device.ok());
    EXPECT_EQ(device.error->kind, platform::FileReadError::Kind::notRegular);

    fs::create_symlink(dir / "plain", dir / "link");
    EXPECT_TRUE(platform::readRegularFile(dir / "link", 100).ok());
}

TEST(FileRead, SizeCapIsExact)
{
    TempDir dir;
    spit(dir / "ten", "0123456789");
    EXPECT_TRUE(platform::readRegularFile(dir / "ten", 10).ok());
    auto over = platform::readRegularFile(dir / "ten", 9);
    ASSERT_FALSE(over.ok());
    EXPECT_EQ(over.error->kind, platform::FileReadError::Kind::tooLarge);
    EXPECT_NE(over.error->description().find("9 bytes"), std::string::npos);
    spit(dir / "empty", "");
    auto empty = platform::readRegularFile(dir / "empty", 0);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty.data.empty());
}

TEST(FileRead, HeadTakesTheStartOfAnySizeWithTheSameChecks)
{
    TempDir dir;
    spit(dir / "ten", "0123456789");
    ::chmod((dir / "ten").c_str(), 0750);
    auto head = platform::readRegularFileHead(dir / "ten", 4);
    ASSERT_TRUE(head.ok());
    EXPECT_EQ(head.data, "0123");
    EXPECT_EQ(head.mode, 0750u);
    EXPECT_EQ(platform::readRegularFileHead(dir / "ten", 64).data, "0123456789");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(platform::readRegularFileHead(dir / "fifo", 4).error->kind, platform::FileReadError::Kind::notRegular);
    EXPECT_EQ(platform::readRegularFileHead("/dev/zero", 4).error->kind, platform::FileReadError::Kind::notRegular);
}

TEST(SafeFile, ReplacesContentKeepsModeAndLeavesNoTemporary)
{
    TempDir dir;
    std::string target = dir / "config";
    spit(target, "old\n");
    ::chmod(target.c_str(), 0644);
    ASSERT_FALSE(platform::replaceFileAtomically(target, "new\n"));
    EXPECT_EQ(slurp(target), "new\n");
    EXPECT_EQ(modeOf(target), 0644u);
    EXPECT_FALSE(temporaryBeside(target));

    std::string fresh = dir / "fresh";
    ASSERT_FALSE(platform::replaceFileAtomically(fresh, "x"));
    EXPECT_EQ(modeOf(fresh), 0600u);
}

TEST(SafeFile, LeftoverTemporaryIsReplacedAndPlantedLinkNotFollowed)
{
    TempDir dir;
    std::string target = dir / "config";
    spit(target, "old");
    spit(dir / ".config.quillmar-tmp", "stale");
    spit(dir / ".config.quillmar-tmp.k3x9q2mz", "stale");
    ASSERT_FALSE(platform::replaceFileAtomically(target, "new"));
    EXPECT_EQ(slurp(target), "new");
    EXPECT_FALSE(temporaryBeside(target)) << "leftovers go once the lock is held";

    // A link planted at the temporary path must not redirect the write.
    spit(dir / "victim", "precious");
    fs::create_symlink(dir / "victim", dir / ".config.quillmar-tmp");
    ASSERT_FALSE(platform::replaceFileAtomically(target, "newer"));
    EXPECT_EQ(slurp(dir / "victim"), "precious");
    EXPECT_EQ(slurp(target), "newer");
}

TEST(SafeFile, SymlinkStaysAndItsTargetIsReplacedWithTargetMode)
{
    TempDir dir;
    fs::create_directory(dir / "dotfiles");
    std::string real = dir / "dotfiles/ssh_config";
    spit(real, "old");
    ::chmod(real.c_str(), 0640);
    fs::create_symlink("dotfiles/ssh_config", dir / "config");  // relative link
    ASSERT_FALSE(platform::replaceFileAtomically(dir / "config", "new"));
    EXPECT_TRUE(fs::is_symlink(dir / "config"));
    EXPECT_EQ(slurp(real), "new");
    EXPECT_EQ(modeOf(real), 0640u);
    EXPECT_FALSE(temporaryBeside(real));

    // A dangling link: the file is created where the link points.
    fs::create_symlink(dir / "dotfiles/later", dir / "dangling");
    ASSERT_FALSE(platform::replaceFileAtomically(dir / "dangling", "made"));
    EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
    EXPECT_EQ(slurp(dir / "dotfiles/later"), "made");

    fs::create_symlink(dir / "loop", dir / "loop");
    auto err = platform::replaceFileAtomically(dir / "loop", "x");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->systemError, ELOOP);
}

TEST(SafeFile, FailedRenameRemovesTemporaryAndKeepsTarget)
{
    TempDir dir;
    fs::create_directory(dir / "adir");
    auto err = platform::replaceFileAtomically(dir / "adir", "x");
    ASSERT_TRUE(err);
    EXPECT_TRUE(fs::is_directory(dir / "adir"));
    EXPECT_FALSE(temporaryBeside(dir / "adir"));
}

TEST(SafeFile, ReadOnlyFolderFailsCleanly)
{
    TempDir dir;
    std::string target = dir / "config";
    spit(target, "old");
    ::chmod(dir.path().c_str(), 0500);
    if (::geteuid() != 0) {
        EXPECT_TRUE(platform::replaceFileAtomically(target, "new"));
    } else {
        // Root ignores folder permissions: try it as an unprivileged user.
        ASSERT_EQ(::chown(dir.path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown(target.c_str(), 65534, 65534), 0);
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(3);
            ::_exit(platform::replaceFileAtomically(target, "new") ? 0 : 1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should have failed";
    }
    EXPECT_EQ(slurp(target), "old");
    EXPECT_FALSE(temporaryBeside(target));
}

TEST(SafeFile, CreateExclusivelyNeverOverwrites)
{
    TempDir dir;
    ASSERT_FALSE(platform::createFileExclusively(dir / "copy", "one", 0600));
    EXPECT_EQ(modeOf(dir / "copy"), 0600u);
    auto again = platform::createFileExclusively(dir / "copy", "two", 0600);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->systemError, EEXIST);
    EXPECT_EQ(slurp(dir / "copy"), "one");
    fs::create_symlink(dir / "elsewhere", dir / "dangling");
    EXPECT_TRUE(platform::createFileExclusively(dir / "dangling", "x", 0600));
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

// The replacement and the deletion go ahead only while the file holds the
// bytes the caller planned from; otherwise nothing changes and nothing is left.
TEST(SafeFile, ReplaceAndRemoveOnlyWhileUnchanged)
{
    struct Case {
        const char* name;
        std::optional<std::string> onDisk;    // absent: no file
        std::optional<std::string> expected;  // absent: no file expected
        bool goesAhead;
    } cases[] = {
        {"same bytes", "Host a\n", "Host a\n", true},
        {"a line added", "Host a\nHost b\n", "Host a\n", false},
        {"a byte changed", "Host b\n", "Host a\n", false},
        {"shorter", "Host\n", "Host a\n", false},
        {"file gone", std::nullopt, "Host a\n", false},
        {"no file, none expected", std::nullopt, std::nullopt, true},
        {"a file appeared", "Host new\n", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string target = dir / "config";
        if (c.onDisk)
            spit(target, *c.onDisk);
        auto err = platform::replaceFileIfUnchanged(
            target, c.expected ? std::optional<std::string_view>(*c.expected) : std::nullopt, "Host new text\n");
        EXPECT_EQ(!err, c.goesAhead);
        if (err) {
            EXPECT_TRUE(err->changed);
            EXPECT_FALSE(err->replaced);
        }
        if (c.goesAhead) {
            EXPECT_EQ(slurp(target), "Host new text\n");
        } else if (c.onDisk) {
            EXPECT_EQ(slurp(target), *c.onDisk);
        } else {
            EXPECT_FALSE(fs::exists(target));
        }
        EXPECT_FALSE(temporaryBeside(target));

        if (c.onDisk && c.expected) {
            spit(target, *c.onDisk);
            auto removed = platform::removeFileIfUnchanged(target, *c.expected);
            EXPECT_EQ(!removed, c.goesAhead);
            EXPECT_EQ(fs::exists(target), !c.goesAhead);
        }
    }
}

// Replacing a file keeps its mode under the precondition too.
TEST(SafeFile, ReplaceIfUnchangedKeepsModeAndFollowsLinks)
{
    TempDir dir;
    spit(dir / "real", "old\n");
    ::chmod((dir / "real").c_str(), 0640);
    fs::create_symlink("real", dir / "link");
    ASSERT_FALSE(platform::replaceFileIfUnchanged(dir / "link", std::string_view("old\n"), "new\n"));
    EXPECT_TRUE(fs::is_symlink(dir / "link"));
    EXPECT_EQ(slurp(dir / "real"), "new\n");
    EXPECT_EQ(modeOf(dir / "real"), 0640u);
}

TEST(SafeFile, MakeDirectoriesGivesEveryNewFolderItsModeWhateverTheUmask)
{
    TempDir dir;
    const mode_t old = ::umask(077);
    const std::string deep = dir / "a/b/c";
    EXPECT_EQ(platform::makeDirectories(deep, 0750), 0);
    ::umask(old);
    for (const std::string& made : {dir / "a", dir / "a/b", deep}) {
        struct stat st {};
        ASSERT_EQ(::stat(made.c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 07777, 0750u) << made;
    }
    // What is there already stays as it is; a file in the way is an error.
    EXPECT_EQ(platform::makeDirectories(deep, 0700), 0);
    std::ofstream(dir / "file") << "x";
    EXPECT_EQ(platform::makeDirectories(dir / "file/sub", 0700), ENOTDIR);
    EXPECT_TRUE(platform::somethingAt(dir / "file"));
    EXPECT_EQ(::symlink("nowhere", (dir / "dangling").c_str()), 0);
    EXPECT_TRUE(platform::somethingAt(dir / "dangling"));
    EXPECT_FALSE(platform::somethingAt(dir / "absent"));
}
