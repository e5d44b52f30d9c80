#include "ravelgrid/process/RemoteLoginProbe.h"
#include "ravelgrid/process/RemoteSessionProbe.h"
#include "ravelgrid/process/tests/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace ravelgrid;
using namespace ravelgrid::test;
using namespace std::chrono_literals;

TEST(RemoteLoginProbe, NamesRemoteClientsByNameOrPath)
{
    for (const char* remote : {"ssh", "/usr/bin/ssh", "/usr/bin/ssh (deleted)", "mosh-client", "telnet.netkit",
                               "/bin/nc.openbsd", "ssh-copy-id", "autossh", "sftp"}) {
        EXPECT_TRUE(RemoteLoginProbe::isRemoteLoginProgram(remote)) << remote;
    }
    for (const char* local : {"", "/", "sshd", "ssh-keygen", "ssh-add", "ssh-agent", "sshfs", "bash", "/tmp/ssh/zsh",
                              ".ssh", "xssh", "ssh (deleted) x"}) {
        EXPECT_FALSE(RemoteLoginProbe::isRemoteLoginProgram(local)) << local;
    }
}

// The session is remote while the shell runs a remote client, whether a
// script named ssh (told by its command name) or a binary named ssh (by its
// executable), and local again after.
TEST(RemoteSessionProbe, FollowsWhatTheShellRuns)
{
    MainLoopScope main;
    RecordingDelegate recorder;
    const auto dir = std::filesystem::temp_directory_path() / ("rg-probe-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "script");
    std::filesystem::create_directories(dir / "binary");
    {
        std::ofstream script(dir / "script" / "ssh");
        script << "#!/bin/sh\necho in-script; read line\n";
    }
    std::filesystem::permissions(dir / "script" / "ssh", std::filesystem::perms::owner_all);
    std::filesystem::copy_file("/bin/cat", dir / "binary" / "ssh");

    LocalProcess process(&recorder);
    ASSERT_TRUE(
        process.startProcess("/bin/bash", {"--norc", "--noprofile", "-c",
                                           "set -m; echo at-shell; read line; " + (dir / "script" / "ssh").string() +
                                               "; echo back; read line; " + (dir / "binary" / "ssh").string() +
                                               "; echo again; read line; cat; echo done; read line"}));
    auto runUntilOutput = [&](const std::string& text) {
        return main.loop.runUntil([&] { return recorder.outputContains(text); }, kTimeout);
    };
    auto type = [&](std::string_view text) {
        process.send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    };
    RemoteSessionProbe probe(process.childfd(), process.shellPid());
    auto remote = [&] { return probe.look().remote; };

    ASSERT_TRUE(runUntilOutput("at-shell"));
    EXPECT_TRUE(eventually([&] { return !remote(); }, kTimeout));
    type("\r");
    ASSERT_TRUE(runUntilOutput("in-script"));
    EXPECT_TRUE(eventually([&] { return remote(); }, kTimeout));
    type("\r");
    ASSERT_TRUE(runUntilOutput("back"));
    EXPECT_TRUE(eventually([&] { return !remote(); }, kTimeout)) << "the shell is local again";
    type("\r");
    type("probe\r");
    ASSERT_TRUE(runUntilOutput("probe\r\nprobe"));
    EXPECT_TRUE(remote());
    type("\x04");
    ASSERT_TRUE(runUntilOutput("again"));
    type("\r");
    type("local\r");
    ASSERT_TRUE(runUntilOutput("local\r\nlocal"));
    EXPECT_FALSE(remote()) << "a local program keeps trust";
    type("\x04");
    ASSERT_TRUE(runUntilOutput("done"));
    process.terminate();
    std::filesystem::remove_all(dir);
}

// The job the shell gave its terminal to is named; the shell itself, a
// pipe and a closed terminal are not.
TEST(RemoteLoginProbe, NamesTheForegroundJobButNotTheShell)
{
    EXPECT_EQ(RemoteLoginProbe::foregroundProgram(-1, 1), std::nullopt);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(RemoteLoginProbe::foregroundProgram(fds[0], getpid()), std::nullopt) << "not a terminal";
    close(fds[0]);
    close(fds[1]);

    MainLoopScope main;
    RecordingDelegate recorder;
    LocalProcess process(&recorder);
    ASSERT_TRUE(process.startProcess(
        "/bin/bash", {"--norc", "--noprofile", "-c", "set -m; echo at-shell; read line; cat; echo back; read line"}));
    auto type = [&](std::string_view text) {
        process.send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    };
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("at-shell"); }, kTimeout));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(process.foregroundProgram(), std::nullopt) << "the shell reads its own line";
    type("\r");
    EXPECT_TRUE(eventually([&] { return process.foregroundProgram() == std::optional<std::string>("cat"); }, kTimeout));
    type("\x04");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("back"); }, kTimeout));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(process.foregroundProgram(), std::nullopt);
    process.terminate();
    EXPECT_EQ(process.foregroundProgram(), std::nullopt);
}
