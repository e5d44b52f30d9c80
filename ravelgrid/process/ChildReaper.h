#pragma once

#include "platform/Scheduler.h"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>

namespace ravelgrid {

// Waits for children whose owner no longer listens for their exit (a
// terminated or released process), so none is left as a zombie. One
// background thread for the whole program, started on first use.
class ChildReaper {
public:
    static ChildReaper& shared();

    // Takes over `pidfd` (may be -1: then the child is polled now and then).
    // With `killAfter`, a child still alive once that time has passed gets
    // SIGKILL sent to its process group (it leads one: it started a session);
    // the program's exit waits for those deadlines rather than leave such a
    // child running. The time passes on `clock`, the steady clock when null;
    // a test's clock must outlive the child's stay here, and is not waited
    // for at the exit.
    void adopt(pid_t pid, int pidfd, std::optional<std::chrono::milliseconds> killAfter = std::nullopt,
               const platform::Scheduler* clock = nullptr);

    // Children adopted and not yet reaped.
    std::size_t waitingCount() const;

    // Kills what is overdue and reaps what has gone, on the calling thread
    // before it returns (a test, once it moved the clock of a deadline).
    void lookNow();

    // Ends the wait for children adopted with a deadline: each is reaped, its
    // group killed once its deadline has passed. Run at the program's exit.
    void finishDeadlines();

private:
    ChildReaper();
    struct State;
    State* state_;  // lives for the whole program: its thread may outlast static destruction
};

}  // namespace ravelgrid
