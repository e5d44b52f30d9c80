#include "platform/FakeScheduler.h"
#include "ravelgrid/process/ChildReaper.h"
#include "ravelgrid/process/LocalProcess.h"
#include "ravelgrid/process/RunLoop.h"
#include "ravelgrid/process/tests/ProcessTestSupport.h"
#include "ravelgrid/terminal/Terminal.h"

#include "platform/Log.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace ravelgrid;
using namespace ravelgrid::test;
using namespace std::chrono_literals;

namespace {

class LocalProcessTest : public ::testing::Test {
protected:
    MainLoopScope main;
    RecordingDelegate recorder;

    bool runUntilExit(LocalProcess&)
    {
        return main.loop.runUntil([&] { return recorder.exited(); }, kTimeout);
    }
    void startShell(LocalProcess& process, const std::string& script)
    {
        ASSERT_TRUE(process.startProcess("/bin/sh", {"-c", script}));
    }
};

class LogCapture {
public:
    LogCapture()
    {
        platform::setLogSink([this](platform::LogLevel level, std::string_view, std::string_view message) {
            std::lock_guard lock(mutex);
            lines.emplace_back(level, std::string(message));
        });
    }
    ~LogCapture() { platform::setLogSink(nullptr); }
    std::vector<std::string> messages(platform::LogLevel level)
    {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        for (auto& [l, m] : lines)
            if (l == level)
                out.push_back(m);
        return out;
    }
    std::mutex mutex;
    std::vector<std::pair<platform::LogLevel, std::string>> lines;
};

}  // namespace

// --- exit statuses -----------------------------------------------------------

TEST_F(LocalProcessTest, ExitStatusesArriveRaw)
{
    struct Case {
        std::string program;
        std::string script;
        int status;
    } cases[] = {{"/bin/sh", "exit 3", 768},
                 {"/bin/sh", "kill -9 $$", 9},
                 {"/bin/sh", "exit 0", 0},
                 {"/bin/sh", "kill -15 $$", 15},
                 {"/nonexistent/program", "", 127 << 8}};  // the start itself succeeds
    for (const auto& c : cases) {
        RecordingDelegate rec;
        LocalProcess process(&rec);
        EXPECT_TRUE(process.startProcess(c.program, {"-c", c.script})) << c.program;
        ASSERT_TRUE(main.loop.runUntil([&] { return rec.exited(); }, kTimeout)) << c.script;
        EXPECT_EQ(rec.exitStatus(), std::optional<int>(c.status)) << c.script;
        EXPECT_FALSE(process.running());
        EXPECT_EQ(process.shellPid(), 0) << "a reaped child's pid is forgotten";
    }
}

TEST_F(LocalProcessTest, FailedReapIsNotReportedAsCleanExit)
{
    // With SIGCHLD ignored the kernel reaps the child itself, so our wait fails.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGCHLD, &ignore, &previous);
    LocalProcess process(&recorder);
    startShell(process, "exit 0");
    const bool exited = runUntilExit(process);
    sigaction(SIGCHLD, &previous, nullptr);
    ASSERT_TRUE(exited);
    EXPECT_EQ(recorder.exitStatus(), std::nullopt);
}

// --- output ------------------------------------------------------------------

TEST_F(LocalProcessTest, OutputBeforeTheExitArrivesBeforeTheReport)
{
    LocalProcess process(&recorder);
    // 2 MB in raw mode, then an immediate exit.
    startShell(process, "stty raw -echo; head -c 2000000 /dev/zero | tr '\\0' x; exit 5");
    ASSERT_TRUE(runUntilExit(process));
    EXPECT_EQ(recorder.exitStatus(), std::optional<int>(5 << 8));
    EXPECT_EQ(recorder.outputAtExit(), 2000000u);
    EXPECT_LE(recorder.maxChunk(), LocalProcess::readSize);
    EXPECT_EQ(recorder.exitCount(), 1);
}

TEST_F(LocalProcessTest, AGrandchildHoldingTheTerminalDoesNotHoldBackTheExit)
{
    LocalProcess process(&recorder);
    startShell(process, "trap '' HUP; (sleep 0.3; echo late; sleep 300) & echo early; exit 6");
    const pid_t pid = process.shellPid();
    ASSERT_TRUE(runUntilExit(process));
    // Reported while the grandchild still holds the terminal.
    EXPECT_FALSE(sessionMembers(pid).empty());
    EXPECT_EQ(recorder.exitStatus(), std::optional<int>(6 << 8));
    EXPECT_TRUE(recorder.outputContains("early"));
    // Output soon after the exit is still delivered.
    EXPECT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("late"); }, kTimeout));
    const pid_t sid = pid;
    process.terminate();
    killSession(sid);
}

