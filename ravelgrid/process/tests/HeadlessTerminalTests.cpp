#include "ravelgrid/process/HeadlessTerminal.h"
#include "ravelgrid/process/RemoteSessionProbe.h"
#include "ravelgrid/process/RunLoop.h"
#include "ravelgrid/process/tests/ProcessTestSupport.h"
#include "ravelgrid/screen/Buffer.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

using namespace ravelgrid;
using namespace ravelgrid::test;
using namespace std::chrono_literals;

namespace {

std::string screenText(Terminal& terminal)
{
    std::string out;
    for (int r = 0; r < terminal.rows; ++r) {
        std::string row;
        if (const BufferLine* line = terminal.getLine(r)) {
            for (const CharData& cell : line->cellSpan()) {
                if (cell.width == 0)
                    continue;
                row += cell.code == 0 ? std::string(" ") : terminal.character(cell.code);
            }
        }
        while (!row.empty() && row.back() == ' ')
            row.pop_back();
        out += row + "\n";
    }
    return out;
}

TerminalOptions sized(int cols, int rows)
{
    TerminalOptions options;
    options.cols = cols;
    options.rows = rows;
    return options;
}

class HeadlessTerminalTest : public ::testing::Test {
protected:
    MainLoopScope main;
    std::optional<std::optional<int>> ended;

    std::unique_ptr<HeadlessTerminal> make(int cols = 80, int rows = 25, DeliveryQueue* queue = nullptr)
    {
        return std::make_unique<HeadlessTerminal>(queue, sized(cols, rows),
                                                  [this](std::optional<int> status) { ended = status; });
    }
    bool showsEventually(HeadlessTerminal& headless, const std::string& text)
    {
        return main.loop.runUntil([&] { return screenText(*headless.terminal()).find(text) != std::string::npos; },
                                  kTimeout);
    }
    bool endsEventually()
    {
        return main.loop.runUntil([&] { return ended.has_value(); }, kTimeout);
    }
    // Whether a directory the local shell reports is taken, asked until it
    // is: that is once the reader has seen the remote gone and a read has
    // emptied the terminal since, which is the reader's timing (a busy
    // machine may take a look or two more).
    bool trustedAgain(HeadlessTerminal& headless, const std::string& tag)
    {
        const auto giveUp = std::chrono::steady_clock::now() + kTimeout;
        for (int attempt = 0; std::chrono::steady_clock::now() < giveUp; ++attempt) {
            const std::string mark = tag + "-" + std::to_string(attempt);
            const std::string local = "file://localhost/local-" + mark;
            headless.send("printf '\\033]7;" + local + "\\033\\\\'; echo local-$((6*7))-" + mark + "\n");
            if (!showsEventually(headless, "local-42-" + mark))
                return false;
            if (headless.dir().value_or("") == local)
                return true;
        }
        return false;
    }
};

}  // namespace

TEST_F(HeadlessTerminalTest, RealShellSeesTheTerminalSizeTypedInputAndExitStatus)
{
    auto headless = make(120, 40);
    ASSERT_TRUE(headless->process()->startProcess("/bin/bash", {"--norc", "--noprofile", "-i"}));
    headless->send("stty size\r");
    ASSERT_TRUE(showsEventually(*headless, "\n40 120\n")) << screenText(*headless->terminal());
    headless->resize(100, 30);
    headless->send("stty size\r");
    EXPECT_TRUE(showsEventually(*headless, "\n30 100\n")) << screenText(*headless->terminal());
    headless->send("exit 3\r");
    ASSERT_TRUE(endsEventually());
    EXPECT_EQ(*ended, std::optional<int>(768));
}

