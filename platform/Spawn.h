#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// One run of a short-lived tool whose standard output we want. The child gets
// /dev/null as standard input and standard error, its own process group, and
// default signal handling; everything else is inherited.
struct SpawnRequest {
    std::string executable;              // used as given, never searched in PATH
    std::vector<std::string> arguments;  // without argv[0]
    // Applied on top of the inherited environment: a value sets, nullopt unsets.
    std::vector<std::pair<std::string, std::optional<std::string>>> environmentChanges;
    std::chrono::milliseconds timeLimit{5000};
    std::size_t outputLimit = 1u << 20;
};

struct SpawnResult {
    enum class Ending { exited, signalled, timedOut, failedToStart };
    Ending ending = Ending::failedToStart;
    // Exit status for exited, signal number for signalled, errno for failedToStart.
    int code = 0;
    std::string output;
    bool outputTruncated = false;
};

// Runs the tool to its end and collects its output. Blocks the calling thread
// for at most about timeLimit: past it the child's whole process group is
// killed and the child reaped. Safe to call from several threads at once.
SpawnResult spawn(const SpawnRequest& request);

}  // namespace platform
