#include "platform/FileRead.h"
#include "platform/SafeFile.h"
#include "platform/WriterLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct TempDir {
    TempDir()
    {
        char tmpl[] = "/tmp/qm-lock-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path); }
    fs::path path;
};

std::string slurp(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// One save as the stores make it: read under the lock, add a line, write.
bool appendLine(const std::string& target, const std::string& line)
{
    auto lock = platform::WriterLock::acquire(target);
    if (!lock)
        return false;
    std::optional<std::string> before;
    if (fs::exists(target))
        before = slurp(target);
    std::string after = before.value_or("") + line + "\n";
    return !platform::replaceFileIfUnchanged(target, before ? std::optional<std::string_view>(*before) : std::nullopt,
                                             after);
}

void sleepUntil(const timespec& when)
{
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr) == EINTR) {
    }
}

}  // namespace

// Writers in separate processes start each round at the same instant; every
// save that reports success must be in the file, and none may be refused.
TEST(WriterLock, ConcurrentProcessesLoseNoAcknowledgedSave)
{
    TempDir dir;
    const std::string target = (dir.path / "notes").string();
    constexpr int kWriters = 4, kRounds = 40;
    int acks[2];
    ASSERT_EQ(::pipe(acks), 0);
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    start.tv_sec += 1;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(acks[0]);
            for (int r = 0; r < kRounds; ++r) {
                timespec at = start;
                at.tv_nsec += r * 5'000'000L;
                at.tv_sec += at.tv_nsec / 1'000'000'000L;
                at.tv_nsec %= 1'000'000'000L;
                sleepUntil(at);
                const std::string line = "w" + std::to_string(w) + "r" + std::to_string(r);
                const char verdict = appendLine(target, line) ? '+' : '-';
                if (::write(acks[1], &verdict, 1) != 1)
                    ::_exit(2);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(acks[1]);
    std::string verdicts;
    char c;
    while (::read(acks[0], &c, 1) == 1)
        verdicts += c;
    ::close(acks[0]);
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(verdicts, std::string(kWriters * kRounds, '+')) << "a save was refused";
    const std::string text = slurp(target);
    for (int w = 0; w < kWriters; ++w)
        for (int r = 0; r < kRounds; ++r) {
            const std::string line = "w" + std::to_string(w) + "r" + std::to_string(r) + "\n";
            EXPECT_NE(text.find(line), std::string::npos) << "lost " << line;
        }
    for (const auto& entry : fs::directory_iterator(dir.path))
        EXPECT_EQ(entry.path().filename().string().find(platform::kTemporaryMarker), std::string::npos) << entry.path();
}

TEST(WriterLock, HeldElsewhereWaitsAndADeadHolderFreesIt)
{
    TempDir dir;
    const std::string target = (dir.path / "config").string();
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        auto lock = platform::WriterLock::acquire(target);
        // A crashed save's temporary file, left while the lock is held.
        std::ofstream(dir.path / ".config.quillmar-tmp.crashed") << "half";
        if (::write(ready[1], "x", 1) != 1)
            ::_exit(2);
        ::pause();
        ::_exit(0);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);

    platform::FileError error;
    EXPECT_FALSE(platform::WriterLock::acquire(target, &error, 50ms));
    EXPECT_EQ(error.systemError, EWOULDBLOCK);

    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    auto lock = platform::WriterLock::acquire(target, &error, 2s);
    ASSERT_TRUE(lock) << error.description;
    EXPECT_FALSE(fs::exists(dir.path / ".config.quillmar-tmp.crashed")) << "removed once no writer holds the lock";
    EXPECT_TRUE(fs::exists(dir.path / ".config.quillmar-lock")) << "the lock file stays";
    EXPECT_FALSE(fs::exists(target)) << "nothing is written to the target by locking";

    // The holding thread may save under its own lock.
    EXPECT_FALSE(platform::replaceFileAtomically(target, "mine"));
    EXPECT_EQ(slurp(target), "mine");
}