TEST_F(HeadlessTerminalTest, ChildQueriesAreAnsweredByTheTerminal)
{
    auto headless = make();
    // Cursor position report: the shell reads the 7-byte answer and shows it in hex.
    headless->process()->startProcess(
        "/bin/sh", {"-c", "stty raw -echo; printf '\\033[5;10H\\033[6n'; r=$(dd bs=1 count=7 2>/dev/null); "
                          "printf '\\033[H%s' \"$(printf '%s' \"$r\" | od -An -tx1)\"; exit 2"});
    ASSERT_TRUE(endsEventually());
    EXPECT_EQ(*ended, std::optional<int>(512));
    EXPECT_NE(screenText(*headless->terminal()).find("1b 5b 35 3b 31 30 52"), std::string::npos)
        << screenText(*headless->terminal());
}

TEST_F(HeadlessTerminalTest, ScreenReadBackOnlyForATrustedChild)
{
    // DECRQCRA over "ab": the checksum is 0x00c3 for a trusted child, 0 otherwise.
    const std::string script =
        "stty raw -echo; printf 'ab\\033[1;1;1;1;1;2*y'; "
        "r=$(dd bs=1 count=10 2>/dev/null | od -An -c | tr -d ' \\n'); printf '\\r\\n[%s]' \"$r\"";
    // The same script as a program named ssh is remote, whatever the host said.
    const auto dir = std::filesystem::temp_directory_path() / ("rg-headless-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const auto ssh = dir / "ssh";
    std::ofstream(ssh) << "#!/bin/sh\n" << script << "\n";
    std::filesystem::permissions(ssh, std::filesystem::perms::owner_all);
    struct Case {
        bool trusted;
        std::string program;
        const char* checksum;
    };
    for (const Case& c : {Case{true, "/bin/sh", "P1!~00c3"}, Case{false, "/bin/sh", "P1!~0000"},
                          Case{true, ssh.string(), "P1!~0000"}}) {
        ended.reset();
        auto headless = make();
        headless->setProcessTrusted(c.trusted);
        if (c.program == "/bin/sh") {
            headless->process()->startProcess("/bin/sh", {"-c", script});
        } else {
            headless->process()->startProcess(c.program);
        }
        ASSERT_TRUE(endsEventually());
        const std::string screen = screenText(*headless->terminal());
        EXPECT_NE(screen.find(c.checksum), std::string::npos) << c.program << "\n" << screen;
    }
    std::filesystem::remove_all(dir);
}

TEST_F(HeadlessTerminalTest, TypedCommandsMarkAnArmedPromptSubmitted)
{
    auto headless = make();
    Terminal& terminal = *headless->terminal();
    terminal.buffer->semanticInput = SemanticInputState::armed;
    headless->send("\x1b[200~pasted\nlines\x1b[201~");
    main.loop.runPending();
    EXPECT_EQ(terminal.buffer->semanticInput, SemanticInputState::armed) << "a newline inside a paste submits nothing";
    headless->send("ls\r");
    main.loop.runPending();
    EXPECT_EQ(terminal.buffer->semanticInput, SemanticInputState::submitted);

    terminal.buffer->semanticInput = SemanticInputState::prompt;
    headless->send("\r");
    main.loop.runPending();
    EXPECT_EQ(terminal.buffer->semanticInput, SemanticInputState::prompt) << "only an armed prompt is submitted";
}

TEST_F(HeadlessTerminalTest, WindowSizeAndScrollback)
{
    auto headless = make(80, 25);
    const winsize size = headless->getWindowSize();
    EXPECT_EQ(size.ws_row, 25);
    EXPECT_EQ(size.ws_col, 80);
    EXPECT_EQ(size.ws_xpixel, 16);
    EXPECT_EQ(size.ws_ypixel, 16);

    Terminal& terminal = *headless->terminal();
    std::string lines;
    for (int i = 0; i < 100; ++i)
        lines += std::to_string(i) + "\r\n";
    headless->changeScrollback(50);
    EXPECT_EQ(terminal.options().scrollback, 50);
    terminal.feed(lines);
    EXPECT_EQ(terminal.normalBuffer->scrollback(), std::optional<int>(50));
    headless->changeScrollback(std::nullopt);
    EXPECT_EQ(terminal.options().scrollback, 0);
    EXPECT_EQ(terminal.normalBuffer->scrollback(), std::nullopt);
    EXPECT_NE(screenText(terminal).find("99\n"), std::string::npos) << "the screen itself is kept";
}

TEST_F(HeadlessTerminalTest, ParsesOnAPrivateQueueWhenGivenOne)
{
    RunLoop privateQueue;
    std::thread queueThread([&] { privateQueue.run(); });
    std::atomic<bool> done{false};
    std::string screen;
    std::unique_ptr<HeadlessTerminal> headless;
    headless = std::make_unique<HeadlessTerminal>(&privateQueue, sized(40, 10), [&](std::optional<int>) {
        screen = screenText(*headless->terminal());  // on the private queue, like the parsing
        done = true;
    });
    headless->process()->startProcess("/bin/sh", {"-c", "printf 'private queue\\r\\n'"});
    ASSERT_TRUE(eventually([&] { return done.load(); }, kTimeout));
    privateQueue.post([&] { headless.reset(); });
    privateQueue.stop();
    queueThread.join();
    EXPECT_EQ(screen.substr(0, 14), "private queue\n");
    EXPECT_EQ(main.loop.queuedCount(), 0u);
}

TEST_F(HeadlessTerminalTest, EndHandlerMayReleaseTheHeadlessTerminal)
{
    std::unique_ptr<HeadlessTerminal> headless;
    bool released = false;
    headless = std::make_unique<HeadlessTerminal>(nullptr, sized(80, 25), [&](std::optional<int>) {
        headless.reset();
        released = true;
    });
    headless->process()->startProcess("/bin/sh", {"-c", "seq 1 20000"});
    ASSERT_TRUE(main.loop.runUntil([&] { return released; }, kTimeout));
    main.loop.runFor(50ms);
}

TEST_F(HeadlessTerminalTest, SixelImagesFromTheChildAreRecordedOncePerImage)
{
    auto headless = make();
    // Two red columns, six pixels high, then a second image of one column.
    headless->process()->startProcess(
        "/bin/sh", {"-c", "printf '\\033Pq#1;2;100;0;0#1~~\\033\\\\'; printf '\\033Pq#1;2;0;0;100#1~\\033\\\\'"});
    ASSERT_TRUE(endsEventually());
    const auto& images = headless->images();
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].width, 2);
    EXPECT_EQ(images[0].height, 6);
    ASSERT_EQ(images[0].bytes.size(), 2u * 6 * 4);
    EXPECT_EQ(images[0].bytes[0], 255) << "red";
    EXPECT_EQ(images[0].bytes[2], 0);
    EXPECT_EQ(images[1].width, 1);
    EXPECT_EQ(images[1].bytes[2], 255) << "blue";
}