// A child that fills the queue of a busy owner, then writes a last word and
// exits while reading is paused: the word still arrives, before the exit.
TEST_F(LocalProcessTest, OutputWaitingBehindBackPressureOutlivesTheExit)
{
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; head -c " + std::to_string(LocalProcess::pendingHighWaterBytes) +
                            " /dev/zero; sleep 0.3; printf TAIL; exit 4");
    // The owner is busy well past the grace after the child's death.
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(recorder.chunks(), 0u);
    ASSERT_TRUE(runUntilExit(process));
    EXPECT_EQ(recorder.exitStatus(), std::optional<int>(4 << 8));
    const std::string output = recorder.output();
    EXPECT_EQ(output.size(), LocalProcess::pendingHighWaterBytes + 4);
    EXPECT_EQ(output.substr(output.size() - std::min<std::size_t>(output.size(), 4)), "TAIL");
    EXPECT_EQ(recorder.outputAtExit(), output.size());
}

// A grandchild that ignores the hangup and floods the terminal: the exit is
// reported within a second of the child's death, the terminal is then hung up
// and the grandchild, whose writes now fail, goes too.
TEST_F(LocalProcessTest, AFloodingGrandchildDoesNotHoldBackTheExit)
{
    for (const bool privateQueue : {false, true}) {
        SCOPED_TRACE(privateQueue ? "private queue" : "main queue");
        RecordingDelegate rec;
        rec.keepOutput = false;
        // A consumer slower than the flood: the reader never catches up.
        rec.onData = [](std::span<const std::uint8_t>) { std::this_thread::sleep_for(5ms); };
        RunLoop other;
        std::thread otherThread;
        if (privateQueue)
            otherThread = std::thread([&] { other.run(); });
        LocalProcess process(&rec, privateQueue ? &other : nullptr);
        ASSERT_TRUE(process.startProcess("/bin/sh", {"-c", "trap '' HUP; yes & sleep 0.3; exit 3"}));
        const pid_t sid = process.shellPid();
        // Held back, the exit would never come while the grandchild floods.
        const bool exited = privateQueue ? eventually([&] { return rec.exited(); }, kTimeout)
                                         : main.loop.runUntil([&] { return rec.exited(); }, kTimeout);
        EXPECT_TRUE(exited);
        EXPECT_EQ(rec.exitStatus(), std::optional<int>(3 << 8));
        EXPECT_GT(rec.chunks(), 0u) << "the flood was read until the hangup";
        // A flood a busy machine starves can let the exit be reported before
        // the hangup; the terminal is hung up within the grace all the same.
        EXPECT_TRUE(eventually([&] { return process.childfd() == -1; }, LocalProcess::exitOutputGrace + 10s));
        EXPECT_FALSE(process.running());
        EXPECT_TRUE(eventually([&] { return sessionMembers(sid).empty(); }, 10s))
            << sessionMembers(sid).size() << " processes of the session left";
        killSession(sid);
        if (privateQueue) {
            other.stop();
            otherThread.join();
        }
    }
}

TEST_F(LocalProcessTest, ChunksStayInOrderAndWholeOnAPrivateQueue)
{
    RunLoop privateQueue;
    std::thread queueThread([&] { privateQueue.run(); });
    const auto queueThreadId = queueThread.get_id();
    {
        LocalProcess process(&recorder, &privateQueue);
        EXPECT_FALSE(process.usesMainQueue());
        process.startProcess("/bin/sh", {"-c", "stty raw -echo; seq 1 200000"});
        ASSERT_TRUE(eventually([&] { return recorder.exited(); }, kTimeout));
    }
    privateQueue.stop();
    queueThread.join();
    EXPECT_EQ(recorder.deliveryThread(), queueThreadId);
    std::string expected;
    for (int i = 1; i <= 200000; ++i)
        expected += std::to_string(i) + "\n";
    EXPECT_EQ(recorder.output(), expected);
    EXPECT_EQ(recorder.outputAtExit(), expected.size());
    EXPECT_EQ(main.loop.queuedCount(), 0u) << "nothing goes through the main queue";
}

TEST_F(LocalProcessTest, DrainTurnsEndAfterTheTimeSlice)
{
    platform::FakeScheduler clock;
    std::atomic<std::uint64_t> step{5000000};
    recorder.onData = [&](std::span<const std::uint8_t>) { clock.advance(step.load()); };
    LocalProcess process(&recorder);
    process.setClock(&clock);
    startShell(process, "stty raw -echo; head -c 600000 /dev/zero");
    // The reader queues everything while the loop is stalled: running ends with the output.
    ASSERT_TRUE(eventually([&] { return !process.running(); }, kTimeout));
    ASSERT_EQ(main.loop.queuedCount(), 1u) << "one drain turn, however many chunks";
    main.loop.runPending();
    EXPECT_EQ(recorder.chunks(), 1u) << "a turn past its time slice stops after one chunk";
    EXPECT_EQ(main.loop.queuedCount(), 1u) << "and queues the next turn";
    step = 0;
    main.loop.runPending();
    EXPECT_EQ(recorder.output().size(), 600000u);
    // The exit follows the output into the same list, once the reader has seen it.
    EXPECT_TRUE(main.loop.runUntil([&] { return recorder.exited(); }, kTimeout));
    EXPECT_EQ(recorder.output().size(), 600000u);
}

