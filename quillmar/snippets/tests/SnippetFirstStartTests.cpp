// Snippet libraries starting at one instant on a first start, against a real
// Secret Service (see with-keyring.sh): threads of one process, and
// processes (this program run again as a worker), on one data folder or two.
// Every add a library acknowledged must open at the next start.
#include "platform/Keyring.h"
#include "platform/tests/support/HeldBusName.h"
#include "quillmar/snippets/KeyringKeySource.h"
#include "quillmar/snippets/SnippetLibrary.h"
#include "quillmar/snippets/tests/support/HeldFileLock.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string_view>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;

namespace quillmar {
namespace {

using HeldFileLock = ::quillmar::testing::HeldFileLock;

constexpr int kAddsEach = 2;

SnippetLibrary libraryIn(const std::string& folder)
{
    return SnippetLibrary(SnippetVault(SnippetPaths(folder), std::make_unique<KeyringKeySource>()));
}

std::int64_t nowNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// One window's first start: from `startNs` on, loads and adds. One line per
// outcome: "+id" acknowledged, "!why" refused.
std::string startAndAdd(const std::string& folder, std::int64_t startNs, const std::string& who)
{
    const timespec at{time_t(startNs / 1'000'000'000), long(startNs % 1'000'000'000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
    SnippetLibrary library = libraryIn(folder);
    library.load();
    std::ostringstream out;
    if (library.loadError())
        out << "!" << *library.loadError() << "\n";
    for (int i = 0; i < kAddsEach; ++i) {
        auto id = library.add(Snippet{"", who + "-" + std::to_string(i), "true", "Race", {}, ""});
        out << (id ? "+" + id.value() : "!" + id.error().message) << "\n";
    }
    return out.str();
}

// This program as a worker, `--start-and-add FOLDER START_NS WHO`, its
// output in `log`, in this one's environment with the variables of `change`
// set to theirs, or left out where they have none.
using EnvChange = std::map<std::string, std::optional<std::string>>;
pid_t spawnWorker(const std::vector<std::string>& args, const EnvChange& change, const std::string& log)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        const std::string_view entry = *e;
        if (!change.contains(std::string(entry.substr(0, entry.find('=')))))
            env.emplace_back(entry);
    }
    for (const auto& [name, value] : change)
        if (value)
            env.push_back(name + "=" + *value);
    std::vector<char*> argv{const_cast<char*>("/proc/self/exe"), const_cast<char*>("--start-and-add")};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    if (::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

class FirstStartTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::getenv("QM_KEYRING_TEST"))
            GTEST_SKIP() << "needs the throwaway Secret Service of with-keyring.sh";
        char tmpl[] = "/tmp/qm-first-start-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // A first start: no key, no file.
    void forgetAll()
    {
        ASSERT_FALSE(keyring_.remove(KeyringKeySource::kAccount).has_value());
        std::error_code ec;
        fs::remove_all(dir_, ec);
        fs::create_directories(dir_);
    }

    // Checks that every add acknowledged in `outcomes` (one list per
    // folder) opens at the next start, and that none was refused.
    void expectKept(const std::vector<std::string>& folders, const std::vector<std::string>& outcomes, int round)
    {
        for (std::size_t f = 0; f < folders.size(); ++f) {
            SnippetLibrary next = libraryIn(folders[f]);
            next.load();
            ASSERT_FALSE(next.loadError()) << "round " << round << ": " << *next.loadError();
            std::istringstream lines(outcomes[f]);
            for (std::string line; std::getline(lines, line);) {
                EXPECT_EQ(line[0], '+') << "round " << round << ": " << line;
                if (line[0] == '+') {
                    EXPECT_TRUE(next.find(line.substr(1))) << "round " << round << ": an acknowledged add is lost";
                }
            }
        }
    }

    // Two workers starting at one moment on FOLDERS, their environments
    // changed by ENVS; what each said.
    std::array<std::string, 2> startTwo(const std::vector<std::string>& folders, const std::array<EnvChange, 2>& envs)
    {
        const std::string start = std::to_string(nowNs() + 300'000'000);
        std::array<std::string, 2> outcomes;
        pid_t pids[2];
        for (int w = 0; w < 2; ++w)
            pids[w] = spawnWorker({folders[w], start, "p" + std::to_string(w)}, envs[w], log(w));
        for (int w = 0; w < 2; ++w) {
            EXPECT_GT(pids[w], 0);
            int status = 0;
            if (pids[w] > 0)
                ::waitpid(pids[w], &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            std::ifstream in(log(w));
            outcomes[w].assign(std::istreambuf_iterator<char>(in), {});
        }
        return outcomes;
    }
    std::string log(int worker) const { return dir_ + "/worker" + std::to_string(worker) + ".log"; }

    const EnvChange noRuntime{{"XDG_RUNTIME_DIR", std::nullopt}};
    platform::Keyring keyring_;
    std::string dir_;
};

TEST_F(FirstStartTest, TwoLibrariesOfOneProcessStartingAtOnceKeepEveryAdd)
{
    for (int round = 0; round < 20; ++round) {
        forgetAll();
        // Even rounds share a data folder; odd ones have two, on one keyring.
        const std::vector<std::string> folders =
            round % 2 ? std::vector{dir_ + "/a", dir_ + "/b"} : std::vector{dir_ + "/a", dir_ + "/a"};
        const std::int64_t start = nowNs() + 100'000'000;
        std::string outcomes[2];
        std::thread other([&] { outcomes[1] = startAndAdd(folders[1], start, "t1"); });
        outcomes[0] = startAndAdd(folders[0], start, "t0");
        other.join();
        if (folders[0] == folders[1])
            expectKept({folders[0]}, {outcomes[0] + outcomes[1]}, round);
        else
            expectKept(folders, {outcomes[0], outcomes[1]}, round);
    }
}

TEST_F(FirstStartTest, TwoProcessesStartingAtOnceKeepEveryAdd)
{
    for (int round = 0; round < 12; ++round) {
        forgetAll();
        // By thirds: one folder, two folders, one folder with no runtime
        // folder (the lock in the data folder).
        const int kind = round % 3;
        const std::vector<std::string> folders =
            kind == 1 ? std::vector{dir_ + "/a", dir_ + "/b"} : std::vector{dir_ + "/a", dir_ + "/a"};
        const auto outcomes =
            startTwo(folders, {kind != 2 ? EnvChange{} : noRuntime, kind != 2 ? EnvChange{} : noRuntime});
        if (kind == 1)
            expectKept(folders, {outcomes[0], outcomes[1]}, round);
        else
            expectKept({folders[0]}, {outcomes[0] + outcomes[1]}, round);
        if (kind == 2) {
            EXPECT_TRUE(fs::exists(SnippetPaths::fromEnvironment().dataDirectory() + "/.snippets-key.quillmar-lock"));
        }
    }
}

// Starts that see other runtime or data folders reach one keyring through
// one session bus, and keep one key: one start with a runtime folder and
// one without on one data folder, or two data folders and no runtime folder.
TEST_F(FirstStartTest, ProcessesSeeingOtherFoldersStartingAtOnceKeepOneKey)
{
    const char* run = std::getenv("XDG_RUNTIME_DIR");
    ASSERT_TRUE(run);
    for (int round = 0; round < 24; ++round) {
        forgetAll();
        const bool twoData = round % 2;
        const std::string data[2] = {dir_ + "/data0", dir_ + (twoData ? "/data1" : "/data0")};
        std::array<EnvChange, 2> envs;
        for (int w = 0; w < 2; ++w)
            envs[w] = {{"XDG_DATA_HOME", data[w]},
                       {"XDG_RUNTIME_DIR", twoData || w ? std::nullopt : std::optional(run)}};
        const std::vector<std::string> folders{data[0] + "/quillmar", data[1] + "/quillmar"};
        const auto outcomes = startTwo(folders, envs);
        if (twoData)
            expectKept(folders, {outcomes[0], outcomes[1]}, round);
        else
            expectKept({folders[0]}, {outcomes[0] + outcomes[1]}, round);
    }
}

using Made = std::optional<SnippetResult<platform::SymmetricKey>>;

TEST_F(FirstStartTest, AKeyKeptWhileACreateWaitsForTheLockIsTheOneItGives)
{
    forgetAll();
    HeldFileLock lock(KeyringKeySource::lockFile());
    ASSERT_TRUE(lock.held());
    KeyringKeySource source;
    Made made;
    std::thread creating([&] { made = source.create(); });
    const std::string other = KeyringKeySource::encode(*platform::SymmetricKey::random());
    ASSERT_FALSE(keyring_.store(KeyringKeySource::kAccount, KeyringKeySource::kLabel, other));
    lock.release();
    creating.join();
    ASSERT_TRUE(*made) << made->error().message;
    EXPECT_EQ(KeyringKeySource::encode(made->value()), other);
    EXPECT_EQ(keyring_.lookup(KeyringKeySource::kAccount).secret, other);
    EXPECT_EQ(fs::status(KeyringKeySource::lockFile()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(FirstStartTest, ACreateWaitingForTheLockGivesUpWhenCancelled)
{
    forgetAll();
    HeldFileLock lock(KeyringKeySource::lockFile());
    ASSERT_TRUE(lock.held());
    KeyringKeySource source;
    Made made;
    std::atomic<bool> done = false;
    std::thread creating([&] {
        made = source.create();
        done = true;
    });
    // A cancel reaches only a wait already begun: cancelled until it ends.
    for (int i = 0; i < 6000 && !done; ++i) {
        source.cancel();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const bool gaveUp = done;
    lock.release();
    creating.join();
    ASSERT_TRUE(gaveUp);
    ASSERT_FALSE(*made);
    EXPECT_EQ(made->error().keyring, platform::KeyringState::silent);
    EXPECT_FALSE(keyring_.lookup(KeyringKeySource::kAccount).secret);

    auto again = source.create();
    ASSERT_TRUE(again) << again.error().message;
    EXPECT_EQ(keyring_.lookup(KeyringKeySource::kAccount).secret, KeyringKeySource::encode(again.value()));
}

// The store's ask: a cancel sent before it waits for the lock ends it as
// one sent while it waits does; a later ask makes the key.
TEST_F(FirstStartTest, ACancelEndsAnAskBegunBeforeItThoughItDidNotWaitYet)
{
    forgetAll();
    platform::testing::HeldBusName holder(KeyringKeySource::kLockName);
    ASSERT_TRUE(holder.held());
    auto source = std::make_shared<KeyringKeySource>();
    auto ask = source->askFromNow();
    source->cancel();
    auto made = std::async(std::launch::async, [&] { return ask->create(); });
    const bool ended = made.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    holder.release();
    ASSERT_TRUE(ended) << "the cancel was lost";
    const auto cancelled = made.get();
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().keyring, platform::KeyringState::silent);
    EXPECT_FALSE(keyring_.lookup(KeyringKeySource::kAccount).secret);

    auto again = source->askFromNow()->create();
    ASSERT_TRUE(again) << again.error().message;
    EXPECT_EQ(keyring_.lookup(KeyringKeySource::kAccount).secret, KeyringKeySource::encode(again.value()));
}

TEST_F(FirstStartTest, AnItemThatIsThereIsNeverReplacedByANewKey)
{
    for (const std::string& kept : {std::string("not base64 of a key"), std::string("\xff\xfe not text")}) {
        forgetAll();
        ASSERT_FALSE(keyring_.store(KeyringKeySource::kAccount, "other", kept));
        auto made = KeyringKeySource().create();
        ASSERT_FALSE(made);
        EXPECT_EQ(made.error().message, "The snippets key in your keyring is damaged.");
        SnippetLibrary library = libraryIn(dir_ + "/a");
        library.load();
        ASSERT_TRUE(library.loadError());
        EXPECT_EQ(*library.loadError(), "Your snippets can't be saved. The snippets key in your keyring is damaged.");
        EXPECT_FALSE(fs::exists(dir_ + "/a/snippets"));
        EXPECT_EQ(keyring_.lookup(KeyringKeySource::kAccount).secret, kept);
    }
}

TEST_F(FirstStartTest, ALinkInPlaceOfTheLockIsNeverFollowed)
{
    forgetAll();
    const std::string lock = KeyringKeySource::lockFile();
    fs::remove(lock);
    fs::create_symlink(dir_ + "/elsewhere", lock);
    auto made = KeyringKeySource().create();
    fs::remove(lock);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().message.rfind("Couldn't lock " + lock + ": ", 0), 0u) << made.error().message;
    EXPECT_FALSE(fs::exists(dir_ + "/elsewhere"));
    EXPECT_FALSE(keyring_.lookup(KeyringKeySource::kAccount).secret);
}

}  // namespace
}  // namespace quillmar

int main(int argc, char** argv)
{
    if (argc == 5 && std::string_view(argv[1]) == "--start-and-add") {
        const std::string out = quillmar::startAndAdd(argv[2], std::atoll(argv[3]), argv[4]);
        std::fwrite(out.data(), 1, out.size(), stdout);
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
