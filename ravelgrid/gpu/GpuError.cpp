#include "ravelgrid/gpu/GpuError.h"

namespace ravelgrid {
namespace {

bool carriesDetail(GpuError::Kind kind)
{
    switch (kind) {
    case GpuError::Kind::shaderLibraryLoadFailed:
    case GpuError::Kind::shaderFunctionMissing:
    case GpuError::Kind::shaderSourceMissing:
    case GpuError::Kind::shaderCompilationFailed:
    case GpuError::Kind::pipelineCreationFailed: return true;
    default: return false;
    }
}

}  // namespace

GpuError::GpuError(Kind kind, std::string detail) : kind_(kind)
{
    if (carriesDetail(kind))
        detail_ = std::move(detail);
}

GpuError GpuError::shaderFunctionMissing(std::span<const std::string_view> missing)
{
    std::string joined;
    for (std::string_view name : missing) {
        if (!joined.empty())
            joined.append(", ");
        joined.append(name);
    }
    return GpuError(Kind::shaderFunctionMissing, std::move(joined));
}

GpuError GpuError::pipelineCreationFailed(std::string_view infoLog)
{
    std::string detail = "text/color/cell";
    if (!infoLog.empty())
        detail.append(": ").append(infoLog);
    return GpuError(Kind::pipelineCreationFailed, std::move(detail));
}

std::string GpuError::description() const
{
    std::string text;
    switch (kind_) {
    case Kind::shaderLibraryLoadFailed: text = "Failed to load OpenGL library: "; break;
    case Kind::shaderFunctionMissing: text = "OpenGL library missing required function: "; break;
    case Kind::shaderSourceMissing: text = "Failed to load OpenGL shader source: "; break;
    case Kind::shaderCompilationFailed: text = "Failed to compile OpenGL shader source: "; break;
    case Kind::pipelineCreationFailed: text = "Failed to create OpenGL pipeline: "; break;
    case Kind::gpuKitUnavailable: return "QOpenGLWidget is unavailable.";
    case Kind::deviceUnavailable: return "No OpenGL device is available.";
    case Kind::commandQueueUnavailable: return "Failed to create OpenGL command queue.";
    case Kind::atlasUnavailable: return "Failed to create the glyph atlas.";
    case Kind::shaderLibraryMissing: return "Failed to locate an OpenGL library in bundle resources.";
    case Kind::samplerUnavailable: return "Failed to create OpenGL sampler state.";
    }
    text.append(detail_);
    return text;
}

}  // namespace ravelgrid
