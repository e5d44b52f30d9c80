#include "ravelgrid/process/ProcReader.h"
#include "ravelgrid/process/RemoteSessionProbe.h"
#include "ravelgrid/process/tests/ProcessTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <utility>

using namespace ravelgrid;
using namespace ravelgrid::test;
using namespace std::chrono_literals;

namespace {

pid_t parentOf(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    pid_t ppid = -1;
    fields >> state >> ppid;
    return ppid;
}

// Where an orphan of ours lands: init, or a subreaper above us.
bool orphaned(pid_t pid)
{
    const pid_t parent = parentOf(pid);
    for (pid_t up = getpid(); up > 1; up = parentOf(up))
        if (parent == up)
            return true;
    return parent == 1;
}

class Tab {
public:
    explicit Tab(const std::filesystem::path& dir) : dir_(dir)
    {
        started_ = process_.startProcess("/bin/bash", {"--norc", "--noprofile"});
        pid_ = process_.shellPid();
    }
    ~Tab() { killSession(pid_); }
    bool started() const { return started_; }
    void type(const std::string& text)
    {
        process_.send(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    // A client holding a connection that writes its pid once connected.
    std::string client(const LoopbackHost& host, const std::string& name) const
    {
        return "bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(host.port()) + "; echo $$ > " +
               (dir_ / name).string() + ".tmp; mv " + (dir_ / name).string() + ".tmp " + (dir_ / name).string() +
               "; exec sleep 3600'";
    }
    pid_t waitForClient(const std::string& name)
    {
        pid_t pid = 0;
        eventually(
            [&] {
                std::ifstream in(dir_ / name);
                return bool(in >> pid);
            },
            kTimeout);
        return pid;
    }
    LocalProcess& process() { return process_; }

private:
    MainLoopScope main_;
    RecordingDelegate recorder_;
    LocalProcess process_{&recorder_};
    std::filesystem::path dir_;
    bool started_ = false;
    pid_t pid_ = 0;
};

struct TempDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("rg-session-probe-" + std::to_string(getpid()));
    TempDir()
    {
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace

// A client that leaves the tab's session (setsid -f, a launcher that forks,
// starts a session and forks again) still writes to the tab through the
// terminal it holds open, so it still counts; one that let go of the
// terminal writes nowhere near it and does not.
TEST(RemoteSessionProbe, ClientsThatLeaveTheSessionStillCountWhileTheyHoldTheTerminal)
{
    TempDir dir;
    LoopbackHost host;
    ASSERT_NE(host.port(), 0);
    Tab tab(dir.path);
    ASSERT_TRUE(tab.started());
    const std::string daemonize = "python3 -c 'import os,sys\nif os.fork(): sys.exit()\nos.setsid()\nif os.fork(): "
                                  "sys.exit()\nos.execvp(sys.argv[1], sys.argv[1:])' ";
    const std::vector<std::pair<std::string, std::string>> forms = {
        {"setsid", "setsid -f " + tab.client(host, "setsid")},
        {"daemon", daemonize + tab.client(host, "daemon")},
    };
    for (const auto& [name, command] : forms) {
        tab.type(command + "\n");
        const pid_t client = tab.waitForClient(name);
        ASSERT_GT(client, 0) << name;
        ASSERT_TRUE(eventually([&] { return orphaned(client); }, kTimeout)) << name;
        // A probe that starts now finds the client only through the terminal it holds.
        RemoteSessionProbe probe(tab.process().childfd(), tab.process().shellPid());
        const auto look = probe.look();
        EXPECT_TRUE(look.remote) << name;
        EXPECT_EQ(look.remotePid, client) << name;
        kill(client, SIGKILL);
        EXPECT_TRUE(eventually([&] { return !probe.look().remote; }, kTimeout)) << name;
    }

    tab.type("setsid -f " + tab.client(host, "away") + " </dev/null >/dev/null 2>&1\n");
    const pid_t away = tab.waitForClient("away");
    ASSERT_TRUE(eventually([&] { return orphaned(away); }, kTimeout));
    RemoteSessionProbe probe(tab.process().childfd(), tab.process().shellPid());
    EXPECT_FALSE(probe.look().remote) << "it cannot write to the tab";
    kill(away, SIGKILL);
}

// A client whose connection another thread than its main one holds is read
// through that thread: when its main thread has ended (pthread_exit, or the
// raw exit of that thread alone), and when the other thread has a table of
// descriptors of its own (unshare), whether its main thread lives or not;
// whether it stays in the session or leaves it holding the terminal, and
// whether the look finds it among new ids or walks all of /proc.
TEST(RemoteSessionProbe, AClientIsLookedAtThroughTheThreadThatHoldsItsConnection)
{
    TempDir dir;
    LoopbackHost host;
    ASSERT_NE(host.port(), 0);
    Tab tab(dir.path);
    ASSERT_TRUE(tab.started());
    struct Case {
        const char* name;
        const char* how;
        const char* prefix;
    };
    for (const auto& [name, how, prefix] :
         {Case{"pthread_exit", "pthread", ""}, Case{"SYS_exit", "syscall", ""}, Case{"setsid", "pthread", "setsid -f "},
          Case{"own table", "table", ""}, Case{"own table, main ended", "table-pthread", ""},
          Case{"own table, setsid", "table-pthread", "setsid -f "}}) {
        RemoteSessionProbe scanning(tab.process().childfd(), tab.process().shellPid());
        // Until it runs bash, the shell holds our listening socket.
        ASSERT_TRUE(eventually([&] { return !scanning.look().remote; }, kTimeout)) << name;
        const std::string file = (dir.path / name).string();
        tab.type(std::string(prefix) + THREAD_EXIT_CLIENT + " " + std::to_string(host.port()) + " '" + file + "' " +
                 how + "\n");
        const pid_t client = tab.waitForClient(name);
        ASSERT_GT(client, 0) << name;
        proc::Stat stat;
        const bool mainEnds = std::string_view(how) != "table";
        ASSERT_TRUE(eventually(
            [&] {
                return proc::readStat(proc::ProcPath(client, "stat"), stat) == proc::Read::ok &&
                       (stat.state == 'Z') == mainEnds;
            },
            kTimeout))
            << name;
        RemoteSessionProbe::Limits walk;
        walk.maxNewPids = 0;
        RemoteSessionProbe walking(tab.process().childfd(), tab.process().shellPid(), walk);
        const auto scanned = scanning.look();
        const auto walked = walking.look();
        EXPECT_TRUE(scanned.remote) << name;
        EXPECT_EQ(scanned.remotePid, client) << name;
        EXPECT_TRUE(walked.remote) << name;
        EXPECT_EQ(walked.remotePid, client) << name;
        kill(client, SIGKILL);
        EXPECT_TRUE(eventually([&] { return !scanning.look().remote && !walking.look().remote; }, kTimeout)) << name;
    }
}

// A client whose main thread has ended and whose threads hand the process
// over to each other (each starts the next and ends) while it holds its
// connection: the thread a look reads it through may end under the read,
// yet no look takes it for ended or for local. In the session, looked at
// again and again; out of it, holding the terminal, found once by each new
// probe that walks /proc and by the probe that reads new ids as it starts.
TEST(RemoteSessionProbe, AClientWhoseThreadsHandOverIsNeverLocal)
{
    TempDir dir;
    LoopbackHost host;
    ASSERT_NE(host.port(), 0);
    Tab tab(dir.path);
    ASSERT_TRUE(tab.started());
    RemoteSessionProbe scanning(tab.process().childfd(), tab.process().shellPid());
    ASSERT_TRUE(eventually([&] { return !scanning.look().remote; }, kTimeout));
    RemoteSessionProbe::Limits walk;
    walk.maxNewPids = 0;

    tab.type(std::string(THREAD_EXIT_CLIENT) + " " + std::to_string(host.port()) + " " +
             (dir.path / "inside").string() + " handover\n");
    const pid_t inside = tab.waitForClient("inside");
    ASSERT_GT(inside, 0);
    RemoteSessionProbe walking(tab.process().childfd(), tab.process().shellPid(), walk);
    int scannedLocal = 0;
    int walkedLocal = 0;
    for (int i = 0; i < 1000; ++i) {
        scannedLocal += !scanning.look().remote;
        walkedLocal += !walking.look().remote;
    }
    EXPECT_EQ(scannedLocal, 0) << "of 1000 looks reading new ids";
    EXPECT_EQ(walkedLocal, 0) << "of 1000 looks walking /proc";
    kill(inside, SIGKILL);
    ASSERT_TRUE(eventually([&] { return !scanning.look().remote; }, kTimeout));

    // Started here in a session of its own, with the tab's terminal as its
    // standard input and output.
    const std::string terminal = ptsname(tab.process().childfd());
    int scannedOnce = 0;
    int walkedOnce = 0;
    constexpr int starts = 50;
    for (int i = 0; i < starts; ++i) {
        const std::string file = (dir.path / ("outside-" + std::to_string(i))).string();
        const std::string port = std::to_string(host.port());
        const pid_t outside = fork();
        if (outside == 0) {
            const int fd = open(terminal.c_str(), O_RDWR | O_NOCTTY);
            if (setsid() < 0 || fd < 0 || dup2(fd, 0) < 0 || dup2(fd, 1) < 0)
                _exit(126);
            execl(THREAD_EXIT_CLIENT, THREAD_EXIT_CLIENT, port.c_str(), file.c_str(), "handover", nullptr);
            _exit(127);
        }
        ASSERT_TRUE(eventually([&] { return std::filesystem::exists(file); }, kTimeout));
        // The first look since it started meets its id, and only once.
        scannedOnce += !scanning.look().remote;
        walkedOnce += !RemoteSessionProbe(tab.process().childfd(), tab.process().shellPid(), walk).look().remote;
        kill(outside, SIGKILL);
        waitpid(outside, nullptr, 0);
    }
    EXPECT_EQ(scannedOnce, 0) << "of " << starts << " clients met among new ids";
    EXPECT_EQ(walkedOnce, 0) << "of " << starts << " first looks walking /proc";
}

namespace {

// What a session leader started as `nobody` runs beside itself.
enum class Child {
    none,
    // root's: a /proc mounted hidepid=invisible keeps it from nobody's sight.
    otherUser,
    // Runs as root but keeps nobody's real id, as a waiting su or sudo does:
    // hidden as well, yet nobody may signal it.
    keepsOurRealUid,
};

// Ends this helper when `parent`, which started it, ends: a scenario that
// stops early leaves nothing behind that holds the test's pipes open.
void endWithParent(pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
}

// A byte from `fd`, waiting at most `kTimeout`; 0 when none came.
char readByte(int fd)
{
    pollfd wait{fd, POLLIN, 0};
    char byte = 0;
    if (poll(&wait, 1, static_cast<int>(kTimeout.count() * 1000)) != 1 || read(fd, &byte, 1) != 1)
        return '\0';
    return byte;
}

bool becomeAccount(uid_t account)
{
    if (setgroups(0, nullptr) != 0 || setresgid(account, account, account) != 0 ||
        setresuid(account, account, account) != 0)
        return false;
    prctl(PR_SET_DUMPABLE, 1);  // changing ids made us unreadable to our own account
    return true;
}

// A probe run as nobody (or as root, who may read every process) in a
// process of its own, which looks when asked. A process started before each
// look gives it new ids; with `walk`, these make it walk all of /proc.
class Observer {
public:
    Observer(int master, pid_t leader, bool walk, bool asRoot = false)
    {
        const pid_t scenario = getpid();
        if (pipe(ask_) != 0 || pipe(answers_) != 0 || (pid_ = fork()) < 0)
            _exit(10);
        if (pid_ != 0)
            return;
        if (!asRoot && !becomeAccount(65534))
            _exit(1);
        endWithParent(scenario);
        RemoteSessionProbe::Limits limits;
        if (walk)
            limits.maxNewPids = 0;
        RemoteSessionProbe probe(master, leader, limits);
        char byte;
        while (read(ask_[0], &byte, 1) == 1)
            if (write(answers_[1], probe.look().remote ? "r" : "l", 1) != 1)
                _exit(1);
        _exit(0);
    }
    // 'r' remote, 'l' local, 0 when no answer came.
    char look()
    {
        const pid_t spark = fork();
        if (spark == 0)
            _exit(0);
        waitpid(spark, nullptr, 0);
        return write(ask_[1], "?", 1) == 1 ? readByte(answers_[0]) : '\0';
    }
    void end()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    int ask_[2];
    int answers_[2];
    pid_t pid_ = -1;
};

// A pid from `fd`, waiting at most `kTimeout`; 0 when none came.
pid_t readPid(int fd)
{
    pid_t pid = 0;
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(kTimeout.count() * 1000)) != 1 || read(fd, &pid, sizeof pid) != sizeof pid)
        return 0;
    return pid;
}

// Starts a session leader on the terminal `slave`, as `nobody`, with `child`,
// which writes a byte to `ready` once it runs as it will.
pid_t startSession(int slave, Child child, int ready)
{
    const pid_t scenario = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    setsid();
    ioctl(slave, TIOCSCTTY, 0);
    const pid_t leader = getpid();
    if (child != Child::none && fork() == 0) {
        if (child == Child::keepsOurRealUid && setresuid(65534, 0, 0) != 0)
            _exit(1);
        endWithParent(leader);
        if (write(ready, "x", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    if (!becomeAccount(65534))
        _exit(1);
    endWithParent(scenario);
    pause();
    _exit(0);
}

// Run in a process of its own: a private /proc that hides other users, two
// sessions on terminals, and a probe run as nobody on each. Exits 0 when the
// one with a hidden `child` is remote and the other is not.
[[noreturn]] void hiddenChildScenario(Child child)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", 0, "hidepid=invisible") != 0)
        _exit(10);
    int masters[2];
    pid_t leaders[2];
    int ready[2];
    if (pipe(ready) != 0)
        _exit(12);
    for (int i = 0; i < 2; ++i) {
        int slave = -1;
        if (openpty(&masters[i], &slave, nullptr, nullptr, nullptr) != 0)
            _exit(11);
        fchown(slave, 65534, 65534);
        leaders[i] = startSession(slave, i == 1 ? child : Child::none, ready[1]);
        close(slave);
    }
    if (readByte(ready[0]) != 'x')
        _exit(12);
    int results[2];
    if (pipe(results) != 0)
        _exit(12);
    const pid_t scenario = getpid();
    const pid_t observer = fork();
    if (observer == 0) {
        if (!becomeAccount(65534))
            _exit(13);
        endWithParent(scenario);
        char verdicts[2];
        for (int i = 0; i < 2; ++i) {
            // The hidden child may not have been started yet: look until the answer settles.
            bool remote = false;
            for (int attempt = 0; attempt < 200 && remote != (i == 1); ++attempt) {
                remote = RemoteSessionProbe(masters[i], leaders[i]).look().remote;
                usleep(10000);
            }
            verdicts[i] = remote ? 'r' : 'l';
        }
        _exit(write(results[1], verdicts, 2) == 2 ? 0 : 14);
    }
    int status = 0;
    waitpid(observer, &status, 0);
    char verdicts[2] = {};
    const bool read2 = read(results[0], verdicts, 2) == 2;
    for (pid_t leader : leaders)
        kill(-leader, SIGKILL);
    if (!read2)
        _exit(20 + WEXITSTATUS(status));
    _exit(verdicts[0] == 'l' && verdicts[1] == 'r' ? 0 : 30 + (verdicts[0] == 'r') + 2 * (verdicts[1] == 'l'));
}

// Runs the rest of the scenario as the first process of a pid space of its
// own, with a /proc of that space: daemons that tests running beside it
// start as root meanwhile would otherwise count as forks of its members.
// `cleanUp` runs outside once every process of that space has ended.
void isolate(const std::function<void()>& cleanUp = {})
{
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
        if (cleanUp)
            cleanUp();
        _exit(9);
    }
    const pid_t inner = fork();
    if (inner < 0)
        _exit(9);
    if (inner > 0) {
        int status = 0;
        while (waitpid(inner, &status, 0) < 0 && errno == EINTR) {
        }
        if (cleanUp)
            cleanUp();
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 9);
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", 0, nullptr) != 0)
        _exit(9);
}

// Run in a process of its own: a session of nobody's with a child of root's
// in it, which forks; the fork then leaves (a session of its own, its parent
// gone), as the daemon of `su -c 'ssh -f host cmd' other` does. A probe run
// as nobody that walks all of /proc at each look must count the fork while
// it lives. Exits 0 when it does, and lets go once the fork has ended.
[[noreturn]] void forkLeavesScenario()
{
    isolate();
    int master = -1;
    int slave = -1;
    int toChild[2], toFork[2], fromFork[2];
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || pipe(toChild) != 0 || pipe(toFork) != 0 ||
        pipe(fromFork) != 0)
        _exit(10);
    fchown(slave, 65534, 65534);
    prctl(PR_SET_CHILD_SUBREAPER, 1);  // the fork's parent, once its own has gone
    const pid_t scenario = getpid();
    const pid_t leader = fork();
    if (leader == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        const pid_t self = getpid();
        if (fork() == 0) {
            // root's, in nobody's session: forks when told, ends when told.
            endWithParent(self);
            if (readByte(toChild[0]) != 'f')
                _exit(1);
            if (fork() == 0) {
                // Outlives its parent; ends once the scenario has.
                for (int fd = 3; fd < 1024; ++fd)
                    if (fd != toFork[0] && fd != fromFork[1])
                        close(fd);
                const pid_t fork = getpid();
                if (write(fromFork[1], &fork, sizeof fork) != sizeof fork || readByte(toFork[0]) != 'l' ||
                    setsid() < 0 || write(fromFork[1], "s", 1) != 1)
                    _exit(1);
                char byte;
                while (read(toFork[0], &byte, 1) > 0) {
                }
                _exit(0);
            }
            readByte(toChild[0]);
            _exit(0);
        }
        if (!becomeAccount(65534))
            _exit(1);
        endWithParent(scenario);
        if (write(fromFork[1], "u", 1) != 1)
            _exit(1);
        for (;;)
            if (wait(nullptr) < 0 && errno == ECHILD)
                pause();
    }
    close(slave);
    // Each look walks all of /proc.
    Observer observer(master, leader, true);
    // Both in the session before the first look, so that it finds both.
    if (readByte(fromFork[0]) != 'u')
        _exit(11);
    const char first = observer.look();
    pid_t forked = 0;
    if (write(toChild[1], "f", 1) != 1 || (forked = readPid(fromFork[0])) <= 0)
        _exit(11);
    const char withFork = observer.look();
    const bool left = write(toFork[1], "l", 1) == 1 && readByte(fromFork[0]) == 's' && write(toChild[1], "l", 1) == 1 &&
                      eventually([&] { return parentOf(forked) == getpid(); }, kTimeout);
    const char afterLeaving = left ? observer.look() : '\0';
    kill(forked, SIGKILL);
    waitpid(forked, nullptr, 0);
    const char afterEnd = observer.look();
    kill(-leader, SIGKILL);
    observer.end();
    if (!left)
        _exit(12);
    _exit(first == 'r' && withFork == 'r' && afterLeaving == 'r' && afterEnd == 'l'
              ? 0
              : 30 + (afterLeaving != 'r') + 2 * (afterEnd != 'l') + 4 * (withFork != 'r') + 8 * (first != 'r'));
}

// A connection to the unix socket listening at `address`, once the other
// end has taken it (it writes a byte); -1 when it could not be made.
int connectUnix(const sockaddr_un& address, socklen_t length)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || readByte(fd) != 'a') {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

// Run in a pid space of its own: a process started since the shell, out of
// its session and holding no terminal, whose threads are more than a look
// follows (four here). Looks are remote for want of knowing while it is so,
// and it is asked again at each; down to one thread, it is a stranger for
// good, whatever it starts later. Exits 0 when so, else 20 + the first wrong
// look.
[[noreturn]] void threadCrowdScenario(bool walk)
{
    isolate();
    int master = -1;
    int slave = -1;
    int toCrowd[2], fromCrowd[2];
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || pipe(toCrowd) != 0 || pipe(fromCrowd) != 0)
        _exit(10);
    const pid_t scenario = getpid();
    const pid_t leader = fork();
    if (leader == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        endWithParent(scenario);
        pause();
        _exit(0);
    }
    close(slave);
    RemoteSessionProbe::Limits limits;
    limits.maxThreads = 4;
    if (walk)
        limits.maxNewPids = 0;
    RemoteSessionProbe probe(master, leader, limits);
    if (probe.look().remote)
        _exit(11);
    const pid_t crowd = fork();
    if (crowd == 0) {
        close(master);
        setsid();
        endWithParent(scenario);
        // 'g' starts eight threads that wait for `hold` to close; 'f' ends them.
        int hold[2] = {-1, -1};
        pthread_t threads[8];
        for (char c; read(toCrowd[0], &c, 1) == 1;) {
            if (c == 'g' && pipe(hold) == 0)
                for (pthread_t& t : threads)
                    pthread_create(
                        &t, nullptr,
                        [](void* fd) -> void* {
                            char byte;
                            (void)!read(static_cast<int>(reinterpret_cast<std::intptr_t>(fd)), &byte, 1);
                            return nullptr;
                        },
                        reinterpret_cast<void*>(static_cast<std::intptr_t>(hold[0])));
            if (c == 'f') {
                close(hold[1]);
                for (pthread_t t : threads)
                    pthread_join(t, nullptr);
                close(hold[0]);
            }
            if (write(fromCrowd[1], &c, 1) != 1)
                _exit(1);
        }
        _exit(0);
    }
    auto tell = [&](char c) { return write(toCrowd[1], &c, 1) == 1 && readByte(fromCrowd[0]) == c; };
    const std::pair<char, bool> steps[] = {{'g', true}, {0, true}, {'f', false}, {'g', false}, {0, false}};
    int step = 0;
    for (const auto& [say, remote] : steps) {
        if ((say && !tell(say)) || probe.look().remote != remote) {
            kill(crowd, SIGKILL);
            _exit(20 + step);
        }
        ++step;
    }
    kill(crowd, SIGKILL);
    _exit(0);
}

// Run in a process of its own: a session of nobody's whose shell is a
// multiplexer's client, connected to a stand-in server of nobody's outside
// the session (named dtach). Its pane, root's, forks and ends while the fork
// starts a session of its own, all between two looks (sudo ssh -f in a
// pane). A probe run as nobody must count the fork while the client is
// connected, and no longer once it has let go, though the fork lives on.
// With `reattach`, it must go on counting the fork look after look while
// the client stays connected, count it again once the client connects anew,
// and no longer once the fork has ended. Exits 0 when it does.
[[noreturn]] void servedForkScenario(bool walk, bool reattach = false)
{
    isolate();
    int master = -1;
    int slave = -1;
    int toClient[2], fromClient[2], toPane[2], fromFork[2];
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socklen_t length = sizeof(sa_family_t);  // a name of the kernel's choosing
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || listener < 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener, 8) != 0 ||
        (length = sizeof address, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length)) != 0 ||
        pipe(toClient) != 0 || pipe(fromClient) != 0 || pipe(toPane) != 0 || pipe(fromFork) != 0)
        _exit(10);
    fchown(slave, 65534, 65534);
    const pid_t scenario = getpid();
    const pid_t server = fork();
    if (server == 0) {
        setsid();
        close(slave);
        close(master);
        const pid_t self = getpid();
        if (fork() == 0) {
            // The pane, root's: forks when told and ends; the fork outlives it.
            endWithParent(self);
            close(listener);
            if (readByte(toPane[0]) != 'f')
                _exit(1);
            if (fork() == 0) {
                for (int fd = 3; fd < 1024; ++fd)
                    if (fd != fromFork[1])
                        close(fd);
                const pid_t forked = getpid();
                if (setsid() < 0 || write(fromFork[1], &forked, sizeof forked) != sizeof forked)
                    _exit(1);
                pause();
                _exit(0);
            }
            _exit(0);
        }
        if (!becomeAccount(65534))
            _exit(1);
        prctl(PR_SET_NAME, "dtach");
        endWithParent(scenario);
        // Nothing but its connections joins it to the client: no pipe the client reads.
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != listener && fd != fromClient[1])
                close(fd);
        if (write(fromClient[1], "u", 1) != 1)
            _exit(1);
        // Takes each client and keeps its end, as a server does.
        for (;;) {
            const int client = accept(listener, nullptr, nullptr);
            if (client >= 0 && write(client, "a", 1) != 1)
                _exit(1);
        }
    }
    close(listener);
    const pid_t leader = fork();
    if (leader == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        if (!becomeAccount(65534))
            _exit(1);
        endWithParent(scenario);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != toClient[0] && fd != fromClient[1])
                close(fd);
        int link = connectUnix(address, length);
        if (link < 0 || write(fromClient[1], "u", 1) != 1)
            _exit(1);
        // The client lets go of the server when told (a detach), and connects again (an attach).
        for (char byte; (byte = readByte(toClient[0])) != '\0';) {
            if (byte == 'd')
                close(std::exchange(link, -1));
            else if (byte == 'a' && (link = connectUnix(address, length)) < 0)
                _exit(1);
            if (write(fromClient[1], &byte, 1) != 1)
                _exit(1);
        }
        _exit(1);
    }
    close(slave);
    // Both run as nobody before the first look.
    if (readByte(fromClient[0]) != 'u' || readByte(fromClient[0]) != 'u')
        _exit(11);
    Observer observer(master, leader, walk);
    const char attached = observer.look();
    pid_t forked = 0;
    if (write(toPane[1], "f", 1) != 1 || (forked = readPid(fromFork[0])) <= 0 ||
        !eventually([&] { return parentOf(forked) == getpid(); }, kTimeout))
        _exit(11);
    const char withFork = observer.look();
    // Past the look that found the pane gone, its window has closed.
    bool keptOn = true;
    for (int look = 0; reattach && look < 3; ++look)
        keptOn = observer.look() == 'r' && keptOn;
    auto tellClient = [&](char what) { return write(toClient[1], &what, 1) == 1 && readByte(fromClient[0]) == what; };
    const bool letGo = tellClient('d');
    const char detached = letGo ? observer.look() : '\0';
    char again = 'r';
    char afterEnd = 'l';
    if (reattach) {
        again = letGo && tellClient('a') ? observer.look() : '\0';
        kill(forked, SIGKILL);
        waitpid(forked, nullptr, 0);
        afterEnd = observer.look();
    }
    kill(forked, SIGKILL);
    kill(-leader, SIGKILL);
    kill(server, SIGKILL);
    observer.end();
    _exit(attached == 'r' && withFork == 'r' && detached == 'l' && keptOn && again == 'r' && afterEnd == 'l'
              ? 0
              : 30 + (attached != 'r') + 2 * (withFork != 'r') + 4 * (detached != 'l') + 8 * !keptOn +
                    16 * (again != 'r') + 32 * (afterEnd != 'l'));
}