// A delegate busy with held work pauses delivery: the rest waits in the
// process (the reader stops at back-pressure) and arrives whole on resume.
TEST_F(LocalProcessTest, HeldOutputWaitsInTheProcessUntilResumed)
{
    struct HoldingDelegate : RecordingDelegate {
        bool outputHeld() override { return held.load(); }
        std::atomic<bool> held{false};
    } holder;
    holder.onData = [&](std::span<const std::uint8_t>) { holder.held = true; };
    LocalProcess process(&holder);
    ASSERT_TRUE(process.startProcess("/bin/sh", {"-c", "stty raw -echo; head -c 12000000 /dev/zero; printf end"}));
    ASSERT_TRUE(main.loop.runUntil([&] { return holder.chunks() == 1; }, kTimeout));
    // Everything the reader may hold arrives; delivery stays paused.
    for (int i = 0; i < 10; ++i) {
        main.loop.runPending();
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(holder.chunks(), 1u);
    EXPECT_TRUE(process.running()) << "the child waits behind back-pressure";

    holder.onData = nullptr;
    holder.held = false;
    process.resumeOutput();
    ASSERT_TRUE(main.loop.runUntil([&] { return holder.exited(); }, kTimeout));
    const std::string out = holder.output();
    EXPECT_EQ(out.size(), 12000003u);
    EXPECT_EQ(out.substr(out.size() - 3), "end");
    EXPECT_EQ(holder.outputAtExit(), out.size()) << "the exit after the output";
}

TEST_F(LocalProcessTest, BackPressureBoundsMemoryAndKeepsEveryByte)
{
    // seq in raw mode: every number once, in order, about 300 MB.
    constexpr long last = 34700000;
    std::size_t expectedBytes = 0;
    for (long n = 1, width = 1, limit = 10; n <= last; ++n) {
        if (n == limit) {
            ++width;
            limit *= 10;
        }
        expectedBytes += static_cast<std::size_t>(width) + 1;
    }
    ASSERT_GT(expectedBytes, 300000000u);

    recorder.keepOutput = false;
    long next = 1;
    long current = 0;
    bool sawDigit = false;
    bool broken = false;
    std::size_t received = 0;
    recorder.onData = [&](std::span<const std::uint8_t> bytes) {
        received += bytes.size();
        for (std::uint8_t b : bytes) {
            if (b >= '0' && b <= '9') {
                current = current * 10 + (b - '0');
                sawDigit = true;
            } else if (b == '\n' && sawDigit) {
                if (current != next)
                    broken = true;
                ++next;
                current = 0;
                sawDigit = false;
            } else {
                broken = true;
            }
        }
    };
    const std::size_t baseline = residentBytes();
    std::size_t peak = baseline;
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; exec seq 1 " + std::to_string(last));

    // Stalled owner: the reader must stop at the high-water mark.
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(50ms);
        peak = std::max(peak, residentBytes());
    }
    EXPECT_EQ(received, 0u);
    EXPECT_TRUE(process.running()) << "the child is held up, not finished";

    std::size_t turns = 0;
    ASSERT_TRUE(main.loop.runUntil(
        [&] {
            if (++turns % 64 == 0)
                peak = std::max(peak, residentBytes());
            return recorder.exited();
        },
        std::chrono::seconds(240)));
    EXPECT_FALSE(broken) << "out of order near " << next;
    EXPECT_EQ(next, last + 1);
    EXPECT_EQ(received, expectedBytes);
    EXPECT_EQ(recorder.exitStatus(), std::optional<int>(0));
    EXPECT_LT(peak - baseline, 64u * 1024 * 1024) << "peak " << peak << " baseline " << baseline;
    RecordProperty("residentGrowthBytes", std::to_string(peak - baseline));
}

// --- input -------------------------------------------------------------------

TEST_F(LocalProcessTest, SendsReachTheChildInOrder)
{
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; echo ready; head -c 30000");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready\n"); }, kTimeout));
    std::string expected = "ready\n";
    for (int i = 0; i < 3000; ++i) {
        std::string piece = std::to_string(i % 10) + "abcdefghi";
        expected += piece;
        process.send(std::span(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()));
    }
    ASSERT_TRUE(runUntilExit(process));
    EXPECT_EQ(recorder.output(), expected);
    EXPECT_EQ(process.sendCount(), 3000u);
    EXPECT_EQ(process.total(), 30000u);
}

