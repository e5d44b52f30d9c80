#include "ravelgrid/process/ProcReader.h"
#include "ravelgrid/process/RemoteSessionProbe.h"
#include "ravelgrid/process/tests/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace ravelgrid;
using namespace ravelgrid::test;

namespace {

// A local tab, a tmux server of the test's own (its socket and config), and
// two probes of the tab: one that reads the ids handed out since its last
// look, one that walks all of /proc at each look.
class MultiplexerTab : public testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/bin/tmux", X_OK) != 0)
            GTEST_SKIP() << "tmux is not installed";
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::ofstream(dir_ / "conf") << "set -g status off\n";
        // A pane that holds a connection to the listener, then says where it is.
        std::ofstream(dir_ / "pane.sh") << "exec 3<>/dev/tcp/127.0.0.1/" << host_.port() << " || exit 1\n"
                                        << "[ -z \"$2\" ] || exec 4>\"$2\"\n"
                                        << "echo $$ >" << dir_.string() << "/$1.tmp\n"
                                        << "mv " << dir_.string() << "/$1.tmp " << dir_.string() << "/$1\n"
                                        << "exec sleep 600\n";
        tmux_ = "tmux -S " + dir_.string() + "/sock -f " + dir_.string() + "/conf ";
        ASSERT_NE(host_.port(), 0);
        ASSERT_TRUE(process_.startProcess("/bin/bash", {"--norc", "--noprofile"}));
        ASSERT_TRUE(proc::slaveDevice(process_.childfd(), slave_));
        walk_.maxNewPids = 0;
        scanning_.emplace(process_.childfd(), process_.shellPid());
        walking_.emplace(process_.childfd(), process_.shellPid(), walk_);
        // Until it runs bash, the shell holds the listener.
        ASSERT_TRUE(eventually([&] { return !scanned().remote && !walked().remote; }, kTimeout));
    }
    void TearDown() override
    {
        if (!tmux_.empty())
            std::system((tmux_ + "kill-server 2>/dev/null").c_str());
        for (pid_t stray : strays_)
            kill(stray, SIGKILL);
        if (process_.shellPid() > 0)
            killSession(process_.shellPid());
        std::filesystem::remove_all(dir_);
    }

    void type(const std::string& line)
    {
        const std::string text = line + "\n";
        process_.send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    std::string pane(const std::string& name, const std::string& terminal = "") const
    {
        return "\"bash " + dir_.string() + "/pane.sh " + name + " " + terminal + "\"";
    }
    pid_t waitFor(const std::string& name) const
    {
        pid_t pid = 0;
        eventually([&] { return bool(std::ifstream(dir_ / name) >> pid); }, kTimeout);
        return pid;
    }
    std::string tmuxSays(const std::string& command) const
    {
        std::string out;
        if (FILE* pipe = popen((tmux_ + command + " 2>/dev/null").c_str(), "r")) {
            char buffer[256];
            while (fgets(buffer, sizeof buffer, pipe))
                out += buffer;
            pclose(pipe);
        }
        return out;
    }
    bool holdsTab(pid_t pid) const
    {
        std::error_code error;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error))
            if (std::filesystem::read_symlink(fd.path(), error) == slave_)
                return true;
        return false;
    }
    // Detaches the tab's client and waits until it has gone and the server
    // has let go of the tab's terminal: nothing of tmux can write there.
    void detach()
    {
        const pid_t client =
            std::atoi(tmuxSays("list-clients -F '#{client_pid} #{client_tty}' | grep ' " + slave_ + "$'").c_str());
        ASSERT_GT(client, 0) << "no client attached in the tab";
        const pid_t server = std::atoi(tmuxSays("display-message -p -t t '#{pid}'").c_str());
        ASSERT_EQ(std::system((tmux_ + "detach-client -t " + slave_).c_str()), 0);
        ASSERT_TRUE(eventually([&] { return processGone(client) && !holdsTab(server); }, kTimeout));
    }
    void attach() { type("unset TMUX; " + tmux_ + "attach -t t"); }

    RemoteSessionProbe::Look scanned() { return scanning_->look(); }
    // A process started just before makes the look walk all of /proc.
    RemoteSessionProbe::Look walked()
    {
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        waitpid(child, nullptr, 0);
        return walking_->look();
    }
    bool bothRemote(pid_t pid)
    {
        const auto a = scanned(), b = walked();
        return a.remote && a.remotePid == pid && b.remote && b.remotePid == pid;
    }

    const std::filesystem::path dir_ =
        std::filesystem::temp_directory_path() / ("rg-mux-probe-" + std::to_string(getpid()));
    LoopbackHost host_;
    MainLoopScope main_;
    RecordingDelegate recorder_;
    LocalProcess process_{&recorder_};
    std::string tmux_;
    std::string slave_;
    RemoteSessionProbe::Limits walk_;
    std::optional<RemoteSessionProbe> scanning_;
    std::optional<RemoteSessionProbe> walking_;
    std::vector<pid_t> strays_;  // left outside the tab's session
};

}  // namespace

