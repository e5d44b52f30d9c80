// `cat` of a 100 MB text file through a pseudo-terminal: a plain reader of the
// master against a headless terminal of 120x40 that parses everything. The
// pseudo-terminal itself is the limit; the terminal should cost little.
#include "ravelgrid/process/HeadlessTerminal.h"
#include "ravelgrid/process/PseudoTerminalHelpers.h"
#include "ravelgrid/process/RunLoop.h"

#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kFileBytes = 100 * 1000 * 1000;

// Ordinary text lines of varying length, written once per run and removed at exit.
class BenchFile {
public:
    BenchFile() : path_(std::filesystem::temp_directory_path() / ("rg-process-bench-" + std::to_string(getpid())))
    {
        std::ofstream out(path_, std::ios::binary);
        static const char* words[] = {"the",        "quick",  "brown",        "fox",      "jumps",
                                      "over",       "lazy",   "dog",          "process",  "terminal",
                                      "0123456789", "build/", "main.cpp:42:", "warning:", "[ok]"};
        std::string line;
        std::size_t written = 0;
        unsigned seed = 1;
        while (written < kFileBytes) {
            line.clear();
            const std::size_t length = 20 + (seed = seed * 1103515245 + 12345) % 100;
            while (line.size() < length) {
                line += words[((seed = seed * 1103515245 + 12345) >> 16) % 15];
                line += ' ';
            }
            line += '\n';
            const std::size_t take = std::min(line.size(), kFileBytes - written);
            out.write(line.data(), static_cast<std::streamsize>(take));
            written += take;
        }
    }
    ~BenchFile()
    {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

const std::string& benchFile()
{
    static const BenchFile file;
    static const std::string path = file.path();
    return path;
}

// Bytes read from the master, 0 when cat could not start.
std::size_t catThroughPlainReader(const std::string& file)
{
    static std::vector<char> buffer(ravelgrid::LocalProcess::readSize);
    std::size_t bytes = 0;
    auto start = ravelgrid::PseudoTerminalHelpers::forkAndExec("/bin/cat", {"cat", file}, {}, std::nullopt,
                                                               winsize{40, 120, 0, 0});
    if (!start)
        return 0;
    for (;;) {
        pollfd fd{start->masterFd, POLLIN, 0};
        poll(&fd, 1, -1);
        const ssize_t n = read(start->masterFd, buffer.data(), buffer.size());
        if (n > 0) {
            bytes += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            break;
        }
    }
    int status = 0;
    waitpid(start->pid, &status, 0);
    close(start->masterFd);
    return bytes;
}

// Whether cat ran to its end in a headless terminal of 120x40.
bool catThroughHeadlessTerminal(const std::string& file)
{
    ravelgrid::RunLoop loop;
    ravelgrid::DeliveryQueue::setMain(&loop);
    ravelgrid::TerminalOptions options;
    options.cols = 120;
    options.rows = 40;
    bool ended = false;
    {
        ravelgrid::HeadlessTerminal headless(&loop, options, [&](std::optional<int>) { ended = true; });
        headless.process()->startProcess("/bin/cat", {file}, std::vector<std::string>{});
        loop.runUntil([&] { return ended; }, std::chrono::minutes(10));
    }
    ravelgrid::DeliveryQueue::setMain(nullptr);
    return ended;
}

void plainPtyReader(benchmark::State& state)
{
    const std::string& file = benchFile();
    for (auto _ : state) {
        if (catThroughPlainReader(file) == 0) {
            state.SkipWithError("cannot start cat");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

void headlessTerminal(benchmark::State& state)
{
    const std::string& file = benchFile();
    for (auto _ : state) {
        if (!catThroughHeadlessTerminal(file)) {
            state.SkipWithError("cat did not finish");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileBytes));
}

// Both in turn within each iteration, so a busy machine slows both alike;
// "share" is the headless terminal's throughput over the plain reader's.
void headlessShareOfPlainReader(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    const std::string& file = benchFile();
    Clock::duration plain{}, headless{};
    for (auto _ : state) {
        const auto t0 = Clock::now();
        catThroughPlainReader(file);
        const auto t1 = Clock::now();
        catThroughHeadlessTerminal(file);
        plain += t1 - t0;
        headless += Clock::now() - t1;
    }
    auto mbps = [&](Clock::duration d) {
        return static_cast<double>(state.iterations() * kFileBytes) / 1e6 / std::chrono::duration<double>(d).count();
    };
    state.counters["plainMBps"] = mbps(plain);
    state.counters["headlessMBps"] = mbps(headless);
    state.counters["share"] = mbps(headless) / mbps(plain);
}

}  // namespace

BENCHMARK(plainPtyReader)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(headlessTerminal)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(headlessShareOfPlainReader)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

BENCHMARK_MAIN();
