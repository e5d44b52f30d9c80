// The headless mode of the rgdump tool, run as a program.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Run {
    std::string out;
    int code = -1;
};

Run rgdump(const std::string& arguments)
{
    Run run;
    FILE* pipe = popen((std::string(RGDUMP_PATH) + " " + arguments + " 2>/dev/null").c_str(), "r");
    if (!pipe)
        return run;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = pclose(pipe);
    run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

TEST(RgdumpHeadless, DumpsTheScreenCursorAndExitStatus)
{
    const auto run = rgdump("--cols 20 --rows 3 -- /bin/sh -c 'printf \"one\\ntwo\"; exit 3'");
    EXPECT_EQ(run.code, 0);
    EXPECT_EQ(run.out, "one\ntwo\n\ncursor 3,1\nstatus 768\nexited 3\n");
    const auto killed = rgdump("--cols 20 --rows 2 -- sh -c 'kill -9 $$'");
    EXPECT_EQ(killed.out, "\n\ncursor 0,0\nstatus 9\nkilled by signal 9\n") << "bare names are found along PATH";
}

TEST(RgdumpHeadless, TypesWaitsAndResizesInOrder)
{
    const auto run =
        rgdump("--cols 30 --rows 4 --wait-for ready --type 'abc\\r' --wait-for 'got abc' --resize 40x5 "
               "--type '\\x71\\r' -- "
               "/bin/sh -c 'stty -echo; echo ready; read x; echo \"got $x\"; read y; echo \"$y\"; stty size'");
    EXPECT_EQ(run.code, 0);
    EXPECT_NE(run.out.find("ready\ngot abc\nq\n5 40\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("exited 0\n"), std::string::npos);
}

TEST(RgdumpHeadless, BadUsageTimeoutsAndMissingCommandsAreClearFailures)
{
    EXPECT_EQ(rgdump("--resize 5 -- /bin/true").code, 2);
    EXPECT_EQ(rgdump("--type '\\q' -- /bin/true").code, 2) << "unknown escape";
    EXPECT_EQ(rgdump("--cols 10 --").code, 2) << "no command";
    EXPECT_EQ(rgdump("-- no-such-command-here").code, 1);
    const auto slow = rgdump("--timeout 1 --rows 2 -- /bin/sh -c 'echo waiting; exec sleep 3600'");
    EXPECT_EQ(slow.code, 3);
    EXPECT_EQ(slow.out.find("status"), std::string::npos) << "no status for a command that did not end";
    EXPECT_EQ(slow.out.substr(0, 8), "waiting\n");
}

// One chunk of screen alignment tests on a million cells can keep the
// terminal busy for seconds inside a single feed; the time limit holds
// anyway (between feeds, or inside one by the watchdog). Without it the
// command would run for ever.
TEST(RgdumpHeadless, TheTimeoutHoldsWhileTheTerminalIsBusyWithOneFeed)
{
    const auto busy = rgdump("--timeout 1 --cols 1000 --rows 1000 -- /bin/sh -c "
                             "'stty raw -echo; while :; do printf \"\\033#8\\033#8\\033#8\\033#8\"; done'");
    EXPECT_EQ(busy.code, 3);
    EXPECT_EQ(busy.out.find("status"), std::string::npos) << "no status for a command that did not end";
}