TEST_F(LocalProcessTest, InputTheChildNeverReadsIsBounded)
{
    LogCapture log;
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; exec sleep 3600");
    std::vector<std::uint8_t> block(1024 * 1024, 'a');
    for (int i = 0; i < 40; ++i)
        process.send(block);
    const auto errors = log.messages(platform::LogLevel::error);
    ASSERT_EQ(errors.size(), 1u) << "the overflow is reported once";
    EXPECT_NE(errors[0].find("not reading"), std::string::npos);
    EXPECT_LE(process.total(), LocalProcess::pendingWriteLimitBytes);
    const pid_t pid = process.shellPid();
    process.terminate();
    EXPECT_TRUE(eventually([&] { return processGone(pid); }, kTimeout));
}

// Replies for a child that has stopped reading are dropped with one line per
// episode, however the drops interleave with sends that still fit; once the
// child has caught up, a new overflow is a new episode.
TEST_F(LocalProcessTest, DroppedInputIsLoggedOncePerEpisode)
{
    LogCapture log;
    const std::string gate = ::testing::TempDir() + "/reader-gate-" + std::to_string(getpid());
    std::filesystem::remove(gate);
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; while [ ! -e '" + gate +
                            "' ]; do sleep 0.05; done; "
                            "head -c 9000000 >/dev/null; exec sleep 3600");
    const pid_t sid = process.shellPid();
    const std::vector<std::uint8_t> block(64 * 1024, 'a');
    const std::vector<std::uint8_t> big(1024 * 1024, 'b');
    const std::vector<std::uint8_t> reply{'r'};
    // Fill the queue to just below its limit, leaving room for small replies.
    for (std::size_t sent = 0; sent + block.size() < LocalProcess::pendingWriteLimitBytes; sent += block.size())
        process.send(block);
    for (int i = 0; i < 1000; ++i) {
        process.send(big);    // dropped
        process.send(reply);  // still fits
    }
    auto dropLines = [&] {
        std::size_t count = 0;
        for (const auto& line : log.messages(platform::LogLevel::error))
            count += line.find("not reading") != std::string::npos ? 1 : 0;
        return count;
    };
    EXPECT_EQ(dropLines(), 1u);

    std::ofstream(gate).put('x');
    ASSERT_TRUE(eventually([&] { return process.total() >= 8900000; }, kTimeout)) << process.total();
    for (int i = 0; i < 20; ++i)
        process.send(big);
    EXPECT_EQ(dropLines(), 2u) << "a new episode after the child caught up";
    process.terminate();
    killSession(sid);
    std::filesystem::remove(gate);
}

TEST_F(LocalProcessTest, DebugLinesNumberSendsAndShowRunningTotals)
{
    LogCapture log;
    LocalProcess process(&recorder);
    process.setDebugIO(true);
    startShell(process, "stty raw -echo; echo ready; head -c 5");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready\n"); }, kTimeout));
    const std::uint8_t first[] = {104, 105};
    const std::uint8_t second[] = {1, 2, 3};
    process.send(first);
    process.send(second);
    ASSERT_TRUE(runUntilExit(process));
    const auto lines = log.messages(platform::LogLevel::info);
    auto has = [&](const std::string& text) { return std::find(lines.begin(), lines.end(), text) != lines.end(); };
    EXPECT_TRUE(has("[SEND-0] Queuing data to client: [104, 105] "));
    EXPECT_TRUE(has("[SEND-1] Queuing data to client: [1, 2, 3] "));
    EXPECT_TRUE(has("[SEND-0] completed bytes=2"));
    EXPECT_TRUE(has("[SEND-1] completed bytes=5")) << "the running total, not this send's size";
    EXPECT_TRUE(has("[READ] count=6 received from host total=6"));
    std::string lastRead;
    for (const auto& line : lines)
        if (line.rfind("[READ]", 0) == 0)
            lastRead = line;
    EXPECT_NE(lastRead.find(" received from host total=11"), std::string::npos) << lastRead;
}

namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

// A child that reads nothing for a while: keys typed behind a paste wait at
// most pasteWaitLimit, then the paste's rest is dropped (its bracketed end
// still written) and the keys follow in order.
TEST_F(LocalProcessTest, TypedInputDoesNotWaitLongBehindAnUnreadPaste)
{
    // The child reads nothing until the test opens the gate.
    const std::string gate = ::testing::TempDir() + "/paste-gate-" + std::to_string(getpid());
    std::filesystem::remove(gate);
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; echo ready; while [ ! -e '" + gate + "' ]; do sleep 0.05; done; exec cat");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready"); }, kTimeout));
    const std::string start = "\x1b[200~", end = "\x1b[201~";
    const std::string paste = start + std::string(1 << 20, 'p') + end;
    process.sendPaste(bytesOf(paste), {start.size(), end.size()});
    process.send(bytesOf("k1"));
    process.send(bytesOf("k2"));
    ASSERT_TRUE(main.loop.runUntil([&] { return !recorder.pasteDrops().empty(); }, kTimeout));
    EXPECT_EQ(recorder.pasteDrops(), std::vector<PasteDrop>{PasteDrop::notRead});
    std::ofstream(gate).put('x');

    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains(end + "k1k2"); }, kTimeout));
    const std::string output = recorder.output();
    const auto first = output.find(start);
    const auto last = output.find(end);
    ASSERT_NE(first, std::string::npos);
    const std::string middle = output.substr(first + start.size(), last - first - start.size());
    EXPECT_GT(middle.size(), 0u) << "what the terminal took was written";
    EXPECT_LT(middle.size(), paste.size() / 4) << "the rest was not";
    EXPECT_EQ(middle.find_first_not_of('p'), std::string::npos);
    EXPECT_EQ(output.substr(last), end + "k1k2");
    process.terminate();
    std::filesystem::remove(gate);
}