// Waits until a process started now starts `ticks` clock ticks later than one started before.
bool ticksPass(std::uint64_t ticks)
{
    const auto from = proc::bootTicks();
    return eventually([&] { return proc::bootTicks() >= from + ticks; }, kTimeout);
}

// What sets a daemon that the pid space's first process starts apart from
// the tab, as a service manager, cron or another login does.
enum class Apart {
    cgroup,   // a control group of its own
    session,  // an audit login session of its own
};

// Where control groups can be laid out: the cgroup2 hierarchy, else
// systemd's named one; empty when there is none.
std::string cgroupHierarchy()
{
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    std::string named;
    while (std::getline(mounts, line)) {
        // id parent dev root mountpoint options ... - type source superoptions
        std::istringstream fields(line);
        std::string field, point;
        for (int i = 0; i < 5 && fields >> field; ++i)
            point = field;
        const auto dash = line.find(" - ");
        if (dash == std::string::npos)
            continue;
        const std::string fs = line.substr(dash + 3);
        if (fs.rfind("cgroup2 ", 0) == 0)
            return point;
        if (fs.rfind("cgroup ", 0) == 0 && fs.find("name=systemd") != std::string::npos)
            named = point;
    }
    return named;
}

bool writeText(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        close(fd);
    return ok;
}

