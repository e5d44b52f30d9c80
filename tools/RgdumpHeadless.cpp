#include "tools/RgdumpHeadless.h"

#include "ravelgrid/process/HeadlessTerminal.h"
#include "ravelgrid/process/RunLoop.h"
#include "ravelgrid/terminal/testsupport/TerminalDump.h"

#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ravelgrid::tools {

namespace {

using test::dumpScreen;
using test::escapeBytes;

const char* kHeadlessUsage =
    "usage: rgdump [--cols N] [--rows N] [--scrollback N] [--timeout SECONDS] [ACTION...] -- COMMAND [ARG...]\n"
    "Runs COMMAND in a headless terminal, carries out the actions in order, waits\n"
    "for the command to end and prints the screen, the cursor and the exit status.\n"
    "Actions: --type TEXT (escapes \\r \\n \\t \\e \\\\ \\xNN), --wait-for TEXT (until the\n"
    "screen shows it), --sleep MS, --resize COLSxROWS.\n";

struct Action {
    enum class Kind { type, waitFor, sleep, resize } kind;
    std::string text;
    int first = 0;
    int second = 0;
};

struct Settings {
    TerminalOptions options;
    int timeoutSeconds = 10;
    std::vector<Action> actions;
    std::vector<std::string> command;
};

std::optional<long> number(const char* text, long max)
{
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (!text[0] || *end || v < 0 || v > max)
        return std::nullopt;
    return v;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> unescape(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size())
            return std::nullopt;
        switch (text[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'e': out += '\x1b'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return out;
}

std::optional<std::string> parse(int argc, char** argv, Settings& settings)
{
    int i = 1;
    auto value = [&]() -> std::optional<std::string> {
        if (i + 1 >= argc || std::strcmp(argv[i + 1], "--") == 0)
            return std::nullopt;
        return std::string(argv[++i]);
    };
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            for (++i; i < argc; ++i)
                settings.command.emplace_back(argv[i]);
            break;
        }
        auto given = value();
        if (!given)
            return arg + " needs a value";
        if (arg == "--cols" || arg == "--rows" || arg == "--scrollback" || arg == "--timeout" || arg == "--sleep") {
            const long max = arg == "--cols"         ? 4096
                             : arg == "--rows"       ? 2048
                             : arg == "--scrollback" ? 1000000
                             : arg == "--timeout"    ? 86400
                                                     : 3600000;
            const auto n = number(given->c_str(), max);
            if (!n)
                return arg + " needs a number from 0 to " + std::to_string(max);
            const int v = static_cast<int>(*n);
            if (arg == "--cols")
                settings.options.cols = v;
            if (arg == "--rows")
                settings.options.rows = v;
            if (arg == "--scrollback")
                settings.options.scrollback = v;
            if (arg == "--timeout")
                settings.timeoutSeconds = v;
            if (arg == "--sleep")
                settings.actions.push_back({Action::Kind::sleep, {}, v, 0});
        } else if (arg == "--type" || arg == "--wait-for") {
            const auto text = unescape(*given);
            if (!text)
                return arg + ": bad escape in \"" + *given + "\"";
            settings.actions.push_back({arg == "--type" ? Action::Kind::type : Action::Kind::waitFor, *text, 0, 0});
        } else if (arg == "--resize") {
            const auto x = given->find('x');
            const auto cols = x == std::string::npos ? std::nullopt : number(given->substr(0, x).c_str(), 4096);
            const auto rows = x == std::string::npos ? std::nullopt : number(given->substr(x + 1).c_str(), 2048);
            if (!cols || !rows || *cols < 2 || *rows < 1)
                return "--resize needs COLSxROWS, such as 100x30";
            settings.actions.push_back({Action::Kind::resize, {}, static_cast<int>(*cols), static_cast<int>(*rows)});
        } else {
            return "unknown option " + arg;
        }
    }
    if (settings.command.empty())
        return "no command after --";
    return std::nullopt;
}

// The program as LocalProcess needs it: a path, found along PATH when bare.
std::optional<std::string> resolve(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

std::string describe(std::optional<int> status)
{
    if (!status)
        return "exited: I/O error";
    if (WIFEXITED(*status))
        return "exited " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status))
        return "killed by signal " + std::to_string(WTERMSIG(*status));
    return "exited: I/O error";
}

