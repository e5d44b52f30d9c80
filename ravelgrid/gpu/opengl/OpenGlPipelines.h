#pragma once

#include "ravelgrid/gpu/GpuError.h"
#include "ravelgrid/gpu/opengl/OpenGlBackend.h"
#include "ravelgrid/gpu/opengl/OpenGlShaderLibrary.h"

#include <array>
#include <variant>

namespace ravelgrid {

// The record layouts the shaders read (bytes and strides are binding).
struct GlyphVertexRecord {
    float position[2];
    float texCoord[2];
    float color[4];
};
struct ColorVertexRecord {
    float position[2];
    float padding[2];
    float color[4];
};
struct ColorCellRecord {
    float position[2];
    float size[2];
    float color[4];
};
struct TextCellRecord {
    float position[2];
    float size[2];
    float texOrigin[2];
    float texSize[2];
    float color[4];
};
static_assert(sizeof(GlyphVertexRecord) == 32 && sizeof(ColorVertexRecord) == 32);
static_assert(sizeof(ColorCellRecord) == 32 && sizeof(TextCellRecord) == 48);

enum class OpenGlPipeline : std::uint8_t { text, textGray, color, cellText, cellTextGray, cellColor };

// The six programs, their blending and the one sampler, made in the
// context current at creation; every object deleted with that context.
class OpenGlPipelines {
public:
    static std::variant<std::unique_ptr<OpenGlPipelines>, GpuError> create(std::shared_ptr<OpenGlContext> context,
                                                                           const OpenGlShaderLibrary& library);
    ~OpenGlPipelines();
    OpenGlPipelines(const OpenGlPipelines&) = delete;
    OpenGlPipelines& operator=(const OpenGlPipelines&) = delete;

    // Draws `count` records of `buffer` with a pipeline: six vertices per
    // record for the cell pipelines, triangles for the others. No record,
    // no draw call. The context must be current; false on a GL error.
    bool draw(OpenGlPipeline pipeline, OpenGlBuffer& buffer, std::size_t count, const OpenGlTexture* texture,
              float viewportWidth, float viewportHeight);

    unsigned program(OpenGlPipeline pipeline) const { return programs_[static_cast<std::size_t>(pipeline)]; }
    // Buffers of more texels than this go as instances (tests lower it).
    std::size_t maxRecordTexels() const { return maxRecordTexels_; }
    void setMaxRecordTexels(std::size_t texels) { maxRecordTexels_ = texels; }
    std::uint64_t drawCalls() const { return drawCalls_; }

private:
    explicit OpenGlPipelines(std::shared_ptr<OpenGlContext> context) : context_(std::move(context)) {}
    void release();
    // The index buffer of `records` cell records (four corners, two
    // triangles each), bound to the vertex array.
    bool ensureIndices(std::size_t records);

    std::shared_ptr<OpenGlContext> context_;
    std::array<unsigned, 6> programs_{};
    std::array<int, 6> viewportLocations_{};
    std::array<int, 6> fromRecordsLocations_{};
    unsigned sampler_ = 0;
    unsigned vertexArray_ = 0;
    unsigned recordTexture_ = 0;
    unsigned indexBuffer_ = 0;
    std::size_t indexRecords_ = 0;
    std::size_t maxRecordTexels_ = 0;
    std::uint64_t drawCalls_ = 0;
};

}  // namespace ravelgrid