// Puts the calling process in a place of its own: the control group `group`,
// or a new audit login session.
bool setApart(Apart apart, const std::string& group)
{
    return apart == Apart::cgroup ? writeText(group + "/cgroup.procs", "0")
                                  : writeText("/proc/self/loginuid", std::to_string(getpid() + 100000));
}

// A connection to a local host, held for the rest of the process's life.
bool connectTo(std::uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// A process of `account` in a session of its own, outside the tab, put
// apart first by `setUp` when given and holding a connection to a local
// host when `port` is given; says so on `ready` once it runs as that account.
pid_t startStranger(uid_t account, int ready, const std::function<bool()>& setUp = {}, int port = 0)
{
    const pid_t scenario = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        if (setsid() < 0 || (setUp && !setUp()) || !becomeAccount(account))
            _exit(1);
        endWithParent(scenario);
        if ((port == 0 || connectTo(static_cast<std::uint16_t>(port))) && write(ready, "x", 1) == 1)
            pause();
        _exit(1);
    }
    return pid;
}

// What else the member of another account or its fork does.
enum class Twist {
    none,
    forkMainThreadEnds,  // the fork's main thread ends while another runs on
    memberMoves,         // the member moves to a control group of its own once a look saw it
};

// Run in a process of its own: a session of nobody's with a member of
// another account, which forks and ends at once while its fork starts a
// session, all between two looks (ssh -f under su or sudo). A probe run as
// nobody must count the fork while it lives, but neither a process of that
// account started before the member nor one started once the fork was
// found gone. With `apart`, the tab is in a place of its own and, while the
// member lives, the pid space's first process starts a daemon of that
// account elsewhere, holding a connection to a local host, as a service
// manager, cron or another login does: it must not count either. Exits 0
// when all holds.
[[noreturn]] void orphanedForkScenario(bool walk, std::optional<Apart> apart = {}, Twist twist = Twist::none)
{
    // Each run's own account, so that copies run at once do not take each other's processes for forks.
    const auto other = static_cast<uid_t>(200000 + getpid() % 100000);
    const std::string groups = cgroupHierarchy() + "/rg-probe-" + std::to_string(getpid());
    const std::string tabGroup = groups + "-tab";
    const std::string daemonGroup = groups + "-daemon";
    const std::string movedGroup = groups + "-moved";
    const bool makeGroups = apart == Apart::cgroup;
    if (makeGroups && (mkdir(tabGroup.c_str(), 0755) != 0 || mkdir(daemonGroup.c_str(), 0755) != 0)) {
        rmdir(tabGroup.c_str());
        _exit(8);
    }
    if (twist == Twist::memberMoves && mkdir(movedGroup.c_str(), 0755) != 0)
        _exit(8);
    isolate([&] {
        for (const auto& group : {tabGroup, daemonGroup, movedGroup})
            if (makeGroups || (twist == Twist::memberMoves && group == movedGroup))
                eventually([&] { return rmdir(group.c_str()) == 0 || errno == ENOENT; }, kTimeout);
    });
    int master = -1;
    int slave = -1;
    int toLeader[2], toMember[2], fromChildren[2], ready[2];
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || pipe(toLeader) != 0 || pipe(toMember) != 0 ||
        pipe(fromChildren) != 0 || pipe(ready) != 0)
        _exit(10);
    fchown(slave, 65534, 65534);
    prctl(PR_SET_CHILD_SUBREAPER, 1);  // the fork's parent, once its own has gone
    const pid_t scenario = getpid();
    const pid_t leader = fork();
    if (leader == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        const pid_t self = getpid();
        if (apart && !setApart(*apart, tabGroup))
            _exit(1);
        if (readByte(toLeader[0]) == 'm' && fork() == 0) {
            if (!becomeAccount(other))
                _exit(1);
            endWithParent(self);
            // Holds a connection its fork inherits, and lets go of the terminal first.
            std::uint16_t port = 0;
            if (twist == Twist::memberMoves &&
                (read(toLeader[0], &port, sizeof port) != sizeof port || close(slave) != 0 || !connectTo(port)))
                _exit(1);
            pid_t pid = getpid();
            if (write(fromChildren[1], &pid, sizeof pid) != sizeof pid || readByte(toMember[0]) != 'f')
                _exit(1);
            if (fork() == 0 && setsid() > 0 && (pid = getpid()) > 0 &&
                write(fromChildren[1], &pid, sizeof pid) == sizeof pid) {
                alarm(3600);  // should the scenario end early: far beyond the test's limit
                pthread_t worker;
                if (twist == Twist::forkMainThreadEnds && pthread_create(
                                                              &worker, nullptr,
                                                              [](void*) -> void* {
                                                                  for (;;)
                                                                      pause();
                                                              },
                                                              nullptr) == 0)
                    syscall(SYS_exit, 0);  // this thread alone: no unwinding through the test
                pause();
            }
            _exit(0);
        }
        if (!becomeAccount(65534))
            _exit(1);
        endWithParent(scenario);
        for (;;)
            if (wait(nullptr) < 0 && errno == ECHILD)
                pause();
    }
    close(slave);
    LoopbackHost host;  // made once the tab has started, so that none of it holds the listener
    const pid_t before = ticksPass(1) ? startStranger(other, ready[1]) : 0;
    const auto port = static_cast<std::uint16_t>(host.port());
    if (before <= 0 || readByte(ready[0]) != 'x' || !ticksPass(1) || write(toLeader[1], "m", 1) != 1 ||
        (twist == Twist::memberMoves && write(toLeader[1], &port, sizeof port) != sizeof port))
        _exit(11);
    const pid_t member = readPid(fromChildren[0]);
    if (member <= 0)
        _exit(11);
    // A member root may read, asleep since the look that read it, is not read again.
    Observer observer(master, leader, walk, twist == Twist::memberMoves);
    char withMember = observer.look();
    if (twist == Twist::memberMoves) {
        if (!writeText(movedGroup + "/cgroup.procs", std::to_string(member)))
            _exit(12);
        if (observer.look() != 'r')
            withMember = '\0';
    }
    pid_t daemon = 0;
    if (apart) {
        daemon = ticksPass(1) ? startStranger(
                                    other, ready[1], [&] { return setApart(*apart, daemonGroup); }, host.port())
                              : 0;
        if (daemon <= 0 || readByte(ready[0]) != 'x')
            _exit(12);
    }
    // No look until the member has forked and ended and its fork has left.
    pid_t forked = 0;
    const bool left = write(toMember[1], "f", 1) == 1 && (forked = readPid(fromChildren[0])) > 0 &&
                      eventually(
                          [&] {
                              proc::Stat stat;
                              return parentOf(forked) == getpid() &&
                                     !std::filesystem::exists("/proc/" + std::to_string(member)) &&
                                     (twist != Twist::forkMainThreadEnds ||
                                      (proc::readStat(proc::ProcPath(forked, "stat"), stat) == proc::Read::ok &&
                                       stat.state == 'Z' && stat.threads == 2));
                          },
                          kTimeout);
    const char withFork = left ? observer.look() : '\0';
    const char stillWithFork = left ? observer.look() : '\0';
    if (forked > 0) {
        kill(forked, SIGKILL);
        waitpid(forked, nullptr, 0);
    }
    const char afterFork = observer.look();
    const pid_t later = ticksPass(3) ? startStranger(other, ready[1]) : 0;
    const char withLater = later > 0 && readByte(ready[0]) == 'x' ? observer.look() : '\0';
    const bool daemonLived = !apart || waitpid(daemon, nullptr, WNOHANG) == 0;
    kill(-leader, SIGKILL);
    kill(before, SIGKILL);
    kill(later, SIGKILL);
    if (daemon > 0)
        kill(daemon, SIGKILL);
    observer.end();
    if (!left || !daemonLived)
        _exit(13);
    _exit(withMember == 'r' && withFork == 'r' && stillWithFork == 'r' && afterFork == 'l' && withLater == 'l'
              ? 0
              : 30 + (withFork != 'r') + 2 * (stillWithFork != 'r') + 4 * (afterFork != 'l') + 8 * (withLater != 'l') +
                    16 * (withMember != 'r'));
}