std::string screen(Terminal& terminal)
{
    return dumpScreen(terminal, {});
}

// The rows alone, without the cursor line, for --wait-for.
bool shows(Terminal& terminal, const std::string& text)
{
    const std::string dump = screen(terminal);
    return dump.substr(0, dump.rfind("cursor ")).find(text) != std::string::npos;
}

// Holds the time limit while the terminal is busy with one long feed, which
// the run loop cannot interrupt: a moment after the deadline it kills the
// command and ends the program without a dump.
class Watchdog {
public:
    Watchdog(std::chrono::steady_clock::time_point deadline, pid_t child)
        : thread_([this, deadline, child] {
              std::unique_lock lock(mutex_);
              if (wake_.wait_until(lock, deadline + kGrace, [this] { return done_; }))
                  return;
              static const char message[] = "rgdump: timed out: the terminal is still busy\n";
              [[maybe_unused]] const auto written = ::write(STDERR_FILENO, message, sizeof message - 1);
              if (child > 0)
                  ::kill(-child, SIGKILL);
              std::_Exit(3);
          })
    {}
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    ~Watchdog() { stop(); }

    void stop()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    static constexpr auto kGrace = std::chrono::milliseconds(500);
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

}  // namespace

int runHeadlessCommand(int argc, char** argv)
{
    Settings settings;
    if (auto problem = parse(argc, argv, settings)) {
        std::cerr << "rgdump: " << *problem << "\n" << kHeadlessUsage;
        return 2;
    }
    const auto program = resolve(settings.command[0]);
    if (!program) {
        std::cerr << "rgdump: " << settings.command[0] << ": command not found\n";
        return 1;
    }

    // One heap for every thread: output chunks come from the pty reader's
    // thread and die on this one, and an arena of the reader's own would keep
    // the queue's high water resident for good, out of reach of the rows.
    mallopt(M_ARENA_MAX, 1);

    RunLoop loop;
    DeliveryQueue::setMain(&loop);
    std::optional<std::optional<int>> ended;
    HeadlessTerminal headless(&loop, settings.options, [&](std::optional<int> status) { ended = status; });
    Terminal& terminal = *headless.terminal();
    const std::string& name = settings.command[0];
    if (name == "ssh" || (name.size() > 4 && name.compare(name.size() - 4, 4, "/ssh") == 0)) {
        headless.setProcessTrusted(false);  // the remote end is not ours
    }

    auto environment = Terminal::getEnvironmentVariables(settings.options.termName, true);
    if (const char* path = std::getenv("PATH"))
        environment.push_back(std::string("PATH=") + path);
    const std::vector<std::string> args(settings.command.begin() + 1, settings.command.end());
    if (!headless.process()->startProcess(*program, args, environment, settings.command[0])) {
        std::cerr << "rgdump: cannot start " << *program << "\n";
        DeliveryQueue::setMain(nullptr);
        return 1;
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(settings.timeoutSeconds);
    Watchdog watchdog(deadline, headless.process()->shellPid());
    auto remaining = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    };
    int result = 0;
    for (const auto& action : settings.actions) {
        if (result != 0)
            break;
        switch (action.kind) {
        case Action::Kind::type: headless.send(action.text); break;
        case Action::Kind::sleep: loop.runFor(std::chrono::milliseconds(action.first)); break;
        case Action::Kind::resize: headless.resize(action.first, action.second); break;
        case Action::Kind::waitFor:
            if (!loop.runUntil([&] { return shows(terminal, action.text); }, remaining())) {
                const std::span bytes(reinterpret_cast<const uint8_t*>(action.text.data()), action.text.size());
                std::cerr << "rgdump: timed out waiting for \"" << escapeBytes(bytes) << "\"\n";
                result = 3;
            }
            break;
        }
    }
    if (result == 0 && !loop.runUntil([&] { return ended.has_value(); }, remaining())) {
        std::cerr << "rgdump: timed out waiting for the command to end\n";
        result = 3;
    }
    watchdog.stop();
    if (!ended)
        headless.process()->terminate();
    std::cout << screen(terminal);
    if (ended) {
        std::cout << "status " << (*ended ? std::to_string(**ended) : std::string("none")) << "\n"
                  << describe(*ended) << "\n";
    }
    DeliveryQueue::setMain(nullptr);
    return result;
}

}  // namespace ravelgrid::tools
