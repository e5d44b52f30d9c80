// Two processes saving one snippets file at the same instants: every change
// a save reported as done must be in the file afterwards, and none refused.
#include "quillmar/snippets/SnippetLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace quillmar {
namespace {

class FixedKey final : public SnippetKeySource {
public:
    explicit FixedKey(platform::SymmetricKey key) : key_(std::move(key)) {}
    Lookup find() override { return {key_, std::nullopt}; }
    SnippetResult<platform::SymmetricKey> create() override { return key_; }

private:
    platform::SymmetricKey key_;
};

SnippetLibrary libraryIn(const std::string& dir, const platform::SymmetricKey& key)
{
    SnippetLibrary library(SnippetVault(SnippetPaths(dir), std::make_unique<FixedKey>(key)));
    library.load();
    return library;
}

timespec after(timespec start, long millis)
{
    start.tv_nsec += millis * 1'000'000L;
    start.tv_sec += start.tv_nsec / 1'000'000'000L;
    start.tv_nsec %= 1'000'000'000L;
    return start;
}

// What one writer did, one line each: "+id" added, "-id" removed, "!why" refused.
void writer(const std::string& dir, const platform::SymmetricKey& key, int who, timespec start, int out)
{
    SnippetLibrary library = libraryIn(dir, key);
    std::ostringstream log;
    std::vector<std::string> mine;
    for (int round = 0; round < 10; ++round) {
        const timespec at = after(start, round * 40);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
        }
        for (int i = 0; i < 5; ++i) {
            const std::string title = "w" + std::to_string(who) + "-" + std::to_string(round) + "-" + std::to_string(i);
            auto id = library.add(Snippet{"", title, "echo " + title, "Race", {}, ""});
            if (!id) {
                log << "!" << id.error().message << "\n";
                continue;
            }
            log << "+" << id.value() << "\n";
            mine.push_back(id.value());
        }
        // Each round also takes back one of its own earlier snippets.
        if (round % 2 == 1 && !mine.empty()) {
            const std::string gone = mine.front();
            mine.erase(mine.begin());
            auto removed = library.remove(gone);
            log << (removed ? "-" + gone : "!" + removed.error().message) << "\n";
        }
    }
    const std::string text = log.str();
    if (::write(out, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        ::_exit(2);
    ::_exit(0);
}

TEST(SnippetTwoWriters, EveryAcknowledgedChangeIsInTheFile)
{
    char tmpl[] = "/tmp/qm-snippet-race-XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    const platform::SymmetricKey key = *platform::SymmetricKey::random();
    ASSERT_TRUE(libraryIn(dir, key).all().size() > 0) << "the factory set is saved first";

    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    start = after(start, 300);
    int pipes[2][2];
    pid_t pids[2];
    for (int w = 0; w < 2; ++w) {
        ASSERT_EQ(::pipe(pipes[w]), 0);
        pids[w] = ::fork();
        ASSERT_GE(pids[w], 0);
        if (pids[w] == 0) {
            ::close(pipes[w][0]);
            writer(dir, key, w, start, pipes[w][1]);
        }
        ::close(pipes[w][1]);
    }
    std::set<std::string> added, removed;
    std::vector<std::string> refusals;
    for (int w = 0; w < 2; ++w) {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(pipes[w][0], buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
        ::close(pipes[w][0]);
        int status = 0;
        ::waitpid(pids[w], &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.empty())
                continue;
            if (line[0] == '+')
                added.insert(line.substr(1));
            if (line[0] == '-')
                removed.insert(line.substr(1));
            if (line[0] == '!')
                refusals.push_back(line.substr(1));
        }
    }
    EXPECT_TRUE(refusals.empty()) << refusals.size() << " refused, first: " << refusals.front();
    EXPECT_EQ(added.size(), 100u);

    SnippetLibrary result = libraryIn(dir, key);
    ASSERT_FALSE(result.loadError()) << *result.loadError();
    for (const std::string& id : added)
        EXPECT_EQ(result.find(id) != nullptr, !removed.contains(id)) << id;
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".quillmar-tmp"), std::string::npos) << entry.path();
    fs::remove_all(dir);
}

}  // namespace
}  // namespace quillmar