// Whether a child of ours may start an audit login session of its own.
bool loginSessionsCanBeSet()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(writeText("/proc/self/loginuid", "100000") ? 0 : 1);
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// With /proc mounted hidepid=invisible, a child another user runs in the}  // namespace

// With /proc mounted hidepid=invisible, a child another user runs in the
// session (su other -c ssh …) is invisible; its parent still lists it, and
// it counts as remote, since nothing of it can be read.
TEST(RemoteSessionProbe, AChildHiddenFromUsCountsAsRemote)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a private /proc";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(hiddenChildScenario(Child::otherUser), testing::ExitedWithCode(0), "");
}

// su -c 'ssh -tt host' other: while su waits, it keeps our real id, so we
// may signal it though /proc hides it; it counts as remote all the same.
TEST(RemoteSessionProbe, AHiddenChildWeMaySignalCountsAsRemote)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a private /proc";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(hiddenChildScenario(Child::keepsOurRealUid), testing::ExitedWithCode(0), "");
}

namespace {

// The read system calls this thread has made so far.
std::uint64_t threadReads()
{
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "syscr:")
            return value;
    return 0;
}

// The fewest reads one look made, of several: what the look reads when no
// process new to it turns up meanwhile.
std::uint64_t lookReads(RemoteSessionProbe& probe)
{
    auto least = std::numeric_limits<std::uint64_t>::max();
    for (int i = 0; i < 10; ++i) {
        const std::uint64_t start = threadReads();
        probe.look();
        least = std::min(least, threadReads() - start);
    }
    return least;
}

