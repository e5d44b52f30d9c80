// What the trust look at a tab's session costs, whatever the tab runs: a
// shell alone, 20 processes holding 100 files each, 10 holding 1,000 (an
// editor, a browser, a build started from the tab), 1,000 processes, and
// one program of 100 threads. For each, in a headless terminal on a run
// loop that stands for the window's thread:
//   lookUs        one look at the session, once the first has been made
//   scanUs        one look after a process started: it reads the new ids
//   walkUs        the same with a probe that walks all of /proc instead
//   idleCpuPct    the reader thread's CPU over 3 s of quiet, in % of a core
//   catSeconds    `cat` of 15 MB until the terminal has parsed it all
//   gatedSeconds  100 screen read-backs from a local program, all answered
//   longestStallMs  the longest the run loop went without turning meanwhile
//   looksOnLoop   looks made on the run loop's thread (must stay 0)
#include "ravelgrid/process/HeadlessTerminal.h"
#include "ravelgrid/process/RemoteSessionProbe.h"
#include "ravelgrid/process/RunLoop.h"
#include "ravelgrid/process/tests/ProcessTestSupport.h"
#include "ravelgrid/screen/Buffer.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Scenario {
    const char* name;
    int processes;
    int files;
    int threads = 0;  // of one program
};
constexpr Scenario scenarios[] = {{"shell alone", 0, 0},
                                  {"20 x 100 files", 20, 100},
                                  {"10 x 1000 files", 10, 1000},
                                  {"1000 processes", 1000, 0},
                                  {"100 threads", 1, 0, 100}};

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Clock ticks the reader threads of this process have run.
long readerTicks()
{
    long ticks = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (readText(task.path() / "comm") != "rg-pty-reader\n")
            continue;
        const std::string stat = readText(task.path() / "stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14)
                utime = std::stol(field);
            if (i == 15)
                stime = std::stol(field);
        }
        ticks += utime + stime;
    }
    return ticks;
}

// The mean time of `looks` looks, each made once a process has started and
// ended, so that the look has new ids to read.
double lookAfterSpark(ravelgrid::RemoteSessionProbe& probe, int looks)
{
    Clock::duration total{};
    for (int i = 0; i < looks; ++i) {
        const pid_t spark = fork();
        if (spark == 0)
            _exit(0);
        waitpid(spark, nullptr, 0);
        const auto start = Clock::now();
        probe.look();
        total += Clock::now() - start;
    }
    return std::chrono::duration<double, std::micro>(total).count() / looks;
}