// tmux started in the tab: while its client is attached, the server holds
// the tab's terminal and a pane's connection keeps the tab remote; once the
// client has detached, the pane still connected no longer counts, at the
// first look of either kind, though a client runs in another of its panes,
// and counts again once a client attaches in the tab.
TEST_F(MultiplexerTab, AServerStartedInTheTabCountsOnlyWhileAttached)
{
    type("unset TMUX; " + tmux_ + "new-session -s t " + pane("remote"));
    const pid_t remote = waitFor("remote");
    ASSERT_GT(remote, 0);
    EXPECT_TRUE(eventually([&] { return bothRemote(remote); }, kTimeout));
    ASSERT_EQ(std::system((tmux_ + "new-window -d -t t: \"env -u TMUX " + tmux_ + "-C attach -t t\"").c_str()), 0);
    ASSERT_TRUE(eventually(
        [&] {
            const std::string clients = tmuxSays("list-clients");
            return std::count(clients.begin(), clients.end(), '\n') == 2;
        },
        kTimeout));
    for (int round = 0; round < 2; ++round) {
        detach();
        EXPECT_FALSE(scanned().remote) << round;
        EXPECT_FALSE(walked().remote) << round;
        EXPECT_FALSE(processGone(remote));
        attach();
        EXPECT_TRUE(eventually([&] { return bothRemote(remote); }, kTimeout)) << round;
    }
}

// A server started elsewhere and attached from the tab counts the same way;
// a pane that itself holds the tab's terminal counts while it lives, as any
// process of ours that holds it, attached or not.
TEST_F(MultiplexerTab, AServerStartedElsewhereCountsOnlyWhileAttached)
{
    ASSERT_EQ(std::system((tmux_ + "new-session -d -s t -x 80 -y 24 " + pane("remote")).c_str()), 0);
    const pid_t remote = waitFor("remote");
    ASSERT_GT(remote, 0);
    EXPECT_FALSE(scanned().remote);
    EXPECT_FALSE(walked().remote);
    attach();
    EXPECT_TRUE(eventually([&] { return bothRemote(remote); }, kTimeout));
    detach();
    EXPECT_FALSE(scanned().remote);
    EXPECT_FALSE(walked().remote);
    attach();
    EXPECT_TRUE(eventually([&] { return bothRemote(remote); }, kTimeout));

    ASSERT_EQ(std::system((tmux_ + "new-window -d -t t: " + pane("holder", slave_)).c_str()), 0);
    const pid_t holder = waitFor("holder");
    ASSERT_GT(holder, 0);
    detach();
    EXPECT_TRUE(bothRemote(holder));
    kill(holder, SIGKILL);
    EXPECT_TRUE(eventually([&] { return !scanned().remote && !walked().remote; }, kTimeout));
}

// A process named as a multiplexer that left the session holding the tab's
// terminal (a client started with setsid) can write there: it counts while
// it holds it, look after look.
TEST_F(MultiplexerTab, AMultiplexerOutsideTheSessionCountsWhileItHoldsTheTerminal)
{
    std::filesystem::copy_file("/bin/bash", dir_ / "tmux-relay");
    type("setsid -f " + (dir_ / "tmux-relay").string() + " -c 'exec 3<>/dev/tcp/127.0.0.1/" +
         std::to_string(host_.port()) + "; echo $$ >" + (dir_ / "relay").string() + "; read -t 600 -u 3'");
    const pid_t relay = waitFor("relay");
    ASSERT_GT(relay, 0);
    strays_.push_back(relay);
    for (int round = 0; round < 5; ++round)
        EXPECT_TRUE(bothRemote(relay)) << round;
    kill(relay, SIGKILL);
    EXPECT_TRUE(eventually([&] { return !scanned().remote && !walked().remote; }, kTimeout));
}

// A multiplexer whose server is its client's fork, found in the tab's
// session before it leaves it (as dtach or screen start): the server and a
// pane it starts once outside, found before any look saw it leave, count
// while the client, connected to it, is in the tab, and no longer once the
// client has gone.
TEST_F(MultiplexerTab, AServerFoundInTheSessionBeforeItLeftCountsOnlyWhileAttached)
{
    std::filesystem::create_symlink("/usr/bin/python3", dir_ / "dtach");
    std::ofstream(dir_ / "mux.py") << R"(import os, socket, sys, time
d, port = sys.argv[1], int(sys.argv[2])
def say(name):
    open(d + "/" + name + ".tmp", "w").write(str(os.getpid()))
    os.rename(d + "/" + name + ".tmp", d + "/" + name)
client, server = socket.socketpair()
if os.fork() == 0:
    say("server")
    while not os.path.exists(d + "/go"):
        time.sleep(0.01)
    os.setsid()
    quiet = os.open("/dev/null", os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(quiet, fd)
    if os.fork() == 0:
        remote = socket.create_connection(("127.0.0.1", port))
        os.set_inheritable(remote.fileno(), True)
        say("pane")
        os.execvp("sleep", ["sleep", "600"])
    time.sleep(600)
say("client")
time.sleep(600)
)";
    type((dir_ / "dtach").string() + " " + (dir_ / "mux.py").string() + " " + dir_.string() + " " +
         std::to_string(host_.port()));
    const pid_t client = waitFor("client"), server = waitFor("server");
    ASSERT_GT(client, 0);
    ASSERT_GT(server, 0);
    strays_.push_back(server);
    EXPECT_FALSE(scanned().remote);
    EXPECT_FALSE(walked().remote);
    std::ofstream(dir_ / "go").flush();
    const pid_t pane = waitFor("pane");
    ASSERT_GT(pane, 0);
    strays_.push_back(pane);
    EXPECT_TRUE(eventually([&] { return bothRemote(pane); }, kTimeout));
    kill(client, SIGKILL);
    ASSERT_TRUE(eventually([&] { return processGone(client); }, kTimeout));
    EXPECT_FALSE(scanned().remote);
    EXPECT_FALSE(walked().remote);
}