std::size_t threadsOf(pid_t pid)
{
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

}  // namespace

// Thread ids come from the same counter as process ids: a probe that saw a
// program start its threads takes it for one process, as a probe that found
// it already running does, and looks at it as cheaply.
TEST(RemoteSessionProbe, ThreadsStartedBetweenLooksAreNotProcesses)
{
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    const pid_t leader = fork();
    if (leader == 0) {
        setsid();
        close(go[1]);
        char byte;
        if (read(go[0], &byte, 1) != 1)
            _exit(1);
        execlp("python3", "python3", "-c",
               "import threading, time\n"
               "for _ in range(100): threading.Thread(target=time.sleep, args=(1e6,), daemon=True).start()\n"
               "time.sleep(1e6)\n",
               nullptr);
        _exit(127);
    }
    close(go[0]);
    RemoteSessionProbe before(-1, leader);
    EXPECT_FALSE(before.look().remote);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    close(go[1]);
    const bool started = eventually([&] { return threadsOf(leader) >= 101; }, kTimeout);
    const auto lookBefore = before.look();
    RemoteSessionProbe after(-1, leader);
    const auto lookAfter = after.look();
    const auto readsBefore = lookReads(before);
    const auto readsAfter = lookReads(after);
    kill(leader, SIGKILL);
    waitpid(leader, nullptr, 0);
    ASSERT_TRUE(started);
    EXPECT_FALSE(lookBefore.remote);
    EXPECT_FALSE(lookAfter.remote);
    EXPECT_TRUE(lookAfter.leaderAlone);
    EXPECT_TRUE(lookBefore.leaderAlone) << "its threads were taken for processes";
    // A hundred threads taken for processes are a hundred more files read.
    EXPECT_GT(readsAfter, 0u) << "no read counts in /proc/thread-self/io";
    EXPECT_LE(readsBefore, readsAfter + 10) << readsBefore << " reads against " << readsAfter;
}