int threadsOf(pid_t pid)
{
    std::error_code error;
    int count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

bool screenHas(ravelgrid::Terminal& terminal, const std::string& text)
{
    for (int row = 0; row < terminal.buffer->lines().count(); ++row)
        if (terminal.translateBufferLineToString(*terminal.buffer, row, 0, -1).find(text) != std::string::npos)
            return true;
    return false;
}

void sessionTrust(benchmark::State& state)
{
    const Scenario& scenario = scenarios[state.range(0)];
    state.SetLabel(scenario.name);
    const auto dir = std::filesystem::temp_directory_path() / ("rg-trust-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    {
        std::ofstream file(dir / "15mb");
        const std::string line(99, 'x');
        for (int i = 0; i < 150'000; ++i)
            file << line << '\n';
    }
    ravelgrid::RunLoop loop;
    ravelgrid::DeliveryQueue::setMain(&loop);
    ravelgrid::TerminalOptions options;
    options.cols = 120;
    options.rows = 40;
    for (auto _ : state) {
        ravelgrid::HeadlessTerminal headless(&loop, options, [](std::optional<int>) {});
        // Like the window's terminal: slow work waits off the loop's thread.
        headless.terminal()->setBackgroundWorkAllowed(true);
        auto& process = *headless.process();
        process.startProcess("/bin/bash", {"--norc", "--noprofile"});
        const pid_t shell = process.shellPid();
        auto run = [&](const std::string& command, const std::string& done) {
            headless.send(command + "; echo " + done + "-$((6*7))\n");
            return loop.runUntil([&] { return screenHas(*headless.terminal(), done + "-42"); }, 10min);
        };
        if (scenario.threads > 0) {
            run("python3 -c 'import threading, time; [threading.Thread(target=time.sleep, args=(1e6,), "
                "daemon=True).start() for _ in range(" +
                    std::to_string(scenario.threads) + ")]; time.sleep(1e6)' & true",
                "started");
        } else if (scenario.files > 0) {
            run("for i in $(seq " + std::to_string(scenario.processes) +
                    "); do python3 -c 'import time; f=[open(\"/dev/null\") for _ in range(" +
                    std::to_string(scenario.files) + ")]; time.sleep(1e6)' & done",
                "started");
        } else if (scenario.processes > 0) {
            run("for i in $(seq " + std::to_string(scenario.processes) + "); do sleep 1e6 & done", "started");
        }
        loop.runUntil(
            [&] { return static_cast<int>(ravelgrid::test::sessionMembers(shell).size()) >= 1 + scenario.processes; },
            2min);
        loop.runUntil(
            [&] {
                for (pid_t pid : ravelgrid::test::sessionMembers(shell))
                    if (threadsOf(pid) > scenario.threads)
                        return true;
                return false;
            },
            scenario.threads > 0 ? 2min : 0min);
        loop.runFor(2s);  // the Python processes open their files

        ravelgrid::RemoteSessionProbe probe(process.childfd(), shell);
        probe.look();
        constexpr int looks = 20;
        const auto lookStart = Clock::now();
        for (int i = 0; i < looks; ++i)
            probe.look();
        state.counters["lookUs"] = std::chrono::duration<double, std::micro>(Clock::now() - lookStart).count() / looks;
        state.counters["scanUs"] = lookAfterSpark(probe, looks);
        ravelgrid::RemoteSessionProbe::Limits walk;
        walk.maxNewPids = 0;
        ravelgrid::RemoteSessionProbe walking(process.childfd(), shell, walk);
        walking.look();
        state.counters["walkUs"] = lookAfterSpark(walking, looks);

        const long ticksBefore = readerTicks();
        loop.runFor(3s);
        state.counters["idleCpuPct"] =
            100.0 * static_cast<double>(readerTicks() - ticksBefore) / static_cast<double>(sysconf(_SC_CLK_TCK)) / 3.0;

        const auto catStart = Clock::now();
        run("cat " + (dir / "15mb").string(), "cat");
        state.counters["catSeconds"] = std::chrono::duration<double>(Clock::now() - catStart).count();

        // The loop's longest gap while 100 read-backs flow and are answered.
        Clock::duration longest{};
        auto last = Clock::now();
        bool beating = true;
        std::function<void()> beat = [&] {
            const auto now = Clock::now();
            longest = std::max(longest, now - last);
            last = now;
            if (beating)
                loop.scheduleAfter(1'000'000, beat);
        };
        loop.scheduleAfter(1'000'000, beat);
        const auto looksBefore = ravelgrid::RemoteSessionProbe::looksOnThisThread();
        const auto gatedStart = Clock::now();
        const std::string answers = (dir / "answers").string();
        run("sh -c 'stty raw -echo; i=0; while [ $i -lt 100 ]; do printf \"\\033[1;1;1;1;1;1*y\"; i=$((i+1)); "
            "done; head -c 1100 >" +
                answers + "; stty sane'",
            "gated");
        state.counters["gatedSeconds"] = std::chrono::duration<double>(Clock::now() - gatedStart).count();
        beating = false;
        loop.runFor(5ms);
        state.counters["longestStallMs"] = std::chrono::duration<double, std::milli>(longest).count();
        state.counters["looksOnLoop"] =
            static_cast<double>(ravelgrid::RemoteSessionProbe::looksOnThisThread() - looksBefore);
        const std::string got = readText(answers);
        // An answer refused carries the checksum 0000.
        std::size_t answered = 0;
        for (auto at = got.find("!~"); at != std::string::npos; at = got.find("!~", at + 1))
            answered += got.compare(at, 6, "!~0000") != 0;
        state.counters["gatedAnswered"] = static_cast<double>(answered);

        process.terminate();
        for (pid_t pid : ravelgrid::test::sessionMembers(shell))
            kill(pid, SIGKILL);
    }
    ravelgrid::DeliveryQueue::setMain(nullptr);
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(sessionTrust)->DenseRange(0, 4)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
