#include "platform/Spawn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using platform::SpawnRequest;
using platform::SpawnResult;
using namespace std::chrono_literals;

SpawnRequest shell(const std::string& script)
{
    SpawnRequest r;
    r.executable = "/bin/sh";
    r.arguments = {"-c", script};
    return r;
}

// A process that is gone or only a zombie no longer counts as left behind.
bool processAlive(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return false;
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

pid_t readPid(const std::filesystem::path& file)
{
    std::ifstream in(file);
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "spawn-XXXXXX").string();
        path_ = ::mkdtemp(tmpl.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

TEST(Spawn, CollectsOutputAndExitStatus)
{
    auto r = platform::spawn(shell("printf 'a b\\nc'; exit 3"));
    EXPECT_EQ(r.ending, SpawnResult::Ending::exited);
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.output, "a b\nc");
    EXPECT_FALSE(r.outputTruncated);

    // Arguments reach the child verbatim, spaces and all.
    SpawnRequest args;
    args.executable = "/bin/echo";
    args.arguments = {"one two", "", "three"};
    EXPECT_EQ(platform::spawn(args).output, "one two  three\n");

    // Standard input is empty, never ours.
    EXPECT_EQ(platform::spawn(shell("cat; echo end")).output, "end\n");
}

TEST(Spawn, StandardErrorGoesNowhereAndCannotBlockTheChild)
{
    // Far more than a pipe buffer on stderr: a tool writing there must still finish.
    auto r = platform::spawn(shell("head -c 2000000 /dev/zero >&2; echo done"));
    EXPECT_EQ(r.ending, SpawnResult::Ending::exited);
    EXPECT_EQ(r.output, "done\n");
}

TEST(Spawn, FailuresToStartAreReportedNotThrown)
{
    SpawnRequest missing;
    missing.executable = "/nonexistent/tool";
    auto r = platform::spawn(missing);
    EXPECT_EQ(r.ending, SpawnResult::Ending::failedToStart);
    EXPECT_EQ(r.code, ENOENT);
    EXPECT_TRUE(r.output.empty());

    TempDir dir;
    auto notExecutable = dir.path() / "tool";
    std::ofstream(notExecutable) << "#!/bin/sh\necho hi\n";
    SpawnRequest plain;
    plain.executable = notExecutable.string();
    EXPECT_EQ(platform::spawn(plain).ending, SpawnResult::Ending::failedToStart);

    // Not searched in PATH.
    SpawnRequest bare;
    bare.executable = "sh";
    EXPECT_EQ(platform::spawn(bare).ending, SpawnResult::Ending::failedToStart);
}

TEST(Spawn, DeathBySignalIsNotAnExitStatus)
{
    auto r = platform::spawn(shell("kill -TERM $$"));
    EXPECT_EQ(r.ending, SpawnResult::Ending::signalled);
    EXPECT_EQ(r.code, SIGTERM);
}

TEST(Spawn, OutputIsBoundedWhileTheChildStillFinishes)
{
    auto req = shell("head -c 3000000 /dev/zero; exit 0");
    req.outputLimit = 1000;
    auto r = platform::spawn(req);
    EXPECT_EQ(r.ending, SpawnResult::Ending::exited);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.output.size(), 1000u);
    EXPECT_TRUE(r.outputTruncated);

    req = shell("printf 12345");
    req.outputLimit = 5;
    r = platform::spawn(req);
    EXPECT_EQ(r.output, "12345");
    EXPECT_FALSE(r.outputTruncated);
}

TEST(Spawn, EnvironmentChangesSetAndUnsetOnTopOfOurs)
{
    ::setenv("QM_SPAWN_KEEP", "kept", 1);
    ::setenv("QM_SPAWN_DROP", "dropped", 1);
    auto req = shell("echo \"$QM_SPAWN_KEEP|${QM_SPAWN_DROP-unset}|$QM_SPAWN_NEW\"");
    req.environmentChanges = {{"QM_SPAWN_DROP", std::nullopt}, {"QM_SPAWN_NEW", "a=b c"}};
    EXPECT_EQ(platform::spawn(req).output, "kept|unset|a=b c\n");
    ::unsetenv("QM_SPAWN_KEEP");
    ::unsetenv("QM_SPAWN_DROP");
}

TEST(Spawn, IgnoredSignalsOfTheParentAreNotInherited)
{
    // Qt applications and test runners ignore SIGPIPE; the tool must not.
    auto old = ::signal(SIGPIPE, SIG_IGN);
    auto r = platform::spawn(shell("awk '/SigIgn/ {print $2}' /proc/self/status"));
    ::signal(SIGPIPE, old);
    ASSERT_EQ(r.ending, SpawnResult::Ending::exited);
    const unsigned long ignored = std::stoul(r.output, nullptr, 16);
    EXPECT_EQ(ignored & (1ul << (SIGPIPE - 1)), 0ul);
}

TEST(Spawn, HangingToolIsKilledWithEverythingItStarted)
{
    TempDir dir;
    const auto self = dir.path() / "self.pid";
    const auto child = dir.path() / "child.pid";
    auto req =
        shell("echo $$ > '" + self.string() + "'; sleep 300 & echo $! > '" + child.string() + "'; echo started; wait");
    req.timeLimit = 400ms;
    const auto start = std::chrono::steady_clock::now();
    auto r = platform::spawn(req);
    const auto took = std::chrono::steady_clock::now() - start;
    // Cut off: left alone, the shell would wait for its sleep's 300 s.
    EXPECT_EQ(r.ending, SpawnResult::Ending::timedOut);
    EXPECT_EQ(r.output, "started\n");
    EXPECT_GE(took, 400ms);
    const pid_t shellPid = readPid(self);
    const pid_t sleepPid = readPid(child);
    ASSERT_GT(shellPid, 0);
    ASSERT_GT(sleepPid, 0);
    EXPECT_FALSE(processAlive(shellPid));
    // On a busy machine a killed process may take a moment to go.
    for (int i = 0; i < 3000 && processAlive(sleepPid); ++i)
        ::usleep(10000);
    EXPECT_FALSE(processAlive(sleepPid));
}

TEST(Spawn, TheLimitHoldsWhateverHappensToThePipe)
{
    // Closes its output but lingers: still cut off.
    auto req = shell("exec >&-; sleep 300");
    req.timeLimit = 300ms;
    EXPECT_EQ(platform::spawn(req).ending, SpawnResult::Ending::timedOut);

    // Ends, but leaves something holding the pipe: once the limit has passed,
    // its status counts. A limit a busy machine's shell still ends within.
    TempDir dir;
    const auto child = dir.path() / "child.pid";
    req = shell("sleep 300 & echo $! > '" + child.string() + "'; echo bye; exit 0");
    req.timeLimit = 5s;
    auto r = platform::spawn(req);
    EXPECT_EQ(r.ending, SpawnResult::Ending::exited);
    EXPECT_EQ(r.output, "bye\n");
    if (const pid_t sleepPid = readPid(child); sleepPid > 0)
        ::kill(sleepPid, SIGKILL);
}

}  // namespace