// A process of another account that was counted stays counted while it lives,
// though it leaves the session and its parent ends: a daemon started from the
// tab keeps the tab closed while it runs.
TEST(RemoteSessionProbe, AMemberThatLeavesTheSessionCountsWhileItLives)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run processes of two accounts";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(forkLeavesScenario(), testing::ExitedWithCode(0), "");
}

// A busy machine's process that is exiting, or starts and ends threads,
// can't have all its threads followed for a while: it is asked again at each
// look, not kept as the tab's for good, on either path.
TEST(RemoteSessionProbe, AProcessWhoseThreadsCannotBeFollowedIsAskedAgainAtEachLook)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a pid space of its own";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(threadCrowdScenario(false), testing::ExitedWithCode(0), "") << "new ids only";
    EXPECT_EXIT(threadCrowdScenario(true), testing::ExitedWithCode(0), "") << "walking /proc";
}

// sudo ssh -f in a multiplexer's pane: the fork that left counts as the
// pane did, while the tab's client is attached to the server, and no longer
// once it has detached, whether a look reads new ids or walks all of /proc.
TEST(RemoteSessionProbe, AForkThatLeftAPaneCountsWhileTheServerIsAttached)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run processes of two accounts";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(servedForkScenario(false), testing::ExitedWithCode(0), "") << "new ids only";
    EXPECT_EXIT(servedForkScenario(true), testing::ExitedWithCode(0), "") << "walking /proc";
}