// sudo ssh -f in a tmux window: another account's fork that holds a
// connection and outlives its pane counts while a client in the tab is
// attached, look after look of either kind, no longer once detached, and
// again once a client attaches anew.
TEST_F(MultiplexerTab, AForkThatOutlivedItsPaneCountsAgainOnceReattached)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run a pane as another account";
    // Each run's own account, so that copies run at once do not take each other's forks for theirs.
    const uid_t account = 200000 + static_cast<uid_t>(getpid() % 100000);
    const auto out = dir_ / "out";
    std::filesystem::create_directories(out);
    std::filesystem::permissions(out, std::filesystem::perms::all);
    std::ofstream(dir_ / "fork.py") << R"(import os, socket, sys, time
d, port = sys.argv[1], int(sys.argv[2])
def say(name):
    open(d + "/" + name + ".tmp", "w").write(str(os.getpid()))
    os.rename(d + "/" + name + ".tmp", d + "/" + name)
held = socket.create_connection(("127.0.0.1", port))
say("pane")
while not os.path.exists(d + "/go"):
    time.sleep(0.01)
if os.fork() == 0:
    os.setsid()
    remote = socket.create_connection(("127.0.0.1", port))
    say("fork")
    time.sleep(600)
while not os.path.exists(d + "/fork"):
    time.sleep(0.01)
os._exit(0)
)";
    ASSERT_EQ(std::system((tmux_ + "new-session -d -s t -x 80 -y 24 'sleep 600'").c_str()), 0);
    const std::string id = std::to_string(account);
    ASSERT_EQ(std::system((tmux_ + "new-window -d -t t: 'setpriv --reuid=" + id + " --regid=" + id +
                           " --clear-groups /usr/bin/python3 " + (dir_ / "fork.py").string() + " " + out.string() +
                           " " + std::to_string(host_.port()) + "'")
                              .c_str()),
              0);
    attach();
    const pid_t paneProcess = [&] {
        pid_t pid = 0;
        eventually([&] { return bool(std::ifstream(out / "pane") >> pid); }, kTimeout);
        return pid;
    }();
    ASSERT_GT(paneProcess, 0);
    // Both probes have seen the pane while attached before it forks.
    ASSERT_TRUE(eventually([&] { return bothRemote(paneProcess); }, kTimeout));
    std::ofstream(out / "go").flush();
    pid_t forked = 0;
    ASSERT_TRUE(
        eventually([&] { return bool(std::ifstream(out / "fork") >> forked) && processGone(paneProcess); }, kTimeout));
    strays_.push_back(forked);
    EXPECT_TRUE(eventually([&] { return bothRemote(forked); }, kTimeout));
    for (int look = 0; look < 3; ++look)
        EXPECT_TRUE(bothRemote(forked)) << look;
    detach();
    EXPECT_FALSE(scanned().remote);
    EXPECT_FALSE(walked().remote);
    attach();
    EXPECT_TRUE(eventually([&] { return bothRemote(forked); }, kTimeout));
    kill(forked, SIGKILL);
    EXPECT_TRUE(eventually([&] { return !scanned().remote && !walked().remote; }, kTimeout));
}

// A process of ours named as a multiplexer that left the session, holds a
// connection and feeds the tab through a pipe (a relay whose output a
// process in the tab prints) writes there as surely as one holding the
// terminal: it counts while it lives, whichever way a look finds processes.
TEST_F(MultiplexerTab, AMultiplexerThatFeedsTheTabThroughAPipeCountsWhileItLives)
{
    std::filesystem::copy_file("/bin/bash", dir_ / "tmux: relay");
    type("setsid -f '" + (dir_ / "tmux: relay").string() + "' -c 'exec 3<>/dev/tcp/127.0.0.1/" +
         std::to_string(host_.port()) + "; echo $$ >" + (dir_ / "relay").string() +
         "; read -t 600 -u 3' </dev/null 2>/dev/null | cat");
    const pid_t relay = waitFor("relay");
    ASSERT_GT(relay, 0);
    strays_.push_back(relay);
    EXPECT_TRUE(eventually([&] { return bothRemote(relay); }, kTimeout));
    for (int round = 0; round < 5; ++round)
        EXPECT_TRUE(bothRemote(relay)) << round;
    kill(relay, SIGKILL);
    EXPECT_TRUE(eventually([&] { return !scanned().remote && !walked().remote; }, kTimeout));
}