// The bound on unread input holds for pastes: one that does not fit is
// dropped whole; typed input that does not fit takes the room of waiting
// pastes and is not dropped.
TEST_F(LocalProcessTest, PastesGiveWayWhenInputDoesNotFit)
{
    LogCapture log;
    const std::string gate = ::testing::TempDir() + "/fit-gate-" + std::to_string(getpid());
    std::filesystem::remove(gate);
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; echo ready; while [ ! -e '" + gate + "' ]; do sleep 0.05; done; exec cat");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready"); }, kTimeout));
    process.sendPaste(std::vector<std::uint8_t>(LocalProcess::pendingWriteLimitBytes + 1, 'h'));
    const std::vector<std::uint8_t> fitting(LocalProcess::pendingWriteLimitBytes - 1000, 'b');
    process.sendPaste(fitting);
    process.sendPaste(std::vector<std::uint8_t>(2000, 'h'));
    process.send(std::vector<std::uint8_t>(2000, 't'));
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.pasteDrops().size() >= 3; }, kTimeout));
    EXPECT_EQ(recorder.pasteDrops(),
              (std::vector<PasteDrop>{PasteDrop::tooLarge, PasteDrop::tooLarge, PasteDrop::notRead}));
    std::ofstream(gate).put('x');
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains(std::string(2000, 't')); }, kTimeout));
    const std::string output = recorder.output().substr(recorder.output().find("ready") + 5);
    EXPECT_EQ(output.find('h'), std::string::npos) << "nothing of a paste that did not fit";
    EXPECT_LT(std::count(output.begin(), output.end(), 'b'), 1000000);
    EXPECT_TRUE(log.messages(platform::LogLevel::error).empty()) << "typed input was kept";
    process.terminate();
    std::filesystem::remove(gate);
}

// Typed input goes straight to the terminal while nothing waits; keys sent
// all through the child's end and the hang-up of a terminal a grandchild
// still holds are written or dropped, never sent anywhere else.
TEST_F(LocalProcessTest, KeysSentWhileTheTerminalIsHungUpAreHarmless)
{
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; sleep 3 & echo ready; exec head -c 3");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready"); }, kTimeout));
    std::size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!(recorder.exited() && process.childfd() < 0) && std::chrono::steady_clock::now() < deadline) {
        process.send(bytesOf("k"));
        ++sent;
        main.loop.runFor(1ms);
    }
    ASSERT_TRUE(recorder.exited());
    EXPECT_LT(process.childfd(), 0) << "the grandchild's terminal was hung up";
    EXPECT_TRUE(recorder.outputContains("ready"));
    EXPECT_LE(process.sendCount(), sent);
    EXPECT_LE(process.total(), process.sendCount());
    EXPECT_GE(process.total(), 3u) << "head took its three keys";
}

// --- lifecycle ---------------------------------------------------------------