// The same fork once its pane has ended: a walk of /proc keeps what a look
// that reads new ids keeps, look after look while attached; once detached it
// no longer counts, and it counts again once a client in the tab attaches.
TEST(RemoteSessionProbe, AForkThatOutlivedItsPaneCountsAgainOnceReattached)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run processes of two accounts";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(servedForkScenario(false, true), testing::ExitedWithCode(0), "") << "new ids only";
    EXPECT_EXIT(servedForkScenario(true, true), testing::ExitedWithCode(0), "") << "walking /proc";
}

// ssh -f under su or sudo: the member forks, the fork starts a session of its
// own and the member ends, all between two looks, so no look finds the fork
// in the tab; it counts all the same, whether a look reads new ids only or
// walks all of /proc. So it does when its main thread has ended while another
// runs on (a thread that ended shows the root's control groups), and when
// another process moved the member to a control group of its own once a
// look saw it, before it forked (systemd-run --scope).
TEST(RemoteSessionProbe, AnOrphanedForkOfAMemberOfAnotherAccountCountsWhileItLives)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run processes of three accounts";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const bool walk : {false, true}) {
        const char* how = walk ? "walking /proc" : "new ids only";
        EXPECT_EXIT(orphanedForkScenario(walk), testing::ExitedWithCode(0), "") << how;
        EXPECT_EXIT(orphanedForkScenario(walk, {}, Twist::forkMainThreadEnds), testing::ExitedWithCode(0), "")
            << how << ", its main thread ended";
        if (!cgroupHierarchy().empty()) {
            EXPECT_EXIT(orphanedForkScenario(walk, {}, Twist::memberMoves), testing::ExitedWithCode(0), "")
                << how << ", the member moved";
        }
    }
}

