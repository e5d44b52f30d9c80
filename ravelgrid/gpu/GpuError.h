#pragma once

#include <span>
#include <string>
#include <string_view>

namespace ravelgrid {

// Why a GPU renderer could not be set up; the view logs description() and
// draws with the painter instead.
class GpuError {
public:
    enum class Kind {
        shaderLibraryLoadFailed,
        shaderFunctionMissing,
        shaderSourceMissing,
        shaderCompilationFailed,
        pipelineCreationFailed,
        gpuKitUnavailable,
        deviceUnavailable,
        commandQueueUnavailable,
        atlasUnavailable,
        shaderLibraryMissing,
        samplerUnavailable,
    };

    // Kinds without a detail ignore `detail`.
    explicit GpuError(Kind kind, std::string detail = {});

    // Only the names that are missing, joined with ", ".
    static GpuError shaderFunctionMissing(std::span<const std::string_view> missing);
    // "text/color/cell", then the program's info log when there is one.
    static GpuError pipelineCreationFailed(std::string_view infoLog);

    Kind kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    std::string description() const;

    bool operator==(const GpuError&) const = default;

private:
    Kind kind_;
    std::string detail_;
};

}  // namespace ravelgrid
