#pragma once

#include <sys/ioctl.h>

#include <cstdint>
#include <optional>
#include <span>

namespace ravelgrid {

class LocalProcess;

// Why a paste did not reach the child whole.
enum class PasteDrop {
    tooLarge,  // it did not fit beside the input already waiting: nothing was sent
    notRead,   // typed input waited behind it: its rest was dropped
};

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

    // A paste, or its rest, was dropped; the owner may say so.
    virtual void pasteDropped(PasteDrop /*why*/) {}

    // Asked on the main queue after each chunk: true pauses delivery (the
    // reader stops at the usual back-pressure) until resumeOutput().
    virtual bool outputHeld() { return false; }
};

}  // namespace ravelgrid