TEST_F(HeadlessTerminalTest, RecordedImagesStayWithinTheirBudget)
{
    auto headless = make();
    Terminal& t = *headless->terminal();
    const std::size_t quarter = HeadlessTerminal::kMaxImageBytes / 4;
    for (int i = 0; i < 10; ++i) {
        std::vector<std::uint8_t> rgba(quarter, static_cast<std::uint8_t>(i));
        headless->createImageFromBitmap(t, rgba, static_cast<int>(quarter / 4), 1);
    }
    std::size_t total = 0;
    for (const auto& image : headless->images())
        total += image.bytes.size();
    EXPECT_LE(total, HeadlessTerminal::kMaxImageBytes);
    ASSERT_EQ(headless->images().size(), 4u);
    EXPECT_EQ(headless->images().front().bytes[0], 6) << "the oldest go first";
    EXPECT_EQ(headless->images().back().bytes[0], 9);

    std::vector<std::uint8_t> huge(HeadlessTerminal::kMaxImageBytes + 4, 1);
    headless->createImageFromBitmap(t, huge, 1, 1);
    EXPECT_EQ(headless->images().back().bytes[0], 9) << "an image over the budget is dropped";
}

TEST_F(HeadlessTerminalTest, WorkingDirectoryReportUpdatesDir)
{
    auto headless = make();
    headless->process()->startProcess("/bin/sh", {"-c", "printf '\\033]7;file://localhost/var/tmp\\007'"});
    ASSERT_TRUE(endsEventually());
    ASSERT_TRUE(headless->dir());
    EXPECT_NE(headless->dir()->find("/var/tmp"), std::string::npos);
}

