#pragma once

#include <sys/ioctl.h>

#include <cstdint>
#include <optional>
#include <span>

namespace ravelgrid {

class LocalProcess;

// What a LocalProcess reports to its owner. Every call but getWindowSize
// arrives on the process's delivery queue.
class LocalProcessDelegate {
public:
    virtual ~LocalProcessDelegate() = default;

    // The child has exited: the raw wait status (exit code in bits 8 to 15,
    // or the signal in the low 7 bits). Absent when the child could not be
    // reaped, so that a failed wait never looks like a clean exit.
    virtual void processTerminated(LocalProcess& source, std::optional<int> exitCode) = 0;

    // 1 to 131072 bytes of the child's output, chunk by chunk, in order.
    virtual void dataReceived(std::span<const std::uint8_t> slice) = 0;

    // Asked once at each start, on the starting thread, for the new
    // pseudo-terminal's size.
    virtual winsize getWindowSize() = 0;
};

}  // namespace ravelgrid