TEST_F(LocalProcessTest, StartWhileRunningDoesNothingAndRestartAfterExitWorks)
{
    LocalProcess process(&recorder);
    startShell(process, "read line; exit 7");
    const pid_t first = process.shellPid();
    EXPECT_FALSE(process.startProcess("/bin/sh", {"-c", "exit 1"}));
    EXPECT_EQ(process.shellPid(), first);
    const std::string line = "go\r";
    process.send(std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    ASSERT_TRUE(runUntilExit(process));
    EXPECT_EQ(recorder.exitStatus(), std::optional<int>(7 << 8));

    RecordingDelegate second;
    process.setDelegate(&second);
    startShell(process, "exit 2");
    ASSERT_TRUE(main.loop.runUntil([&] { return second.exited(); }, kTimeout));
    EXPECT_EQ(second.exitStatus(), std::optional<int>(2 << 8));
    EXPECT_EQ(recorder.exitCount(), 1);
}

TEST_F(LocalProcessTest, TerminateStopsReportsAndReapsTheChild)
{
    LocalProcess process(&recorder);
    startShell(process, "exec sleep 3600");
    const pid_t pid = process.shellPid();
    process.terminate();
    EXPECT_FALSE(process.running());
    EXPECT_EQ(process.childfd(), -1);
    process.send(std::vector<std::uint8_t>{'x'});
    EXPECT_EQ(process.sendCount(), 0u) << "sends after terminate are dropped";
    EXPECT_TRUE(eventually([&] { return processGone(pid); }, kTimeout)) << "no zombie left behind";
    main.loop.runFor(200ms);
    EXPECT_FALSE(recorder.exited()) << "no exit report after terminate()";
}

// Output read before terminate() and delivered after it can no longer be
// looked at: its requests are refused, not taken for a never-started child's.
TEST_F(LocalProcessTest, RequestsOfOutputDeliveredAfterTerminateAreRefused)
{
    const auto dir = std::filesystem::temp_directory_path() / ("rg-late-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    LocalProcess process(&recorder);
    EXPECT_EQ(process.requestTrust(true), RequestTrust::trusted) << "nothing has run";
    std::vector<RequestTrust> answers;
    std::vector<bool> awaiters;
    recorder.onData = [&](auto) {
        answers.push_back(process.requestTrust(true));
        awaiters.push_back(static_cast<bool>(process.requestTrustAwaiter()));
    };
    // The dump is written before the chunk is queued, and terminate() waits for the reader.
    process.setHostLogging(dir.string());
    startShell(process, "printf hello; exec sleep 3600");
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(dir / "log-0"); }, kTimeout));
    process.terminate();
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("hello"); }, kTimeout));
    ASSERT_FALSE(answers.empty());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        EXPECT_EQ(answers[i], RequestTrust::untrusted) << i;
        EXPECT_FALSE(awaiters[i]) << i;
    }
    std::filesystem::remove_all(dir);
}

// A child started after another has ended numbers its reads afresh: its
// requests are answered as a first child's are, and soon.
TEST_F(LocalProcessTest, ARestartedChildsRequestsAreAnsweredAsAFirstChildsAre)
{
    LocalProcess process(&recorder);
    startShell(process, "stty raw -echo; printf one; read x; printf two");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("one"); }, kTimeout));
    const std::string line = "go\n";
    process.send(std::span(reinterpret_cast<const std::uint8_t*>(line.data()), line.size()));
    ASSERT_TRUE(runUntilExit(process));
    ASSERT_TRUE(recorder.outputContains("two"));

    RecordingDelegate second;
    std::vector<RequestTrust> answers;
    std::function<bool()> awaiter;
    second.onData = [&](auto) {
        answers.push_back(process.requestTrust(true));
        if (!awaiter)
            awaiter = process.requestTrustAwaiter();
    };
    process.setDelegate(&second);
    startShell(process, "printf three; exec sleep 3600");
    ASSERT_TRUE(main.loop.runUntil([&] { return second.outputContains("three"); }, kTimeout));
    ASSERT_FALSE(answers.empty());
    EXPECT_NE(answers.front(), RequestTrust::untrusted);
    ASSERT_TRUE(awaiter);
    // Numbered on from the first child's reads, it would stand for a read never made: false.
    EXPECT_TRUE(awaiter());
    process.terminate();
}

// A child that ignores SIGTERM and the hangup gets the grace, then SIGKILL
// with its whole group; nothing of its session is left. The grace runs on the
// process's clock, so the test, not the machine's pace, says when it ends.
TEST_F(LocalProcessTest, TerminateKillsAChildThatIgnoresItAfterTheGrace)
{
    platform::FakeScheduler clock;
    const std::string beats = ::testing::TempDir() + "/beats-" + std::to_string(getpid());
    auto beat = [&] {
        std::ifstream in(beats);
        int n = 0;
        in >> n;
        return n;
    };
    LocalProcess process(&recorder);
    process.setClock(&clock);
    startShell(process, "trap '' TERM HUP; sleep 100 & echo ready; i=0; while :; do i=$((i+1)); echo $i > '" + beats +
                            "'; sleep 0.05; done");
    const pid_t sid = process.shellPid();
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready"); }, kTimeout));
    process.terminate();
    clock.advance(LocalProcess::terminateGrace - 1ms);
    ChildReaper::shared().lookNow();
    // Two beats after the reaper's look at the grace's last moment: the shell
    // ran on after it, so no SIGKILL was sent.
    const int seen = beat();
    EXPECT_TRUE(eventually([&] { return beat() >= seen + 2; }, kTimeout)) << "SIGKILL waits for the grace";
    clock.advance(1ms);
    ChildReaper::shared().lookNow();
    EXPECT_TRUE(eventually([&] { return sessionMembers(sid).empty(); }, kTimeout))
        << sessionMembers(sid).size() << " processes of the session left";
    EXPECT_TRUE(processGone(sid)) << "reaped, not a zombie";
    main.loop.runFor(100ms);
    EXPECT_FALSE(recorder.exited());
    // Whatever failed, the reaper is done with the clock before it goes.
    killSession(sid);
    EXPECT_TRUE(eventually([&] { return processGone(sid); }, kTimeout));
    ChildReaper::shared().lookNow();
    std::filesystem::remove(beats);
}

