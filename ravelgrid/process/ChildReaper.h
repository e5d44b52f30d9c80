#pragma once

#include <sys/types.h>

#include <cstddef>

namespace ravelgrid {

// Waits for children whose owner no longer listens for their exit (a
// terminated or released process), so none is left as a zombie. One
// background thread for the whole program, started on first use.
class ChildReaper {
public:
    static ChildReaper& shared();

    // Takes over `pidfd` (may be -1: then the child is polled now and then).
    void adopt(pid_t pid, int pidfd);

    // Children adopted and not yet reaped.
    std::size_t waitingCount() const;

private:
    ChildReaper();
    struct State;
    State* state_;  // lives for the whole program: its thread may outlast static destruction
};

}  // namespace ravelgrid
