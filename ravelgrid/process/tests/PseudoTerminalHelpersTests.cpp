#include "ravelgrid/process/PseudoTerminalHelpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

using namespace ravelgrid;

namespace {

struct Finished {
    std::string output;
    int status = -1;
};

// Reads the master until the child's side closes, then waits for the child.
Finished finish(const PseudoTerminalStart& start)
{
    Finished result;
    char buffer[4096];
    for (;;) {
        pollfd fd{start.masterFd, POLLIN, 0};
        if (poll(&fd, 1, 10000) <= 0)
            break;
        const ssize_t n = read(start.masterFd, buffer, sizeof buffer);
        if (n > 0) {
            result.output.append(buffer, static_cast<std::size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            break;
        }
    }
    waitpid(start.pid, &result.status, 0);
    close(start.masterFd);
    return result;
}

Finished run(const std::vector<std::string>& args, const std::vector<std::string>& env,
             const std::optional<std::string>& dir = std::nullopt, winsize size = {24, 80, 0, 0})
{
    auto start = PseudoTerminalHelpers::forkAndExec(args.empty() ? "/bin/sh" : args[0], args, env, dir, size);
    EXPECT_TRUE(start.has_value());
    if (!start)
        return {};
    return finish(*start);
}

}  // namespace

TEST(PseudoTerminalHelpers, CStringArraysAreNullTerminatedCopies)
{
    auto empty = PseudoTerminalHelpers::makeCStringArray({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count(), 0u);
    EXPECT_EQ(empty->data()[0], nullptr);

    std::vector<std::string> source{"a=1", "", "ünïcode"};
    auto array = PseudoTerminalHelpers::makeCStringArray(source);
    ASSERT_TRUE(array);
    source[0] = "changed";
    EXPECT_STREQ(array->data()[0], "a=1");
    EXPECT_STREQ(array->data()[1], "");
    EXPECT_STREQ(array->data()[2], "ünïcode");
    EXPECT_EQ(array->data()[3], nullptr);
    CStringArray moved = std::move(*array);
    EXPECT_STREQ(moved.data()[0], "a=1");
}

TEST(PseudoTerminalHelpers, EmptyEnvironmentIsEmptyNotInherited)
{
    const auto result = run({"/usr/bin/env"}, {});
    EXPECT_EQ(result.output, "");
    EXPECT_TRUE(WIFEXITED(result.status));
    EXPECT_EQ(WEXITSTATUS(result.status), 0);
}

TEST(PseudoTerminalHelpers, NoPathSearchAndUnexecutableProgramsExit127)
{
    for (const char* path : {"sh", "/etc/hostname", "/nonexistent"}) {
        auto start = PseudoTerminalHelpers::forkAndExec(path, {path}, {"PATH=/bin:/usr/bin"}, std::nullopt,
                                                        winsize{24, 80, 0, 0});
        ASSERT_TRUE(start) << path << ": the start itself succeeds";
        const auto result = finish(*start);
        EXPECT_TRUE(WIFEXITED(result.status)) << path;
        EXPECT_EQ(WEXITSTATUS(result.status), 127) << path;
    }
}

TEST(PseudoTerminalHelpers, ChildHasAControllingTerminalOfTheGivenSize)
{
    const auto result = run({"/bin/sh", "-c",
                             "stty size; test -t 0 && test -t 1 && test -t 2 && echo tty; "
                             "ps -o tty= -p $$ | grep -q pts && echo ctty"},
                            {"PATH=/bin:/usr/bin"}, std::nullopt, winsize{33, 77, 0, 0});
    EXPECT_EQ(result.output, "33 77\r\ntty\r\nctty\r\n");
}

TEST(PseudoTerminalHelpers, WorkingDirectoryIsEnteredOrIgnored)
{
    EXPECT_EQ(run({"/bin/pwd"}, {}, "/usr").output, "/usr\r\n");
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(run({"/bin/pwd"}, {}, "/no/such/dir").output, std::string(here) + "\r\n");
}

TEST(PseudoTerminalHelpers, MasterIsCloseOnExecAndNonBlocking)
{
    auto start =
        PseudoTerminalHelpers::forkAndExec("/bin/sh", {"sh", "-c", "sleep 5"}, {}, std::nullopt, winsize{24, 80, 0, 0});
    ASSERT_TRUE(start);
    EXPECT_TRUE(fcntl(start->masterFd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(start->masterFd, F_GETFL) & O_NONBLOCK);
    kill(start->pid, SIGKILL);
    finish(*start);
}

TEST(PseudoTerminalHelpers, WindowSizeAndAvailableBytes)
{
    auto start = PseudoTerminalHelpers::forkAndExec("/bin/sh", {"sh", "-c", "printf 12345; sleep 5"}, {}, std::nullopt,
                                                    winsize{24, 80, 0, 0});
    ASSERT_TRUE(start);
    const winsize bigger{50, 132, 1320, 800};
    EXPECT_EQ(PseudoTerminalHelpers::setWinSize(start->masterFd, bigger), 0);
    winsize now{};
    ASSERT_EQ(ioctl(start->masterFd, TIOCGWINSZ, &now), 0);
    EXPECT_EQ(now.ws_row, 50);
    EXPECT_EQ(now.ws_col, 132);
    EXPECT_EQ(now.ws_xpixel, 1320);

    AvailableBytes available;
    for (int i = 0; i < 500 && available.size < 5; ++i) {
        available = PseudoTerminalHelpers::availableBytes(start->masterFd);
        usleep(10000);
    }
    EXPECT_EQ(available.status, 0);
    EXPECT_EQ(available.size, 5);
    kill(start->pid, SIGKILL);
    finish(*start);

    const auto closed = PseudoTerminalHelpers::availableBytes(start->masterFd);
    EXPECT_LT(closed.status, 0);
    EXPECT_EQ(closed.size, 0);
    EXPECT_LT(PseudoTerminalHelpers::setWinSize(-1, bigger), 0);
}