// --- a real sshd on loopback -------------------------------------------------

namespace {

int freeLoopbackPort()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    close(fd);
    return ntohs(address.sin_port);
}

bool accepting(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Sshd {
public:
    // `forceCommand`: the one program every login runs (ForceCommand).
    explicit Sshd(const std::string& forceCommand = {})
    {
        dir_ = std::filesystem::temp_directory_path() / ("rg-sshd-" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        chmod(dir_.c_str(), 0700);
        if (access("/usr/sbin/sshd", X_OK) != 0) {
            problem_ = "/usr/sbin/sshd is not installed";
            return;
        }
        const std::string d = dir_.string();
        if (std::system(("ssh-keygen -q -t ed25519 -N '' -f " + d + "/hostkey && ssh-keygen -q -t ed25519 -N '' -f " +
                         d + "/userkey && cp " + d + "/userkey.pub " + d + "/authorized_keys")
                            .c_str()) != 0) {
            problem_ = "ssh-keygen failed";
            return;
        }
        std::filesystem::create_directories("/run/sshd");
        port_ = freeLoopbackPort();
        std::ofstream(dir_ / "sshd_config")
            << "Port " << port_ << "\nListenAddress 127.0.0.1\nHostKey " << d << "/hostkey\nAuthorizedKeysFile " << d
            << "/authorized_keys\nPidFile " << d << "/sshd.pid\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
            << (forceCommand.empty() ? "" : "ForceCommand " + forceCommand + "\n");
        std::ofstream(dir_ / "ssh_config") << "Host testhost\n  HostName 127.0.0.1\n  Port " << port_
                                           << "\n  IdentityFile " << d << "/userkey\n  IdentitiesOnly yes\n"
                                           << "  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n"
                                           << "  LogLevel ERROR\n  BatchMode yes\n";
        if (std::system(("/usr/sbin/sshd -f " + d + "/sshd_config -E " + d + "/sshd.log").c_str()) != 0 ||
            !eventually([&] { return accepting(port_); }, 10s)) {
            problem_ = "sshd did not start: " + readFile(dir_ / "sshd.log");
        }
    }
    ~Sshd()
    {
        const std::string pid = readFile(dir_ / "sshd.pid");
        if (!pid.empty()) {
            const pid_t daemon = std::atoi(pid.c_str());
            if (daemon > 0 && kill(daemon, SIGTERM) == 0)
                eventually([&] { return processGone(daemon); }, 5s);
        }
        std::error_code ignored;  // sshd removes its own pid file as it goes
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::string& problem() const { return problem_; }
    std::string clientConfig() const { return (dir_ / "ssh_config").string(); }
    int port() const { return port_; }

private:
    std::filesystem::path dir_;
    int port_ = -1;
    std::string problem_;
};

}  // namespace

TEST_F(HeadlessTerminalTest, SshSessionShowsOutputAndReportsTheRemoteStatus)
{
    Sshd sshd;
    if (!sshd.problem().empty())
        GTEST_SKIP() << "skipped: " << sshd.problem();
    auto headless = make(80, 24);
    headless->process()->startProcess("/usr/bin/ssh", {"-F", sshd.clientConfig(), "testhost", "echo ok; exit 4"});
    ASSERT_TRUE(endsEventually());
    EXPECT_EQ(*ended, std::optional<int>(1024)) << screenText(*headless->terminal());
    EXPECT_EQ(screenText(*headless->terminal()).substr(0, 3), "ok\n");
}

TEST_F(HeadlessTerminalTest, SynchronizedOutputEndsOnTheRunLoopsClockWhileTheChildIsQuiet)
{
    auto headless = make(20, 4);
    headless->terminal()->feed("\x1b[?2026h");
    ASSERT_TRUE(headless->terminal()->synchronizedOutputActive);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(main.loop.runUntil([&] { return !headless->terminal()->synchronizedOutputActive; }, kTimeout));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    headless->terminal()->feed("\x1b[?2026h");
    headless.reset();  // its pending timer goes with it
    main.loop.runFor(std::chrono::milliseconds(1200));
}

// A host whose output asks for local data (here OSC 7, gated like the
// clipboard, the screen checksum and file media) gets nothing however ssh is
// started from a local tab, also when what it sent is parsed after it ended;
// the same request from the local shell right after still gets through, and
// a path the host printed stays remote output.
TEST_F(HeadlessTerminalTest, RemoteSessionsStartedAnyWayFromALocalShellAreNotTrusted)
{
    const auto dir = std::filesystem::temp_directory_path() / ("rg-remote-forms-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string d = dir.string();
    {
        std::ofstream probe(dir / "probe");
        // A real host answers after the network's round trips, never the instant ssh starts.
        probe << "#!/bin/sh\ntag=\"$SSH_ORIGINAL_COMMAND\"\nsleep 0.2\n"
                 "case \"$tag\" in burst*) head -c 1000000 /dev/zero | tr '\\0' x;; esac\n"
                 "printf '\\r\\n/etc/hostname\\r\\n\\033]7;file://localhost/remote-%s\\033\\\\done-%s\\r\\n' \"$tag\" "
                 "\"$tag\"\n";
    }
    std::filesystem::permissions(dir / "probe", std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                    std::filesystem::perms::others_read |
                                                    std::filesystem::perms::others_exec |
                                                    std::filesystem::perms::group_exec);
    Sshd sshd((dir / "probe").string());
    if (!sshd.problem().empty())
        GTEST_SKIP() << "skipped: " << sshd.problem();
    std::filesystem::copy_file("/usr/bin/ssh", dir / "xfer");
    const std::string ssh = "ssh -F " + sshd.clientConfig() + " testhost ";

    auto headless = make(100, 30);
    headless->changeScrollback(20000);
    ASSERT_TRUE(headless->process()->startProcess("/bin/bash", {"--norc", "--noprofile"}));
    headless->send("set -m; PS1=; echo ready\n");
    ASSERT_TRUE(showsEventually(*headless, "ready"));

    auto remoteDir = [&](const std::string& tag) { return "file://localhost/remote-" + tag; };
    const std::vector<std::pair<std::string, std::string>> forms = {
        {"copy", d + "/xfer -F " + sshd.clientConfig() + " testhost copy"},
        {"timeout", "timeout 3600 " + ssh + "timeout"},
        {"script", "script -qc '" + ssh + "script' /dev/null"},
        {"shc", "sh -c '" + ssh + "shc; true'"},
        {"pty", "/usr/bin/python3 -c 'import pty,sys; pty.spawn(sys.argv[1:])' " + ssh + "pty"},
        {"setsid", "setsid -w " + ssh + "setsid"},
        {"bg", ssh.substr(0, 4) + "-n " + ssh.substr(4) + "bg & wait"},
    };
    for (const auto& [tag, command] : forms) {
        headless->send(command + "; echo back-$((6*7))-" + tag + "\n");
        ASSERT_TRUE(showsEventually(*headless, "back-42-" + tag)) << tag << "\n" << screenText(*headless->terminal());
        EXPECT_NE(headless->dir().value_or(""), remoteDir(tag)) << tag;
        EXPECT_TRUE(trustedAgain(*headless, tag)) << "the local shell is trusted again after " << tag;
    }

    // A burst the tab parses only once the session is over: the reader knew.
    headless->send(ssh + "burst; touch " + d + "/after\n");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir / "after"); }, kTimeout));
    headless->send("echo back-$((6*7))-burst\n");
    ASSERT_TRUE(showsEventually(*headless, "back-42-burst"));
    EXPECT_NE(headless->dir().value_or(""), remoteDir("burst"));
    EXPECT_TRUE(trustedAgain(*headless, "burst"));

    // A shell holding a TCP connection itself is remote, whatever its name.
    headless->send("exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(sshd.port()) +
                   "; printf '\\033]7;file://localhost/sock\\033\\\\'; echo back-$((6*7))-sock\n");
    ASSERT_TRUE(showsEventually(*headless, "back-42-sock"));
    EXPECT_NE(headless->dir().value_or(""), "file://localhost/sock");
    // The first output after it closed may still be what it relayed.
    headless->send("exec 3>&-; echo closed-$((6*7))\n");
    ASSERT_TRUE(showsEventually(*headless, "closed-42"));
    EXPECT_TRUE(trustedAgain(*headless, "sock")) << "the local shell is trusted again after the socket closed";

    // The path the host printed stays remote; the same path printed locally does not.
    headless->send("echo /etc/hostname; echo back-$((6*7))-path\n");
    ASSERT_TRUE(showsEventually(*headless, "back-42-path"));
    Terminal& terminal = *headless->terminal();
    Buffer& buffer = *terminal.buffer;
    int remoteRows = 0;
    int localRows = 0;
    for (int row = 0; row < buffer.lines().count(); ++row) {
        if (terminal.translateBufferLineToString(buffer, row, 0, -1).rfind("/etc/hostname", 0) != 0)
            continue;
        const auto match = terminal.implicitLinkMatch({1, row}, buffer);
        ASSERT_TRUE(match) << row;
        (terminal.linkPrintedByRemote(*match, buffer) ? remoteRows : localRows)++;
    }
    EXPECT_EQ(remoteRows, static_cast<int>(forms.size()) + 1) << "every remote printed the path once";
    EXPECT_EQ(localRows, 1);
    std::filesystem::remove_all(dir);
}

