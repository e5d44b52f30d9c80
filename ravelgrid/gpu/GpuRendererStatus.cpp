#include "ravelgrid/gpu/GpuRendererStatus.h"

#include <array>
#include <utility>

namespace ravelgrid {
namespace {

constexpr std::array<std::pair<GpuFrameRefusalReason, std::string_view>, 5> reasonNames{{
    {GpuFrameRefusalReason::activeFrame, "activeFrame"},
    {GpuFrameRefusalReason::missingDrawable, "missingDrawable"},
    {GpuFrameRefusalReason::missingRenderPassDescriptor, "missingRenderPassDescriptor"},
    {GpuFrameRefusalReason::missingCommandBuffer, "missingCommandBuffer"},
    {GpuFrameRefusalReason::missingRenderEncoder, "missingRenderEncoder"},
}};

}  // namespace

std::string_view toString(GpuFrameRefusalReason reason)
{
    for (const auto& [r, name] : reasonNames)
        if (r == reason)
            return name;
    return {};
}

std::optional<GpuFrameRefusalReason> refusalReasonFromString(std::string_view text)
{
    for (const auto& [r, name] : reasonNames)
        if (name == text)
            return r;
    return std::nullopt;
}

}  // namespace ravelgrid