// A process that a service manager, cron or another login starts, of an
// account a member of the tab runs as (under su or sudo), whenever it
// starts, never counts: it lives in a control group or an audit login
// session of its own, where a fork of that member would share both. The
// member's fork still counts, whether a look reads new ids or walks /proc.
TEST(RemoteSessionProbe, ADaemonStartedElsewhereNeverCountsWhileAMembersForkDoes)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run processes of three accounts";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const bool groups = !cgroupHierarchy().empty();
    const bool sessions = loginSessionsCanBeSet();
    for (const Apart apart : {Apart::cgroup, Apart::session}) {
        const char* name = apart == Apart::cgroup ? "control group" : "login session";
        if (!(apart == Apart::cgroup ? groups : sessions)) {
            std::cout << "no " << name << " can be laid out here\n";
            continue;
        }
        EXPECT_EXIT(orphanedForkScenario(false, apart), testing::ExitedWithCode(0), "") << name << ", new ids only";
        EXPECT_EXIT(orphanedForkScenario(true, apart), testing::ExitedWithCode(0), "") << name << ", walking /proc";
    }
    if (!groups && !sessions)
        GTEST_SKIP() << "neither control groups nor login sessions can be laid out";
}

// The windows in which an orphan may be a member's fork: its account (root's
// standing for any), its start and its origin; a member whose account could
// not be read (it ended between two reads) opens none.
TEST(RemoteSessionProbe, ForkWindowsFollowAccountTimeAndOrigin)
{
    constexpr uid_t us = 1000, other = 2000, third = 3000;
    const proc::Origin tab{"0::/user.slice/session-3.scope\n", "3"};
    const proc::Origin service{"0::/system.slice/nginx.service\n", "3"};  // differs in its group alone
    const proc::Origin login{"0::/user.slice/session-3.scope\n", "9"};    // in its session alone
    const proc::Origin noAudit{"0::/user.slice/session-3.scope\n", std::nullopt};

    ForkWindows unknown(us);
    unknown.alive(std::nullopt, tab, 100);
    unknown.ended(std::nullopt, tab, 100, 200, 1);
    EXPECT_TRUE(unknown.empty()) << "a member whose owner was not read stands for root";

    ForkWindows windows(us);
    windows.alive(us, tab, 50);  // our own account's never open one
    EXPECT_TRUE(windows.empty());
    windows.alive(other, tab, 100);
    EXPECT_TRUE(windows.holds(other, tab, 100));
    EXPECT_TRUE(windows.holds(other, noAudit, 150)) << "a part not offered tells nothing";
    EXPECT_FALSE(windows.holds(other, tab, 99)) << "started before the member";
    EXPECT_FALSE(windows.holds(third, tab, 150)) << "another account";
    EXPECT_TRUE(windows.mayHold(other, 150));
    EXPECT_FALSE(windows.holds(other, service, 150));
    EXPECT_FALSE(windows.holds(other, login, 150));

    windows.clearAlive();
    windows.ended(0, tab, 100, 200, 1);  // root's stands for any account
    EXPECT_TRUE(windows.holds(third, tab, 200));
    EXPECT_FALSE(windows.holds(third, tab, 201)) << "started once it was found gone";
    EXPECT_FALSE(windows.holds(third, service, 150));
    windows.forgetEndedBefore(2);
    EXPECT_TRUE(windows.empty());

    // A member seen in more places than are kept: the last ones merge into
    // one that tells nothing of what differs, so forks from each still count.
    std::vector<ForkWindows::Place> places;
    for (uid_t i = 0; i < 12; ++i)
        ForkWindows::remember(places, {other + i, {"0::/moved-" + std::to_string(i) + "\n", "3"}});
    ForkWindows::remember(places, places.front());
    ForkWindows seen(us);
    for (const auto& place : places)
        seen.alive(place.owner, place.origin, 100);
    EXPECT_LT(places.size(), 12u);
    for (uid_t i = 0; i < 12; ++i)
        EXPECT_TRUE(seen.holds(other + i, {"0::/moved-" + std::to_string(i) + "\n", "3"}, 150)) << i;
    EXPECT_FALSE(seen.holds(other, login, 150)) << "the session all of them shared";
}

// A process is where its live threads are: one whose main thread ended is
// read through another, and one that ended reads as gone (a zombie shows
// the root's control groups), never as an origin that tells nothing.
TEST(RemoteSessionProbe, AnOriginIsReadThroughALiveThread)
{
    TempDir dir;
    LoopbackHost host;
    ASSERT_NE(host.port(), 0);
    const std::string file = (dir.path / "client").string();
    const std::string port = std::to_string(host.port());
    const pid_t client = fork();
    if (client == 0) {
        execl(THREAD_EXIT_CLIENT, THREAD_EXIT_CLIENT, port.c_str(), file.c_str(), "pthread", nullptr);
        _exit(127);
    }
    ASSERT_GT(client, 0);
    proc::Stat stat;
    ASSERT_TRUE(eventually(
        [&] {
            return std::filesystem::exists(file) &&
                   proc::readStat(proc::ProcPath(client, "stat"), stat) == proc::Read::ok && stat.state == 'Z';
        },
        kTimeout));
    std::vector<pid_t> live;
    ASSERT_EQ(proc::listThreads(client, stat, 16, live), proc::Read::ok);
    ASSERT_EQ(live.size(), 1u) << "the main thread ended";
    std::ifstream ours("/proc/self/cgroup");
    const std::string groups((std::istreambuf_iterator<char>(ours)), std::istreambuf_iterator<char>());
    proc::Origin origin;
    EXPECT_EQ(proc::readOrigin(client, live.front(), origin), proc::Read::ok);
    EXPECT_EQ(origin.cgroups, groups);
    EXPECT_EQ(proc::readOrigin(client, 0, origin), proc::Read::gone) << "through its main thread, which ended";
    kill(client, SIGKILL);
    ASSERT_TRUE(eventually(
        [&] {
            return proc::readStat(proc::ProcPath(client, "stat"), stat) == proc::Read::ok && stat.state == 'Z' &&
                   stat.threads == 1;
        },
        kTimeout));
    EXPECT_EQ(proc::readOrigin(client, 0, origin), proc::Read::gone) << "a zombie";
    waitpid(client, nullptr, 0);
}