namespace {

// Wake-ups of every terminal reader thread of this process so far: the times
// it went to sleep by itself, as between looks (a busy machine's preemptions
// are no wake-ups).
long readerWakeUps()
{
    long total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (readFile(task.path() / "comm") != "rg-pty-reader\n")
            continue;
        std::istringstream status(readFile(task.path() / "status"));
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                total += std::stol(line.substr(line.find(':') + 1));
    }
    return total;
}

}  // namespace

// A shell alone at its prompt costs next to nothing, and a remote session
// that input then starts is looked at while it connects, at the quiet pace:
// here a client that stays connected without printing until a look has
// begun since it connected, with the terminal's echo off so that nothing
// read wakes the reader first.
TEST_F(HeadlessTerminalTest, AnIdleShellIsLookedAtRarelyAndWhatInputStartsIsStillSeen)
{
    const LoopbackHost host;
    ASSERT_NE(host.port(), 0);
    const auto dir = std::filesystem::temp_directory_path() / ("rg-idle-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "fetch") << "#!/bin/bash\nexec 3<>/dev/tcp/127.0.0.1/" << host.port() << " || exit 1\n: > "
                                 << (dir / "connected").string() << "\nuntil [ -e " << (dir / "go").string()
                                 << " ]; do sleep 0.02; done\n"
                                    "printf '\\033]7;file://localhost/fetched\\033\\\\'; echo back-$((6*7))\n"
                                    "exec 3>&-\n";
    std::filesystem::permissions(dir / "fetch", std::filesystem::perms::owner_all);

    auto headless = make();
    ASSERT_TRUE(headless->process()->startProcess(
        "/bin/sh", {"-c", "stty -echo; echo ready; while read -r line; do eval \"$line\"; done"}));
    ASSERT_TRUE(showsEventually(*headless, "ready"));
    // Some second soon has a handful of wake-ups at most (40 at the quiet pace).
    bool rare = false;
    for (int second = 0; second < 15 && !rare; ++second) {
        const long before = readerWakeUps();
        main.loop.runFor(1s);
        rare = readerWakeUps() - before <= 5;
    }
    EXPECT_TRUE(rare);

    // Typed just after an idle look, long before the next.
    const long woken = readerWakeUps();
    eventually([&] { return readerWakeUps() != woken; }, 2s);
    headless->send((dir / "fetch").string() + "\n");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir / "connected"); }, 10s));
    // The second look finished since began after the connection; how soon
    // input ends the idle pace is the pacing's own test.
    const std::uint64_t connected = RemoteSessionProbe::looksFinished();
    ASSERT_TRUE(eventually([&] { return RemoteSessionProbe::looksFinished() - connected >= 2; }, 30s));
    std::ofstream(dir / "go").flush();
    ASSERT_TRUE(showsEventually(*headless, "back-42")) << screenText(*headless->terminal());
    EXPECT_NE(headless->dir().value_or(""), "file://localhost/fetched");
    EXPECT_TRUE(trustedAgain(*headless, "idle"));
    std::filesystem::remove_all(dir);
}