// Closing the window terminates its children and the program then exits:
// the exit waits out the grace and kills what still runs.
TEST_F(LocalProcessTest, ProgramExitFinishesTheGraceOfTerminatedChildren)
{
    LocalProcess process(&recorder);
    startShell(process, "trap '' TERM HUP; echo ready; while :; do sleep 0.1; done");
    const pid_t sid = process.shellPid();
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready"); }, kTimeout));
    const auto start = std::chrono::steady_clock::now();
    process.terminate();
    ChildReaper::shared().finishDeadlines();
    EXPECT_GE(std::chrono::steady_clock::now() - start, LocalProcess::terminateGrace);
    EXPECT_TRUE(processGone(sid)) << "killed and reaped before the exit goes on";
    // The group's other members were killed too; their parent, gone, leaves them to init.
    EXPECT_TRUE(eventually([&] { return sessionMembers(sid).empty(); }, 5s));
    killSession(sid);
}

// A clock that nothing moves any more (a test's, gone with it) holds up no
// exit: its deadlines are due at once.
TEST_F(LocalProcessTest, ProgramExitDoesNotWaitForAStoppedClock)
{
    platform::FakeScheduler clock;
    LocalProcess process(&recorder);
    process.setClock(&clock);
    startShell(process, "trap '' TERM HUP; echo ready; while :; do sleep 0.1; done");
    const pid_t sid = process.shellPid();
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.outputContains("ready"); }, kTimeout));
    process.terminate();
    ChildReaper::shared().finishDeadlines();
    EXPECT_TRUE(processGone(sid)) << "killed and reaped before the exit goes on";
    killSession(sid);
}

TEST_F(LocalProcessTest, ReleaseHangsUpAndTheChildIsReaped)
{
    pid_t pid = 0;
    {
        LocalProcess process(&recorder);
        startShell(process, "while :; do sleep 1; done");
        pid = process.shellPid();
    }
    EXPECT_TRUE(eventually([&] { return processGone(pid); }, kTimeout));
    main.loop.runFor(100ms);  // stale turns of the released process do nothing
    EXPECT_FALSE(recorder.exited());
}

TEST_F(LocalProcessTest, DelegateMayReleaseTheProcessFromItsCallbacks)
{
    auto process = std::make_unique<LocalProcess>(&recorder);
    recorder.onExit = [&](LocalProcess&) { process.reset(); };
    startShell(*process, "stty raw -echo; head -c 300000 /dev/zero; exit 1");
    ASSERT_TRUE(runUntilExit(*process));
    EXPECT_EQ(process, nullptr);
    main.loop.runFor(50ms);

    RunLoop privateQueue;
    std::thread queueThread([&] { privateQueue.run(); });
    RecordingDelegate rec;
    auto other = std::make_unique<LocalProcess>(&rec, &privateQueue);
    std::atomic<bool> released{false};
    rec.onExit = [&](LocalProcess&) {
        other.reset();
        released = true;
    };
    other->startProcess("/bin/sh", {"-c", "stty raw -echo; head -c 300000 /dev/zero"});
    EXPECT_TRUE(eventually([&] { return released.load(); }, kTimeout));
    privateQueue.stop();
    queueThread.join();
}

TEST_F(LocalProcessTest, ReleasingWhileOutputIsPendingOnAPrivateQueue)
{
    RunLoop privateQueue;  // never run while the process lives: the reader waits on it
    {
        LocalProcess process(&recorder, &privateQueue);
        process.startProcess("/bin/sh", {"-c", "yes"});
        ASSERT_TRUE(eventually([&] { return privateQueue.queuedCount() > 0; }, kTimeout));
    }
    privateQueue.runPending();
    EXPECT_EQ(recorder.chunks(), 0u);
}

// --- what the child gets -----------------------------------------------------

