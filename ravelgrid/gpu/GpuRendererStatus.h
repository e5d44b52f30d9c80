#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ravelgrid {

// How the rows' vertex data lives from frame to frame.
enum class GpuBufferingMode { perRowPersistent, perFrameAggregated };

// What the terminal view publishes about its GPU renderer.
struct GpuRendererStatus {
    enum class State : std::uint8_t { disabled, waitingForFirstFrame, healthy, recovering, fellBackToPainter };

    State state = State::disabled;
    std::uint64_t presentedFrameCount = 0;
    std::optional<std::chrono::system_clock::time_point> lastFramePresentedAt;

    bool operator==(const GpuRendererStatus&) const = default;
};

// Published by the view on every status change.
inline constexpr std::string_view terminalViewGpuRendererStatusDidChange =
    "Ravelgrid.TerminalView.metalRendererStatusDidChange";

// Why a frame was not drawn; the names appear in the view's recovery log.
enum class GpuFrameRefusalReason {
    activeFrame,
    missingDrawable,
    missingRenderPassDescriptor,
    missingCommandBuffer,
    missingRenderEncoder,
};

std::string_view toString(GpuFrameRefusalReason reason);
// Exactly the five names, letter case included.
std::optional<GpuFrameRefusalReason> refusalReasonFromString(std::string_view text);

}  // namespace ravelgrid