// tmux in the tab shows what its panes print, and they run on the server's
// own terminals, outside the tab's session. While its client is in the tab,
// the server's processes count as the tab's: a pane holding a connection
// makes passthrough requests from any pane go unanswered; with local panes
// only, they are answered as before.
TEST_F(HeadlessTerminalTest, AMultiplexersPanesCountWhileItsClientIsInTheTab)
{
    if (access("/usr/bin/tmux", X_OK) != 0)
        GTEST_SKIP() << "tmux is not installed";
    const auto dir = std::filesystem::temp_directory_path() / ("rg-tmux-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string d = dir.string();
    std::ofstream(dir / "conf") << "set -g allow-passthrough on\nset -g status off\n";
    // Asks for a directory report through tmux's passthrough, then says it has.
    std::ofstream(dir / "say") << "printf '\\033Ptmux;\\033\\033]7;file://localhost/%s\\007\\033\\\\' \"$1\"; "
                                  "echo said-\"$1\"\n";
    const LoopbackHost host;
    ASSERT_NE(host.port(), 0);
    const std::string tmux = "tmux -S " + d + "/sock -f " + d + "/conf ";
    // Stopped before its socket's folder goes, however the test ends.
    struct Server {
        std::string tmux;
        std::filesystem::path dir;
        ~Server()
        {
            std::system((tmux + "kill-server 2>/dev/null").c_str());
            std::filesystem::remove_all(dir);
        }
    } server{tmux, dir};
    ASSERT_EQ(std::system((tmux + "new-session -d -s t -x 100 -y 30 /bin/sh").c_str()), 0);

    auto headless = make(100, 30);
    ASSERT_TRUE(headless->process()->startProcess("/bin/bash", {"--norc", "--noprofile"}));
    headless->send(tmux + "attach -t t\n");
    auto say = [&](const std::string& tag) {
        std::system((tmux + "send-keys -t t:0 'sh " + d + "/say " + tag + "' Enter").c_str());
        return showsEventually(*headless, "said-" + tag);
    };
    // The client attaches, and the looks find its server, in their own time:
    // ask until the pane's request is answered, however long a busy machine
    // takes (a count of tries ran out in half a second under load).
    bool answered = false;
    const auto giveUp = std::chrono::steady_clock::now() + 60s;
    for (int attempt = 0; !answered && std::chrono::steady_clock::now() < giveUp; ++attempt) {
        const std::string tag = "local-" + std::to_string(attempt);
        answered = say(tag) && headless->dir().value_or("") == "file://localhost/" + tag;
    }
    EXPECT_TRUE(answered) << "a local pane is answered\n" << screenText(*headless->terminal());

    // A pane that holds a connection asks once it is there.
    const std::string client = "bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(host.port()) + "; sh " + d +
                               "/say remote; exec sleep 600'";
    ASSERT_EQ(std::system((tmux + "new-window -t t:1 \"" + client + "\"").c_str()), 0);
    ASSERT_TRUE(showsEventually(*headless, "said-remote")) << screenText(*headless->terminal());
    EXPECT_NE(headless->dir().value_or(""), "file://localhost/remote");
    // The local pane, while the remote one is in the server, gets nothing either.
    ASSERT_EQ(std::system((tmux + "select-window -t t:0").c_str()), 0);
    ASSERT_TRUE(say("beside")) << screenText(*headless->terminal());
    EXPECT_NE(headless->dir().value_or(""), "file://localhost/beside");
}
