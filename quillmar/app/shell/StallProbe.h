#pragma once

#include "ravelgrid/view/LocalProcessTerminalView.h"

#include <QPointer>

#include <cstdint>
#include <optional>

namespace quillmar {

// Tells whether a local session looks stuck before its first output: the
// child is still waiting in canonical mode for input it will never get
// (typically a start-up file blocked on a folder the desktop keeps from it).
// Times are monotonic nanoseconds of the session's scheduler.
class StallProbe {
public:
    static constexpr std::uint64_t quietAfterStartNs = 15'000'000'000;
    static constexpr std::uint64_t silenceNs = 2'000'000'000;

    explicit StallProbe(std::uint64_t startedAt) : startedAt(startedAt) {}

    std::uint64_t startedAt;
    std::optional<std::uint64_t> lastOutputAt;
    bool dismissed = false;
    // The session's terminal while it exists.
    QPointer<ravelgrid::LocalProcessTerminalView> view;

    bool shouldShowHint(std::uint64_t now) const;
    // The timing rule alone, for a child known to be running in canonical mode.
    static bool quietTooLong(std::uint64_t startedAt, std::optional<std::uint64_t> lastOutputAt, std::uint64_t now);
};

}  // namespace quillmar