TEST_F(LocalProcessTest, ChildGetsTheDefaultEnvironmentExactly)
{
    // The session's variables reach the child; the launch's and the old terminal's do not.
    const std::vector<std::pair<const char*, const char*>> host{
        {"DISPLAY", ":7"}, {"QM_USERS_OWN", "1"}, {"DESKTOP_STARTUP_ID", "launch"}, {"TERM", "dumb"}};
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (auto [name, value] : host) {
        const char* old = getenv(name);
        saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        setenv(name, value, 1);
    }
    const auto expected = Terminal::getEnvironmentVariables("xterm-256color", true);
    LocalProcess process(&recorder);
    process.startProcess("/usr/bin/env");
    for (auto& [name, value] : saved) {
        if (value) {
            setenv(name.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
    ASSERT_TRUE(runUntilExit(process));

    std::string lines;
    for (const std::string& entry : expected) {
        for (char c : entry)
            lines += c == '\n' ? std::string("\r\n") : std::string(1, c);  // the pty's line ends
        lines += "\r\n";
    }
    EXPECT_EQ(recorder.output(), lines);
    for (const char* want : {"\r\nDISPLAY=:7\r\n", "\r\nQM_USERS_OWN=1\r\n"})
        EXPECT_NE(recorder.output().find(want), std::string::npos) << want;
    EXPECT_EQ(recorder.output().rfind("TERM=xterm-256color\r\nCOLORTERM=truecolor\r\n", 0), 0u);
    EXPECT_EQ(recorder.output().find("launch"), std::string::npos);
    EXPECT_EQ(recorder.output().find("dumb"), std::string::npos);
}

TEST_F(LocalProcessTest, ExplicitEnvironmentArgumentZeroAndDirectory)
{
    LocalProcess process(&recorder);
    const std::string script = "printf '%s|%s|' \"$FOO\" \"$(pwd)\"; tr '\\0' '|' </proc/$$/cmdline; echo";
    process.startProcess("/bin/sh", {"-c", script, "one"}, std::vector<std::string>{"FOO=bar"}, "-custom", "/tmp");
    ASSERT_TRUE(runUntilExit(process));
    EXPECT_EQ(recorder.output(), "bar|/tmp|-custom|-c|" + script + "|one|\r\n")
        << "argument 0 is execName; the rest follow";
}

TEST_F(LocalProcessTest, WindowSizeComesFromTheDelegateOrIsZero)
{
    recorder.size = winsize{37, 101, 0, 0};
    LocalProcess process(&recorder);
    startShell(process, "stty size");
    ASSERT_TRUE(runUntilExit(process));
    EXPECT_EQ(recorder.output(), "37 101\r\n");

    RecordingDelegate later;
    LocalProcess orphan(nullptr);
    orphan.startProcess("/bin/sh", {"-c", "stty size"});
    orphan.setDelegate(&later);
    ASSERT_TRUE(main.loop.runUntil([&] { return later.exited(); }, kTimeout));
    EXPECT_EQ(later.output(), "0 0\r\n");
}

TEST_F(LocalProcessTest, SecondSessionsChildSeesOnlyStandardDescriptorsAndNoBlockedSignals)
{
    LocalProcess first(&recorder);
    startShell(first, "exec cat");
    // A descriptor of ours without close-on-exec must not leak either.
    const int leaky = dup(STDERR_FILENO);
    ASSERT_GE(leaky, 3);

    sigset_t block, previous;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &previous);
    // As when started as a background job: the child still gets defaults.
    struct sigaction ignoreQuit {
    }, previousQuit{};
    ignoreQuit.sa_handler = SIG_IGN;
    sigaction(SIGQUIT, &ignoreQuit, &previousQuit);
    RecordingDelegate rec;
    LocalProcess second(&rec);
    // grep reads its own mask: the shell blocks signals for a moment around each fork.
    second.startProcess("/bin/sh", {"-c", "ls -1 /proc/$$/fd; exec grep -E '^Sig(Blk|Ign)' /proc/self/status"});
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    sigaction(SIGQUIT, &previousQuit, nullptr);
    ASSERT_TRUE(main.loop.runUntil([&] { return rec.exited(); }, kTimeout));
    close(leaky);
    EXPECT_EQ(rec.output(), "0\r\n1\r\n2\r\nSigBlk:\t0000000000000000\r\nSigIgn:\t0000000000000000\r\n");

    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_IGN) << "writing to a child that has gone must not kill us";
    first.terminate();
}

TEST_F(LocalProcessTest, DataDumpsNumberFilesAndRetryAfterAFailure)
{
    const auto dir = std::filesystem::temp_directory_path() / ("rg-dump-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    LogCapture log;
    LocalProcess process(&recorder);
    process.setHostLogging((dir / "missing").string());
    startShell(process, "stty raw -echo; printf one; sleep 0.6; printf two; sleep 0.6; printf three");
    ASSERT_TRUE(main.loop.runUntil([&] { return recorder.output() == "one"; }, kTimeout));
    EXPECT_EQ(recorder.output(), "one") << "the chunk is delivered even when its dump fails";
    ASSERT_FALSE(log.messages(platform::LogLevel::error).empty());
    EXPECT_EQ(log.messages(platform::LogLevel::error)[0].rfind(
                  "Got error while logging data dump to " + (dir / "missing" / "log-0").string() + ": ", 0),
              0u);
    std::filesystem::create_directories(dir / "missing");
    ASSERT_TRUE(runUntilExit(process));
    auto read = [&](const char* name) {
        std::ifstream in(dir / "missing" / name);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_EQ(read("log-0"), "two") << "a failed dump does not use up its number";
    EXPECT_EQ(read("log-1"), "three");
    std::filesystem::remove_all(dir);
}
